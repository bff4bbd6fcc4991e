#include "CResourceTable.h"

#include <gtest/gtest.h>

namespace {

using Platform::CResourceTable;

TEST(CResourceTableTest, TheAboutItemTextIsString101) {
    EXPECT_EQ(CResourceTable::LoadString(101), QStringLiteral("バージョン情報 Velmora(&A)..."));
    EXPECT_TRUE(CResourceTable::LoadString(4711).isEmpty());
}

TEST(CResourceTableTest, AStringCanBeEmptiedAndRestored) {
    const CString saved = CResourceTable::LoadString(101);
    CResourceTable::SetString(101, CString());
    EXPECT_TRUE(CResourceTable::LoadString(101).isEmpty());
    CResourceTable::SetString(101, saved);
    EXPECT_EQ(CResourceTable::LoadString(101), saved);
}

TEST(CResourceTableTest, Icon128IsTheApplicationIcon) {
    const QIcon icon = CResourceTable::LoadIcon(128);
    ASSERT_FALSE(icon.isNull());
    EXPECT_FALSE(icon.pixmap(32, 32).isNull());
    EXPECT_TRUE(CResourceTable::LoadIcon(4711).isNull());
}

}  // namespace
