#include "CWinApp.h"

#include <gtest/gtest.h>

namespace {

TEST(CWinAppTest, TheCommandLineIsMainsArgumentsProgramFirst) {
    char program[] = "/usr/bin/velmora";
    char first[] = "31";
    char second[] = "ポート";
    char* argv[] = {program, first, second, nullptr};
    Platform::CWinApp::SetCommandLine(3, argv);
    EXPECT_EQ(Platform::GetCommandLine(),
              (std::vector<CString>{QStringLiteral("/usr/bin/velmora"), QStringLiteral("31"),
                                    QStringLiteral("ポート")}));
}

TEST(CWinAppTest, TheBaseStartUpSucceeds) {
    Platform::CWinApp app;
    EXPECT_TRUE(app.InitInstance());
    EXPECT_EQ(app.m_pMainWnd, nullptr);
}

}  // namespace
