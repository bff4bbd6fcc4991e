#include "CVelmoraDlg.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <QAccessible>
#include <QApplication>
#include <QContextMenuEvent>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <QTimer>
#include <chrono>
#include <set>

#include "CAboutDlg.h"
#include "CDlgServer.h"
#include "CLogView.h"
#include "CReports.h"
#include "CResourceTable.h"
#include "Resource.h"
#include "ScopedModalScript.h"

namespace {

using Platform::CDialog;
using Platform::IDCANCEL;
using Platform::IDOK;
using std::chrono::steady_clock;

Platform::CLogView* Log(const CVelmoraDlg& dlg) {
    return dlg.GetDlgItem<Platform::CLogView>(IDC_EDIT_LOG);
}

QPushButton* Button(const CDialog& dlg, int nID) { return dlg.GetDlgItem<QPushButton>(nID); }

// Restores string 101 after a test that empties it.
class ScopedAboutString {
public:
    explicit ScopedAboutString(const CString& text)
        : m_saved(Platform::CResourceTable::LoadString(IDS_ABOUTBOX)) {
        Platform::CResourceTable::SetString(IDS_ABOUTBOX, text);
    }
    ~ScopedAboutString() { Platform::CResourceTable::SetString(IDS_ABOUTBOX, m_saved); }

private:
    CString m_saved;
};

QMenu* OpenLogMenu(const CVelmoraDlg& dlg) {
    QWidget* pViewport = Log(dlg)->viewport();
    QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(3, 3),
                            pViewport->mapToGlobal(QPoint(3, 3)));
    QApplication::sendEvent(pViewport, &event);
    return qobject_cast<QMenu*>(QApplication::activePopupWidget());
}

// Descriptors open now that are inheritable across exec.
std::set<int> OpenDescriptors() {
    std::set<int> fds;
    DIR* pDir = opendir("/proc/self/fd");
    if (pDir == nullptr) return fds;
    const int self = dirfd(pDir);
    while (const dirent* pEntry = readdir(pDir)) {
        if (pEntry->d_name[0] == '.') continue;
        const int fd = std::atoi(pEntry->d_name);
        if (fd != self) fds.insert(fd);
    }
    closedir(pDir);
    return fds;
}

TEST(CVelmoraDlgTest, TemplateCaptionsIdsAndLayout) {
    CVelmoraDlg dlg;
    EXPECT_EQ(dlg.windowTitle(), QStringLiteral("Velmora"));
    EXPECT_EQ(dlg.objectName(), QStringLiteral("CVelmoraDlg"));
    EXPECT_TRUE(dlg.windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_TRUE(dlg.windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_NE(dlg.minimumSize(), dlg.maximumSize());

    EXPECT_EQ(Button(dlg, IDOK)->text(), QStringLiteral("OK"));
    EXPECT_TRUE(Button(dlg, IDOK)->isDefault());
    EXPECT_EQ(Button(dlg, IDC_BUTTON_PORT_LISTEN)->text(), QStringLiteral("Port Listen"));
    EXPECT_EQ(Button(dlg, IDC_BUTTON_SOCKET_DUPLICATE)->text(), QStringLiteral("ソケット複製"));
    EXPECT_EQ(Button(dlg, IDC_BUTTON_PORT_LISTEN)->objectName(),
              QStringLiteral("buttonPortListen"));
    ASSERT_NE(Log(dlg), nullptr);
    EXPECT_EQ(Log(dlg)->objectName(), QStringLiteral("editLog"));

    EXPECT_EQ(Log(dlg)->geometry(), dlg.MapDialogRect(QRect(7, 7, 322, 185)));
    EXPECT_EQ(Button(dlg, IDOK)->geometry(), dlg.MapDialogRect(QRect(279, 220, 50, 14)));
    EXPECT_EQ(Button(dlg, IDC_BUTTON_PORT_LISTEN)->geometry(),
              dlg.MapDialogRect(QRect(7, 212, 91, 22)));
    EXPECT_EQ(Button(dlg, IDC_BUTTON_SOCKET_DUPLICATE)->geometry(),
              dlg.MapDialogRect(QRect(114, 211, 91, 23)));
    EXPECT_EQ(dlg.size(), dlg.MapDialogRect(QRect(0, 0, 336, 241)).size());
    // Buttons along the bottom, the log box above them.
    for (const int nID : {IDOK, IDC_BUTTON_PORT_LISTEN, IDC_BUTTON_SOCKET_DUPLICATE})
        EXPECT_GT(Button(dlg, nID)->geometry().top(), Log(dlg)->geometry().bottom());
}

TEST(CVelmoraDlgTest, TheLogBoxTakesWhatTheWindowGrowsAndTheButtonsFollowTheEdges) {
    CVelmoraDlg dlg;
    const QSize templateSize = dlg.MapDialogRect(QRect(0, 0, 336, 241)).size();
    EXPECT_EQ(dlg.minimumSize(), templateSize);
    dlg.show();
    QWidget* pStatus = dlg.GetDlgItem(IDC_STATIC_STATUS);
    ASSERT_NE(pStatus, nullptr);
    const QRect log = Log(dlg)->geometry();
    const QRect status = pStatus->geometry();
    const QRect ok = Button(dlg, IDOK)->geometry();
    const QRect listen = Button(dlg, IDC_BUTTON_PORT_LISTEN)->geometry();
    const QRect duplicate = Button(dlg, IDC_BUTTON_SOCKET_DUPLICATE)->geometry();
    const QPoint grown(300, 200);
    for (const QSize size : {templateSize + QSize(300, 200), templateSize}) {
        dlg.resize(size);
        QApplication::processEvents();
        const QPoint by = size == templateSize ? QPoint() : grown;
        EXPECT_EQ(Log(dlg)->geometry(), log.adjusted(0, 0, by.x(), by.y()));
        EXPECT_EQ(pStatus->geometry(), status.adjusted(0, by.y(), by.x(), by.y()));
        EXPECT_EQ(Button(dlg, IDOK)->geometry(), ok.translated(by));
        EXPECT_EQ(Button(dlg, IDC_BUTTON_PORT_LISTEN)->geometry(), listen.translated(0, by.y()));
        EXPECT_EQ(Button(dlg, IDC_BUTTON_SOCKET_DUPLICATE)->geometry(),
                  duplicate.translated(0, by.y()));
    }
}

TEST(CVelmoraDlgTest, TheLogBoxScrollsBothWaysAndIsReadOnly) {
    CVelmoraDlg dlg;
    dlg.show();
    Platform::CLogView* pLog = Log(dlg);
    EXPECT_EQ(pLog->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    EXPECT_EQ(pLog->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    EXPECT_TRUE(pLog->focusPolicy() & Qt::TabFocus);
    dlg.AppendLog(QStringLiteral("alpha"));
    pLog->setFocus();
    QTest::keyClicks(pLog, QStringLiteral("typed"));
    EXPECT_EQ(pLog->Text(), QStringLiteral("\nalpha"));
}

TEST(CVelmoraDlgTest, AppendLogPutsEachTextOnANewLineBelowAnEmptyFirstLine) {
    CVelmoraDlg dlg;
    dlg.AppendLog(QStringLiteral("127.0.0.1:50123 -> OnAccept"));
    EXPECT_EQ(Log(dlg)->Text(), QStringLiteral("\n127.0.0.1:50123 -> OnAccept"));
    dlg.AppendLog(QStringLiteral("127.0.0.1:50123 -> hello"));
    dlg.AppendLog(QStringLiteral("two\r\nlines"));
    dlg.AppendLog(QString());
    EXPECT_EQ(
        Log(dlg)->Text(),
        QStringLiteral("\n127.0.0.1:50123 -> OnAccept\n127.0.0.1:50123 -> hello\ntwo\nlines\n"));
    EXPECT_EQ(Log(dlg)->LineCount(), 6u);
}

TEST(CVelmoraDlgTest, AppendLogKeepsTheOperatorsSelection) {
    CVelmoraDlg dlg;
    dlg.show();
    dlg.AppendLog(QStringLiteral("alpha"));
    dlg.AppendLog(QStringLiteral("beta"));
    Platform::CLogView* pLog = Log(dlg);
    pLog->SetSelection({1, 0}, {1, 5});
    ASSERT_EQ(pLog->SelectedText(100), "alpha");

    dlg.AppendLog(QStringLiteral("gamma"));
    pLog->AppendLines(std::list<Platform::CTimedLines>{{0, "delta"}});
    EXPECT_EQ(pLog->Text(), QStringLiteral("\nalpha\nbeta\ngamma\ndelta"));
    EXPECT_EQ(pLog->SelectedText(100), "alpha");
}

TEST(CVelmoraDlgTest, AppendLogKeepsTheEndInView) {
    CVelmoraDlg dlg;
    dlg.show();
    for (int i = 0; i < 500; ++i) dlg.AppendLog(QStringLiteral("line %1").arg(i));
    Platform::CLogView* pLog = Log(dlg);
    EXPECT_TRUE(pLog->IsFollowing());
    EXPECT_EQ(pLog->TopRow() + pLog->VisibleRows(), pLog->LineCount());
}

TEST(CVelmoraDlgTest, ABatchIsAppendedLikeOneLineAfterAnother) {
    CVelmoraDlg one;
    CVelmoraDlg batch;
    const std::list<std::string> lines{"a", "", "caf\u00e9 \u240a"};
    one.AppendLog(QStringLiteral("first"));
    batch.AppendLog(QStringLiteral("first"));
    for (const std::string& line : lines) one.AppendLog(QString::fromStdString(line));
    std::list<Platform::CTimedLines> blocks;
    for (const std::string& line : lines) blocks.push_back({0, line});
    Log(batch)->AppendLines(std::move(blocks));
    Log(batch)->AppendLines(std::list<Platform::CTimedLines>());
    EXPECT_EQ(Log(batch)->Text(), Log(one)->Text());
    EXPECT_EQ(Log(batch)->Text(), QStringLiteral("\nfirst\na\n\ncaf\u00e9 \u240a"));
}

TEST(CVelmoraDlgTest, OkEscapeCloseBoxAndEnterInTheLogBoxEndTheDialog) {
    const std::vector<std::function<void(CVelmoraDlg&)>> endings = {
        [](CVelmoraDlg& dlg) { Button(dlg, IDOK)->click(); },
        [](CVelmoraDlg& dlg) { QTest::keyClick(&dlg, Qt::Key_Escape); },
        [](CVelmoraDlg& dlg) { dlg.close(); },
        [](CVelmoraDlg& dlg) {
            Log(dlg)->setFocus();
            QTest::keyClick(Log(dlg), Qt::Key_Return);
        },
    };
    for (std::size_t i = 0; i < endings.size(); ++i) {
        CVelmoraDlg dlg;
        bool bShown = false;
        ScopedModalScript script([&](CDialog&) {
            bShown = dlg.isVisible();
            endings[i](dlg);
        });
        dlg.DoModal();
        EXPECT_TRUE(bShown) << i;
        EXPECT_FALSE(dlg.isVisible()) << i;
        EXPECT_EQ(Log(dlg)->Text(), QString()) << i;
    }
}

TEST(CVelmoraDlgTest, ClosingWithAnIdleServiceReturnsPromptly) {
    CReports reports;
    CVelmoraDlg dlg({}, {}, reports.Handler());
    steady_clock::time_point closed;
    ScopedModalScript script([&](CDialog&) {
        closed = steady_clock::now();
        Button(dlg, IDOK)->click();
    });
    dlg.DoModal();
    const auto elapsed = steady_clock::now() - closed;
    EXPECT_LT(elapsed, std::chrono::seconds(2));
    std::printf("close with an idle service: %.3f ms\n",
                std::chrono::duration<double, std::milli>(elapsed).count());
    EXPECT_TRUE(reports.Texts().empty());
}

TEST(CVelmoraDlgTest, TheRealModalLoopRunsTheMainDialog) {
    CVelmoraDlg dlg;
    bool bModal = false;
    QTimer::singleShot(0, &dlg, [&] {
        bModal = QApplication::activeModalWidget() == &dlg;
        dlg.AppendLog(QStringLiteral("while modal"));
        Button(dlg, IDOK)->click();
    });
    EXPECT_EQ(dlg.DoModal(), IDOK);
    EXPECT_TRUE(bModal);
    EXPECT_EQ(Log(dlg)->Text(), QStringLiteral("\nwhile modal"));
}

TEST(CVelmoraDlgTest, TheWindowMenuEndsWithASeparatorAndTheAboutItem) {
    CVelmoraDlg dlg;
    QList<QAction*> actions;
    ScopedModalScript script([&](CDialog& shown) {
        if (&shown != &dlg) return;
        actions = dlg.GetSystemMenu()->GetMenu()->actions();
    });
    dlg.DoModal();
    ASSERT_GE(actions.size(), 2);
    EXPECT_TRUE(actions[actions.size() - 2]->isSeparator());
    EXPECT_EQ(actions.back()->text(), QStringLiteral("バージョン情報 Velmora(&A)..."));
    EXPECT_EQ(actions.back()->data().toUInt(), IDM_ABOUTBOX);
}

// The access keys of a menu's items, in order.
QString AccessKeys(const QMenu& menu) {
    QString keys;
    for (const QAction* pAction : menu.actions()) {
        const QString text = pAction->text();
        const qsizetype nAt = text.indexOf(QLatin1Char('&'));
        if (nAt >= 0 && nAt + 1 < text.size()) keys += text.at(nAt + 1).toUpper();
    }
    return keys;
}

// From the dialog, or from the log box by the mouse, Shift+F10 or the Menu key.
TEST(CVelmoraDlgTest, TheAboutBoxOpensFromTheDialogsAndTheLogBoxsContextMenu) {
    for (const int nWay : {0, 1, 2, 3}) {
        const bool bFromLogBox = nWay > 0;
        CVelmoraDlg dlg;
        std::vector<QString> opened;
        ScopedModalScript script([&](CDialog& shown) {
            if (&shown != &dlg) {
                opened.push_back(shown.windowTitle());
                EXPECT_NE(dynamic_cast<CAboutDlg*>(&shown), nullptr);
                Button(shown, IDOK)->click();
                return;
            }
            QMenu* pMenu = nullptr;
            if (nWay == 1) {
                pMenu = OpenLogMenu(dlg);
            } else if (nWay > 1) {
                if (nWay == 2)
                    QTest::keyClick(Log(dlg), Qt::Key_F10, Qt::ShiftModifier);
                else
                    QTest::keyClick(Log(dlg), Qt::Key_Menu);
                pMenu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
            } else {
                QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(2, 2),
                                        dlg.mapToGlobal(QPoint(2, 2)));
                QApplication::sendEvent(&dlg, &event);
                pMenu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
            }
            ASSERT_NE(pMenu, nullptr);
            QAction* pAbout = pMenu->actions().back();
            EXPECT_EQ(pAbout->text(), QStringLiteral("バージョン情報 Velmora(&A)..."));
            if (bFromLogBox) EXPECT_EQ(AccessKeys(*pMenu), QStringLiteral("CLFISETA"));
            pMenu->close();
            pAbout->trigger();
            Button(dlg, IDOK)->click();
        });
        dlg.DoModal();
        EXPECT_EQ(opened, std::vector<QString>{QStringLiteral("バージョン情報 Velmora")}) << nWay;
    }
}

TEST(CVelmoraDlgTest, NoAboutItemWhenString101IsEmpty) {
    const ScopedAboutString empty{CString()};
    CVelmoraDlg dlg;
    bool bMenuEmpty = false;
    QStringList logMenu;
    ScopedModalScript script([&](CDialog&) {
        bMenuEmpty = dlg.GetSystemMenu()->IsEmpty();
        QMenu* pMenu = OpenLogMenu(dlg);
        ASSERT_NE(pMenu, nullptr);
        for (const QAction* pAction : pMenu->actions()) logMenu << pAction->text();
        pMenu->close();
    });
    dlg.DoModal();
    EXPECT_TRUE(bMenuEmpty);
    EXPECT_EQ(logMenu,
              (QStringList{QStringLiteral("&Copy"), QStringLiteral("Select A&ll"),
                           QStringLiteral("&Find..."), QStringLiteral("F&ilter..."),
                           QStringLiteral("&Save Log As..."), QStringLiteral("Cl&ear Log"),
                           QStringLiteral("Show &Times")}));
    EXPECT_FALSE(logMenu.join(QLatin1Char('|')).contains(QStringLiteral("Velmora")));
}

TEST(CVelmoraDlgTest, PortListenOpensThePortDialogWithTenThousandEveryTime) {
    CVelmoraDlg dlg;
    std::vector<QString> shown;
    std::vector<QString> titles;
    int nPortDialog = 0;
    ScopedModalScript script([&](CDialog& current) {
        if (&current == &dlg) {
            Button(dlg, IDC_BUTTON_PORT_LISTEN)->click();
            Button(dlg, IDC_BUTTON_PORT_LISTEN)->click();
            Button(dlg, IDOK)->click();
            return;
        }
        auto* pPort = dynamic_cast<CDlgServer*>(&current);
        ASSERT_NE(pPort, nullptr);
        titles.push_back(pPort->windowTitle());
        auto* pEdit = pPort->GetDlgItem<QLineEdit>(IDC_EDIT_PORT);
        shown.push_back(pEdit->text());
        pEdit->setText(QStringLiteral("2345"));
        Button(*pPort, ++nPortDialog == 1 ? IDOK : IDCANCEL)->click();
    });
    dlg.DoModal();
    EXPECT_EQ(shown, (std::vector<QString>{QStringLiteral("10000"), QStringLiteral("10000")}));
    EXPECT_EQ(titles, (std::vector<QString>{QStringLiteral("Dialog"), QStringLiteral("Dialog")}));
}

TEST(CVelmoraDlgTest, ControlsAreVisibleToAssistiveTechnology) {
    CVelmoraDlg dlg;
    dlg.AppendLog(QStringLiteral("first"));
    dlg.AppendLog(QStringLiteral("second"));
    dlg.show();
    for (const auto& [nID, caption] :
         {std::pair{IDOK, "OK"}, std::pair{IDC_BUTTON_PORT_LISTEN, "Port Listen"},
          std::pair{IDC_BUTTON_SOCKET_DUPLICATE, "ソケット複製"}}) {
        QAccessibleInterface* pButton = QAccessible::queryAccessibleInterface(Button(dlg, nID));
        ASSERT_NE(pButton, nullptr);
        EXPECT_EQ(pButton->role(), QAccessible::Button);
        EXPECT_EQ(pButton->text(QAccessible::Name), QString::fromUtf8(caption));
        EXPECT_NE(pButton->actionInterface(), nullptr);
    }
    QAccessibleInterface* pLog = QAccessible::queryAccessibleInterface(Log(dlg));
    ASSERT_NE(pLog, nullptr);
    EXPECT_EQ(pLog->role(), QAccessible::EditableText);
    EXPECT_EQ(pLog->text(QAccessible::Name), QStringLiteral("Log"));
    EXPECT_TRUE(pLog->state().multiLine);
    EXPECT_TRUE(pLog->state().readOnly);
    ASSERT_NE(pLog->textInterface(), nullptr);
    const int nCount = pLog->textInterface()->characterCount();
    EXPECT_EQ(pLog->textInterface()->text(0, nCount), QStringLiteral("\nfirst\nsecond"));
}

TEST(CVelmoraDlgTest, TheDialogsOpenNoInheritableDescriptor) {
    const std::set<int> before = OpenDescriptors();
    std::vector<int> inheritable;
    CVelmoraDlg dlg;
    ScopedModalScript script([&](CDialog& shown) {
        if (&shown == &dlg) {
            Button(dlg, IDC_BUTTON_PORT_LISTEN)->click();
            Button(dlg, IDOK)->click();
            return;
        }
        for (const int fd : OpenDescriptors()) {
            const int flags = fcntl(fd, F_GETFD);
            if (!before.count(fd) && flags >= 0 && !(flags & FD_CLOEXEC)) inheritable.push_back(fd);
        }
        Button(shown, IDCANCEL)->click();
    });
    dlg.DoModal();
    EXPECT_TRUE(inheritable.empty());
}

}  // namespace
