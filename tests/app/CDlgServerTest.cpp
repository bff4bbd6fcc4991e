#include "CDlgServer.h"

#include <gtest/gtest.h>

#include <QAccessible>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include "Resource.h"
#include "ScopedModalScript.h"

namespace {

using Platform::CDialog;
using Platform::IDCANCEL;
using Platform::IDOK;

QLineEdit* Edit(const CDlgServer& dlg) { return dlg.GetDlgItem<QLineEdit>(IDC_EDIT_PORT); }

QPushButton* Button(const CDlgServer& dlg, int nID) { return dlg.GetDlgItem<QPushButton>(nID); }

// Runs a fresh port dialog preset to 10000 whose operator types text (unless null) and
// presses button nID.
struct CRun {
    int m_nResult = 0;
    std::uint32_t m_port = 0;
    QString m_shown;
};

CRun RunPortDialog(const char* text, int nID) {
    CDlgServer dlg;
    dlg.m_port = 10000;
    CRun run;
    ScopedModalScript script([&](CDialog&) {
        run.m_shown = Edit(dlg)->text();
        if (text != nullptr) Edit(dlg)->setText(QString::fromLatin1(text));
        Button(dlg, nID)->click();
    });
    run.m_nResult = dlg.DoModal();
    run.m_port = dlg.m_port;
    return run;
}

TEST(CDlgServerTest, TemplateCaptionsAndControls) {
    CDlgServer dlg;
    EXPECT_EQ(dlg.windowTitle(), QStringLiteral("Dialog"));
    EXPECT_FALSE(dlg.windowIcon().isNull());
    EXPECT_EQ(dlg.minimumSize(), dlg.maximumSize());
    EXPECT_EQ(dlg.size(), dlg.MapDialogRect(QRect(0, 0, 173, 66)).size());
    const auto* pLabel = dlg.findChild<QLabel*>(QStringLiteral("labelPort"));
    ASSERT_NE(pLabel, nullptr);
    EXPECT_EQ(pLabel->text(), QStringLiteral("ポート番号"));
    EXPECT_EQ(pLabel->geometry(), dlg.MapDialogRect(QRect(6, 6, 48, 18)));
    EXPECT_EQ(Edit(dlg)->objectName(), QStringLiteral("editPort"));
    EXPECT_EQ(Edit(dlg)->geometry(), dlg.MapDialogRect(QRect(60, 6, 54, 18)));
    EXPECT_EQ(Button(dlg, IDOK)->text(), QStringLiteral("OK"));
    EXPECT_TRUE(Button(dlg, IDOK)->isDefault());
    EXPECT_EQ(Button(dlg, IDCANCEL)->text(), QStringLiteral("キャンセル"));
    EXPECT_EQ(Button(dlg, IDCANCEL)->geometry(), dlg.MapDialogRect(QRect(78, 30, 60, 18)));

    // The edit is an editable text named by its label.
    QAccessibleInterface* pEdit = QAccessible::queryAccessibleInterface(Edit(dlg));
    ASSERT_NE(pEdit, nullptr);
    EXPECT_EQ(pEdit->role(), QAccessible::EditableText);
    EXPECT_NE(pEdit->editableTextInterface(), nullptr);
    EXPECT_FALSE(pEdit->state().multiLine);
    EXPECT_EQ(pEdit->text(QAccessible::Name), QStringLiteral("ポート番号"));
}

TEST(CDlgServerTest, OkWithThePresetReturnsTenThousand) {
    const CRun run = RunPortDialog(nullptr, IDOK);
    EXPECT_EQ(run.m_shown, QStringLiteral("10000"));
    EXPECT_EQ(run.m_nResult, IDOK);
    EXPECT_EQ(run.m_port, 10000u);
}

TEST(CDlgServerTest, OkWithZeroAndWithTheLargestNumber) {
    const CRun zero = RunPortDialog("0", IDOK);
    EXPECT_EQ(zero.m_nResult, IDOK);
    EXPECT_EQ(zero.m_port, 0u);
    const CRun largest = RunPortDialog("4294967295", IDOK);
    EXPECT_EQ(largest.m_nResult, IDOK);
    EXPECT_EQ(largest.m_port, 4294967295u);
}

TEST(CDlgServerTest, AnEmptyOrTooLargeTextKeepsItOpen) {
    for (const char* text : {"", "4294967296"}) {
        CDlgServer dlg;
        dlg.m_port = 10000;
        bool bOpen = false;
        bool bPrompted = false;
        bool bFocus = false;
        ScopedModalScript script([&](CDialog&) {
            Edit(dlg)->setText(QString::fromLatin1(text));
            Button(dlg, IDOK)->click();
            bOpen = dlg.isVisible();
            auto* pBox = dlg.findChild<QMessageBox*>(QStringLiteral("promptBox"));
            bPrompted = pBox != nullptr && pBox->isVisible();
            bFocus = dlg.focusWidget() == Edit(dlg);
            if (pBox != nullptr) pBox->close();
            Button(dlg, IDCANCEL)->click();
        });
        EXPECT_EQ(dlg.DoModal(), IDCANCEL) << text;
        EXPECT_TRUE(bOpen) << text;
        EXPECT_TRUE(bPrompted) << text;
        EXPECT_TRUE(bFocus) << text;
    }
}

TEST(CDlgServerTest, CancelAfterEditingGivesCancel) {
    const CRun run = RunPortDialog("8080", IDCANCEL);
    EXPECT_EQ(run.m_nResult, IDCANCEL);
}

TEST(CDlgServerTest, TheRealModalLoopReturnsTheEnteredPort) {
    CDlgServer dlg;
    dlg.m_port = 10000;
    QString shown;
    QTimer::singleShot(0, &dlg, [&] {
        shown = Edit(dlg)->text();
        Edit(dlg)->setText(QStringLiteral("2500"));
        Button(dlg, IDOK)->click();
    });
    EXPECT_EQ(dlg.DoModal(), IDOK);
    EXPECT_EQ(shown, QStringLiteral("10000"));
    EXPECT_EQ(dlg.m_port, 2500u);
}

}  // namespace
