#include "CAboutDlg.h"

#include <gtest/gtest.h>

#include <QLabel>
#include <QPushButton>
#include <QTest>

#include "ScopedModalScript.h"

namespace {

using Platform::CDialog;
using Platform::IDOK;

TEST(CAboutDlgTest, ShowsTheIconTheVersionAndOneButton) {
    CAboutDlg dlg;
    EXPECT_EQ(dlg.windowTitle(), QStringLiteral("バージョン情報 Velmora"));
    EXPECT_FALSE(dlg.windowIcon().isNull());
    EXPECT_EQ(dlg.size(), dlg.MapDialogRect(QRect(0, 0, 170, 62)).size());
    const auto* pIcon = dlg.findChild<QLabel*>(QStringLiteral("labelIcon"));
    ASSERT_NE(pIcon, nullptr);
    EXPECT_FALSE(pIcon->pixmap().isNull());
    const auto* pText = dlg.findChild<QLabel*>(QStringLiteral("labelVersion"));
    ASSERT_NE(pText, nullptr);
    EXPECT_EQ(pText->text(), QStringLiteral("Velmora, Version 1.0"));
    EXPECT_EQ(pText->textFormat(), Qt::PlainText);
    const QList<QPushButton*> buttons = dlg.findChildren<QPushButton*>();
    ASSERT_EQ(buttons.size(), 1);
    EXPECT_EQ(buttons[0]->text(), QStringLiteral("OK"));
    EXPECT_EQ(buttons[0], dlg.GetDlgItem(IDOK));
}

TEST(CAboutDlgTest, OkEscapeAndTheCloseBoxCloseIt) {
    for (int i = 0; i < 3; ++i) {
        CAboutDlg dlg;
        ScopedModalScript script([&](CDialog&) {
            if (i == 0) dlg.GetDlgItem<QPushButton>(IDOK)->click();
            if (i == 1) QTest::keyClick(&dlg, Qt::Key_Escape);
            if (i == 2) dlg.close();
            EXPECT_FALSE(dlg.isVisible()) << i;
        });
        dlg.DoModal();
    }
}

}  // namespace
