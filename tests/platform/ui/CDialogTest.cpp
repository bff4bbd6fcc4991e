#include "CDialog.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QFontInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <cstdint>
#include <thread>
#include <vector>

#include "CContextMenuSource.h"
#include "CDataExchange.h"
#include "ScopedModalScript.h"

namespace {

using Platform::CDialog;
using Platform::IDCANCEL;
using Platform::IDOK;

constexpr int kEditId = 1002;
constexpr int kLogId = 1003;
constexpr int kOwnMenuId = 1004;

// A template like the port dialog's, plus a multi-line edit and an icon, in dialog units.
struct CTestForm {
    bool m_bResizable = false;

    void setupUi(QDialog* pDialog) {
        pDialog->setObjectName(QStringLiteral("testDialog"));
        pDialog->resize(200, 100);
        QFont font;
        font.setFamilies({QStringLiteral("MS Shell Dlg")});
        font.setPointSize(8);
        pDialog->setFont(font);
        pDialog->setProperty("resizableFrame", m_bResizable);

        auto* pEdit = new QLineEdit(pDialog);
        pEdit->setObjectName(QStringLiteral("edit"));
        pEdit->setGeometry(60, 6, 54, 18);
        pEdit->setProperty("controlId", kEditId);
        pEdit->setProperty("digitsOnly", true);

        auto* pLog = new QPlainTextEdit(pDialog);
        pLog->setObjectName(QStringLiteral("log"));
        pLog->setGeometry(6, 30, 120, 40);
        pLog->setProperty("controlId", kLogId);

        auto* pOk = new QPushButton(QStringLiteral("OK"), pDialog);
        pOk->setObjectName(QStringLiteral("ok"));
        pOk->setGeometry(12, 80, 60, 14);
        pOk->setDefault(true);
        pOk->setProperty("controlId", IDOK);

        auto* pCancel = new QPushButton(QStringLiteral("キャンセル"), pDialog);
        pCancel->setObjectName(QStringLiteral("cancel"));
        pCancel->setGeometry(78, 80, 60, 14);
        pCancel->setProperty("controlId", IDCANCEL);

        auto* pIcon = new QLabel(pDialog);
        pIcon->setObjectName(QStringLiteral("icon"));
        pIcon->setGeometry(140, 6, 21, 20);
        pIcon->setProperty("iconResource", 128);
    }
};

std::unique_ptr<CTestForm> Form(bool bResizable = false) {
    auto pForm = std::make_unique<CTestForm>();
    pForm->m_bResizable = bResizable;
    return pForm;
}

class CTestDlg : public CDialog {
public:
    explicit CTestDlg(bool bResizable = false) : CDialog(Form(bResizable)) {}

    std::uint32_t m_value = 7;
    std::vector<unsigned> m_commands;
    std::vector<const char*> m_calls;
    bool m_bVisibleAtDestroy = true;

    QLineEdit* Edit() const { return GetDlgItem<QLineEdit>(kEditId); }
    QPlainTextEdit* Log() const { return GetDlgItem<QPlainTextEdit>(kLogId); }
    QPushButton* Button(int nID) const { return GetDlgItem<QPushButton>(nID); }

protected:
    void DoDataExchange(Platform::CDataExchange* pDX) override {
        CDialog::DoDataExchange(pDX);
        Platform::DDX_Text(pDX, kEditId, m_value);
    }
    bool OnInitDialog() override {
        m_calls.push_back("OnInitDialog");
        return CDialog::OnInitDialog();
    }
    void OnSysCommand(unsigned nID) override { m_commands.push_back(nID); }
    void OnDestroy() override {
        m_calls.push_back("OnDestroy");
        m_bVisibleAtDestroy = isVisible();
    }
};

// A control that makes its own context menu, as the log view does.
class COwnMenuControl : public QWidget, public Platform::CContextMenuSource {
public:
    using QWidget::QWidget;
    QMenu* CreateContextMenu() override {
        auto* pMenu = new QMenu(this);
        pMenu->addAction(QStringLiteral("Own item"));
        return pMenu;
    }
};

struct COwnMenuForm {
    void setupUi(QDialog* pDialog) {
        auto* pControl = new COwnMenuControl(pDialog);
        pControl->setGeometry(6, 6, 60, 30);
        pControl->setProperty("controlId", kOwnMenuId);
    }
};

// Asks for the context menu at a point of pTarget, as a right click does; the menu shown.
QMenu* RightClick(QWidget* pTarget) {
    QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(2, 2),
                            pTarget->mapToGlobal(QPoint(2, 2)));
    QApplication::sendEvent(pTarget, &event);
    return qobject_cast<QMenu*>(QApplication::activePopupWidget());
}

QMessageBox* Prompt(const CDialog& dlg) {
    for (QMessageBox* pBox : dlg.findChildren<QMessageBox*>())
        if (pBox->isVisible()) return pBox;
    return nullptr;
}

// Types text into the edit, presses OK and reports what the dialog did.
struct CRefusal {
    bool m_bStillOpen = false;
    bool m_bPrompted = false;
    bool m_bFocusInEdit = false;
    bool m_bTextSelected = false;
};

CRefusal PressOkWith(CTestDlg& dlg, const QString& text) {
    dlg.Edit()->setText(text);
    dlg.Button(IDOK)->click();
    CRefusal refusal;
    refusal.m_bStillOpen = dlg.isVisible();
    QMessageBox* pBox = Prompt(dlg);
    refusal.m_bPrompted = pBox != nullptr && !pBox->text().isEmpty();
    refusal.m_bFocusInEdit = dlg.focusWidget() == dlg.Edit();
    refusal.m_bTextSelected = dlg.Edit()->selectedText() == text;
    if (pBox != nullptr) pBox->close();
    return refusal;
}

TEST(CDialogTest, ControlsAreFoundByIdAndPlacedInDialogUnits) {
    CTestDlg dlg;
    EXPECT_EQ(dlg.GetDlgItem(kEditId), dlg.findChild<QLineEdit*>(QStringLiteral("edit")));
    EXPECT_EQ(dlg.GetDlgItem(IDCANCEL), dlg.findChild<QPushButton*>(QStringLiteral("cancel")));
    EXPECT_EQ(dlg.GetDlgItem(4711), nullptr);
    EXPECT_EQ(dlg.GetDlgItem<QPlainTextEdit>(IDOK), nullptr);

    // One unit across is a quarter of the average character width, one down an eighth of
    // the character height.
    const QFontMetrics metrics(dlg.font());
    const QRect unit = dlg.MapDialogRect(QRect(0, 0, 4, 8));
    EXPECT_EQ(unit.height(), metrics.height());
    EXPECT_GE(unit.width(), metrics.horizontalAdvance(QLatin1Char('x')) - 2);
    EXPECT_LE(unit.width(), metrics.horizontalAdvance(QLatin1Char('W')));

    EXPECT_EQ(dlg.Edit()->geometry(), dlg.MapDialogRect(QRect(60, 6, 54, 18)));
    EXPECT_EQ(dlg.Button(IDOK)->geometry(), dlg.MapDialogRect(QRect(12, 80, 60, 14)));
    EXPECT_EQ(dlg.size(), dlg.MapDialogRect(QRect(0, 0, 200, 100)).size());
}

TEST(CDialogTest, FixedFrameUnlessTheTemplateSaysResizable) {
    CTestDlg fixed;
    EXPECT_EQ(fixed.minimumSize(), fixed.maximumSize());
    EXPECT_FALSE(fixed.windowFlags() & Qt::WindowMaximizeButtonHint);

    CTestDlg resizable(true);
    EXPECT_NE(resizable.minimumSize(), resizable.maximumSize());
    const QRect ok = resizable.Button(IDOK)->geometry();
    resizable.show();
    resizable.resize(resizable.size() * 2);
    QApplication::processEvents();
    EXPECT_EQ(resizable.Button(IDOK)->geometry(), ok);
}

TEST(CDialogTest, TemplateFontsMapToAGothicFontWithJapaneseGlyphs) {
    CTestDlg dlg;
    EXPECT_EQ(QFontInfo(dlg.font()).family(), QStringLiteral("Noto Sans CJK JP"));
    const QFontMetrics metrics(dlg.font());
    for (const QChar c : QStringLiteral("ソケット複製ポート番号キャンセル"))
        EXPECT_TRUE(metrics.inFont(c)) << c.unicode();
}

TEST(CDialogTest, IconsComeFromTheResourceTable) {
    CTestDlg dlg;
    const QLabel* pIcon = dlg.findChild<QLabel*>(QStringLiteral("icon"));
    ASSERT_NE(pIcon, nullptr);
    EXPECT_FALSE(pIcon->pixmap().isNull());
}

TEST(CDialogTest, DoModalInitialisesRunsTheScriptAndDestroysBeforeReturning) {
    CTestDlg dlg;
    QString shown;
    bool bEditHasFocus = false;
    ScopedModalScript script([&](CDialog&) {
        shown = dlg.Edit()->text();
        bEditHasFocus = dlg.focusWidget() == dlg.Edit();
        dlg.Edit()->setText(QStringLiteral("123"));
        dlg.Button(IDOK)->click();
    });
    EXPECT_EQ(dlg.DoModal(), IDOK);
    EXPECT_EQ(shown, QStringLiteral("7"));
    EXPECT_TRUE(bEditHasFocus);
    EXPECT_EQ(dlg.m_value, 123u);
    EXPECT_EQ(dlg.m_calls, (std::vector<const char*>{"OnInitDialog", "OnDestroy"}));
    EXPECT_FALSE(dlg.m_bVisibleAtDestroy);
}

TEST(CDialogTest, UnsignedNumbersAtTheLimitsAreAccepted) {
    for (const auto& [text, value] : {std::pair{"0", 0u}, std::pair{"4294967295", 4294967295u},
                                      std::pair{"00010000", 10000u}}) {
        CTestDlg dlg;
        ScopedModalScript script([&](CDialog&) {
            dlg.Edit()->setText(QString::fromLatin1(text));
            dlg.Button(IDOK)->click();
        });
        EXPECT_EQ(dlg.DoModal(), IDOK) << text;
        EXPECT_EQ(dlg.m_value, value) << text;
    }
}

TEST(CDialogTest, RefusedTextKeepsTheDialogOpenWithAPromptAndTheFocusInTheEdit) {
    for (const char* text : {"", "4294967296", "99999999999999999999", "12a", " 1", "-1"}) {
        CTestDlg dlg;
        CRefusal refusal;
        ScopedModalScript script([&](CDialog&) {
            refusal = PressOkWith(dlg, QString::fromLatin1(text));
            dlg.Button(IDCANCEL)->click();
        });
        EXPECT_EQ(dlg.DoModal(), IDCANCEL) << text;
        EXPECT_TRUE(refusal.m_bStillOpen) << text;
        EXPECT_TRUE(refusal.m_bPrompted) << text;
        EXPECT_TRUE(refusal.m_bFocusInEdit) << text;
        EXPECT_TRUE(refusal.m_bTextSelected) << text;
        EXPECT_EQ(dlg.m_value, 7u) << text;
    }
}

TEST(CDialogTest, TheEditTakesDigitKeystrokesOnly) {
    CTestDlg dlg;
    dlg.Edit()->clear();
    QTest::keyClicks(dlg.Edit(), QStringLiteral("1a2-3 +"));
    // A full-width digit, as an input method types it, is no ASCII digit either.
    QKeyEvent wide(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QStringLiteral("４"));
    QApplication::sendEvent(dlg.Edit(), &wide);
    QTest::keyClicks(dlg.Edit(), QStringLiteral("5"));
    EXPECT_EQ(dlg.Edit()->text(), QStringLiteral("1235"));
}

TEST(CDialogTest, APastedTextGoesInWholeAndOkRefusesWhatIsNoNumber) {
    for (const char* text : {" 10000", "-1", "+10001", "10002 ", "abc"}) {
        CTestDlg dlg;
        CRefusal refusal;
        QString pasted;
        ScopedModalScript script([&](CDialog&) {
            QApplication::clipboard()->setText(QString::fromLatin1(text));
            QTest::keyClick(dlg.Edit(), Qt::Key_A, Qt::ControlModifier);
            QTest::keyClick(dlg.Edit(), Qt::Key_V, Qt::ControlModifier);
            pasted = dlg.Edit()->text();
            refusal = PressOkWith(dlg, pasted);
            dlg.Button(IDCANCEL)->click();
        });
        EXPECT_EQ(dlg.DoModal(), IDCANCEL) << text;
        EXPECT_EQ(pasted, QString::fromLatin1(text));
        EXPECT_TRUE(refusal.m_bStillOpen) << text;
        EXPECT_TRUE(refusal.m_bPrompted) << text;
    }
}

TEST(CDialogTest, EscapeAndTheCloseBoxCancel) {
    for (const bool bEscape : {true, false}) {
        CTestDlg dlg;
        ScopedModalScript script([&](CDialog&) {
            dlg.Edit()->setText(QStringLiteral("55"));
            if (bEscape)
                QTest::keyClick(&dlg, Qt::Key_Escape);
            else
                dlg.close();
        });
        EXPECT_EQ(dlg.DoModal(), IDCANCEL);
        EXPECT_EQ(dlg.m_value, 7u);
    }
}

TEST(CDialogTest, AScriptThatLeavesTheDialogOpenGetsCancel) {
    CTestDlg dlg;
    ScopedModalScript script([](CDialog&) {});
    EXPECT_EQ(dlg.DoModal(), IDCANCEL);
    EXPECT_FALSE(dlg.isVisible());
}

TEST(CDialogTest, EnterInAMultiLineEditPressesTheDefaultButton) {
    CTestDlg dlg;
    ScopedModalScript script([&](CDialog&) {
        dlg.Log()->setFocus();
        QTest::keyClicks(dlg.Log(), QStringLiteral("typed"));
        QTest::keyClick(dlg.Log(), Qt::Key_Return);
    });
    EXPECT_EQ(dlg.DoModal(), IDOK);
    EXPECT_EQ(dlg.Log()->toPlainText(), QStringLiteral("typed"));
}

TEST(CDialogTest, TheRealModalLoopRunsAndDispatchesPostsFromOtherThreads) {
    CTestDlg dlg;
    bool bWasModal = false;
    // A post from another thread is what ends the loop: the nested loop must dispatch it.
    std::thread poster;
    QTimer::singleShot(0, &dlg, [&] {
        bWasModal = QApplication::activeModalWidget() == &dlg;
        dlg.Edit()->setText(QStringLiteral("4294967295"));
        poster = std::thread([&dlg] {
            QMetaObject::invokeMethod(
                &dlg, [&dlg] { dlg.Button(IDOK)->click(); }, Qt::QueuedConnection);
        });
    });
    EXPECT_EQ(dlg.DoModal(), IDOK);
    poster.join();
    EXPECT_TRUE(bWasModal);
    EXPECT_EQ(dlg.m_value, 4294967295u);
    EXPECT_EQ(dlg.m_calls, (std::vector<const char*>{"OnInitDialog", "OnDestroy"}));
}

TEST(CDialogTest, TheRealModalLoopKeepsARefusedDialogOpen) {
    CTestDlg dlg;
    CRefusal refusal;
    QTimer::singleShot(0, &dlg, [&] {
        refusal = PressOkWith(dlg, QString());
        dlg.Button(IDCANCEL)->click();
    });
    EXPECT_EQ(dlg.DoModal(), IDCANCEL);
    EXPECT_TRUE(refusal.m_bStillOpen);
    EXPECT_TRUE(refusal.m_bPrompted);
    EXPECT_EQ(dlg.m_value, 7u);
}

TEST(CDialogTest, AnEmptyWindowMenuShowsNoContextMenu) {
    CTestDlg dlg;
    ASSERT_NE(dlg.GetSystemMenu(), nullptr);
    EXPECT_TRUE(dlg.GetSystemMenu()->IsEmpty());
    dlg.show();
    QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(1, 1), dlg.mapToGlobal(QPoint(1, 1)));
    QApplication::sendEvent(&dlg, &event);
    EXPECT_EQ(QApplication::activePopupWidget(), nullptr);
}

TEST(CDialogTest, WindowMenuItemsAreTheDialogsContextMenuAndSendTheirCommand) {
    CTestDlg dlg;
    dlg.show();
    Platform::CMenu* pMenu = dlg.GetSystemMenu();
    EXPECT_TRUE(pMenu->AppendMenu(Platform::MF_SEPARATOR));
    EXPECT_TRUE(pMenu->AppendMenu(Platform::MF_STRING, 0x0010, QStringLiteral("About(&A)")));
    EXPECT_FALSE(pMenu->AppendMenu(0x1234, 1, QStringLiteral("unknown")));

    QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(1, 1), dlg.mapToGlobal(QPoint(1, 1)));
    QApplication::sendEvent(&dlg, &event);
    auto* pPopup = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    ASSERT_EQ(pPopup, pMenu->GetMenu());
    const QList<QAction*> actions = pPopup->actions();
    ASSERT_EQ(actions.size(), 2);
    EXPECT_TRUE(actions[0]->isSeparator());
    EXPECT_EQ(actions[1]->text(), QStringLiteral("About(&A)"));
    actions[1]->trigger();
    pPopup->close();
    EXPECT_EQ(dlg.m_commands, std::vector<unsigned>{0x0010});
}

TEST(CDialogTest, WindowMenuItemsEndTheMultiLineEditsContextMenu) {
    CTestDlg dlg;
    dlg.show();
    dlg.GetSystemMenu()->AppendMenu(Platform::MF_SEPARATOR);
    dlg.GetSystemMenu()->AppendMenu(Platform::MF_STRING, 0x0010, QStringLiteral("About(&A)"));

    QMenu* pPopup = RightClick(dlg.Log()->viewport());
    ASSERT_NE(pPopup, nullptr);
    EXPECT_EQ(pPopup->objectName(), QStringLiteral("editMenu"));
    const QList<QAction*> actions = pPopup->actions();
    ASSERT_GT(actions.size(), 3);
    EXPECT_NE(pPopup->findChild<QAction*>(QStringLiteral("edit-copy")), nullptr);
    EXPECT_TRUE(actions[actions.size() - 2]->isSeparator());
    EXPECT_EQ(actions.back()->text(), QStringLiteral("About(&A)"));
    actions.back()->trigger();
    pPopup->close();
    EXPECT_EQ(dlg.m_commands, std::vector<unsigned>{0x0010});
}

TEST(CDialogTest, AControlsOwnContextMenuIsFollowedByTheWindowMenusItems) {
    CDialog dlg(std::make_unique<COwnMenuForm>());
    dlg.show();
    dlg.GetSystemMenu()->AppendMenu(Platform::MF_STRING, 0x0010, QStringLiteral("About(&A)"));

    ASSERT_NE(dlg.GetDlgItem(kOwnMenuId), nullptr);
    QMenu* pPopup = RightClick(dlg.GetDlgItem(kOwnMenuId));
    ASSERT_NE(pPopup, nullptr);
    EXPECT_EQ(pPopup->objectName(), QStringLiteral("editMenu"));
    const QList<QAction*> actions = pPopup->actions();
    ASSERT_EQ(actions.size(), 2);
    EXPECT_EQ(actions[0]->text(), QStringLiteral("Own item"));
    EXPECT_EQ(actions[1]->text(), QStringLiteral("About(&A)"));
    pPopup->close();
}

TEST(CDialogTest, ASecondRunStartsWithAFreshWindowMenu) {
    CTestDlg dlg;
    ScopedModalScript script([&](CDialog&) {
        dlg.GetSystemMenu()->AppendMenu(Platform::MF_STRING, 0x0010, QStringLiteral("About"));
    });
    dlg.DoModal();
    dlg.DoModal();
    EXPECT_EQ(dlg.GetSystemMenu()->GetMenu()->actions().size(), 1);
}

}  // namespace
