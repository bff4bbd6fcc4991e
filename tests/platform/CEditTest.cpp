#include "CEdit.h"

#include <gtest/gtest.h>

#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextCursor>

namespace {

using Platform::CEdit;

TEST(CEditTest, SetSelClampsToTheEndAndMinusOneStartOnlyDeselects) {
    QPlainTextEdit box;
    box.setPlainText(QStringLiteral("abc\ndef"));
    CEdit edit(&box);

    edit.SetSel(0, -1);
    EXPECT_EQ(box.textCursor().selectedText(),
              QStringLiteral("abc") + QChar::ParagraphSeparator + QStringLiteral("def"));

    edit.SetSel(0x7FFFFFFF, -1);
    EXPECT_FALSE(box.textCursor().hasSelection());
    EXPECT_EQ(box.textCursor().position(), 7);

    edit.SetSel(1, 2);
    EXPECT_EQ(box.textCursor().selectedText(), QStringLiteral("b"));
    edit.SetSel(-1, 0);
    EXPECT_FALSE(box.textCursor().hasSelection());
    EXPECT_EQ(box.textCursor().position(), 2);
}

TEST(CEditTest, ReplaceSelBreaksLinesAtCrLfAndLeavesTheCaretAfterTheText) {
    QPlainTextEdit box;
    box.setPlainText(QStringLiteral("first"));
    CEdit edit(&box);
    edit.SetSel(0x7FFFFFFF, -1);
    edit.ReplaceSel(QStringLiteral("\r\nsecond\r\nthird\nfourth"));
    EXPECT_EQ(box.toPlainText(), QStringLiteral("first\nsecond\nthird\nfourth"));
    EXPECT_EQ(box.blockCount(), 4);
    EXPECT_EQ(box.textCursor().position(), box.document()->characterCount() - 1);
}

TEST(CEditTest, ReplaceSelWithoutUndoClearsTheUndoHistory) {
    QPlainTextEdit box;
    CEdit edit(&box);
    edit.ReplaceSel(QStringLiteral("kept"), true);
    EXPECT_TRUE(box.document()->isUndoAvailable());
    edit.ReplaceSel(QStringLiteral(" fixed"), false);
    EXPECT_FALSE(box.document()->isUndoAvailable());
    EXPECT_TRUE(box.document()->isUndoRedoEnabled());
    EXPECT_EQ(box.toPlainText(), QStringLiteral("kept fixed"));
}

TEST(CEditTest, TheEndIsScrolledIntoView) {
    QPlainTextEdit box;
    box.resize(200, 100);
    box.show();
    CEdit edit(&box);
    for (int i = 0; i < 200; ++i) {
        edit.SetSel(0x7FFFFFFF, -1);
        edit.ScrollCaret();
        edit.ReplaceSel(QStringLiteral("\r\nline %1").arg(i));
    }
    EXPECT_GT(box.verticalScrollBar()->value(), 150);
    EXPECT_TRUE(box.viewport()->rect().contains(box.cursorRect()));
}

TEST(CEditTest, OtherWidgetsAreLeftAlone) {
    QWidget other;
    CEdit edit(&other);
    edit.SetSel(0, -1);
    edit.ScrollCaret();
    edit.ReplaceSel(QStringLiteral("x"));
    CEdit none(nullptr);
    none.ReplaceSel(QStringLiteral("x"));
}

}  // namespace
