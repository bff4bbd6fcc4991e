// The log box falling behind must push back on clients through TCP, never drop a line and
// never block the worker: a real dialog, a real listening socket and a real client.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "CDlgServer.h"
#include "CLogView.h"
#include "CVelmoraDlg.h"
#include "Resource.h"
#include "ScopedModalScript.h"

namespace {

using std::chrono::steady_clock;

unsigned short FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

int Connect(unsigned short port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
    ::close(fd);
    return -1;
}

// Frames numbered payloads of 100 bytes: "000000042" padded with dots.
std::vector<char> Frames(int count) {
    std::vector<char> bytes;
    bytes.reserve(static_cast<std::size_t>(count) * 104);
    for (int i = 0; i < count; ++i) {
        const std::uint32_t length = 100;
        const char* p = reinterpret_cast<const char*>(&length);
        bytes.insert(bytes.end(), p, p + 4);
        char number[16];
        std::snprintf(number, sizeof number, "%09d", i);
        bytes.insert(bytes.end(), number, number + 9);
        bytes.insert(bytes.end(), 91, '.');
    }
    return bytes;
}

template <class Predicate>
bool WaitProcessingEvents(Predicate done, std::chrono::seconds bound) {
    const auto deadline = steady_clock::now() + bound;
    while (!done() && steady_clock::now() < deadline) QTest::qWait(10);
    return done();
}

TEST(ServerBackPressureTest, AStalledLogBoxHoldsClientsBackAndLosesNothing) {
    constexpr int kMessages = 200000;  // 20 MB: more than the socket buffers and the high water
    const unsigned short port = FreePort();
    CVelmoraDlg dlg;
    std::atomic<bool> bStalled{false};
    std::atomic<bool> bSentAll{false};
    int fd = -1;
    std::thread client;
    QStringList lines;

    ScopedModalScript script([&](Platform::CDialog& shown) {
        if (auto* pPortDialog = dynamic_cast<CDlgServer*>(&shown)) {
            pPortDialog->GetDlgItem<QLineEdit>(IDC_EDIT_PORT)->setText(QString::number(port));
            pPortDialog->GetDlgItem<QPushButton>(Platform::IDOK)->click();
            return;
        }
        dlg.GetDlgItem<QPushButton>(IDC_BUTTON_PORT_LISTEN)->click();
        ASSERT_TRUE(WaitProcessingEvents([&] { return fd >= 0 || (fd = Connect(port)) >= 0; },
                                         std::chrono::seconds(30)));
        client = std::thread([&] {
            const std::vector<char> bytes = Frames(kMessages);
            std::size_t sent = 0;
            auto blockedSince = steady_clock::now();
            const auto deadline = steady_clock::now() + std::chrono::seconds(120);
            while (sent < bytes.size() && steady_clock::now() < deadline) {
                const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent,
                                         MSG_DONTWAIT | MSG_NOSIGNAL);
                if (n > 0) {
                    sent += static_cast<std::size_t>(n);
                    blockedSince = steady_clock::now();
                } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
                    break;
                } else {
                    if (steady_clock::now() - blockedSince > std::chrono::seconds(1)) {
                        bStalled = true;
                    }
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
            }
            bSentAll = sent == bytes.size();
        });

        // The UI thread is busy elsewhere: nothing is appended until the client is held back.
        const auto deadline = steady_clock::now() + std::chrono::seconds(60);
        while (!bStalled && !bSentAll && steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_TRUE(bStalled) << "the client was never held back";

        auto* pLog = dlg.GetDlgItem<Platform::CLogView>(IDC_EDIT_LOG);
        EXPECT_TRUE(WaitProcessingEvents([&] { return pLog->LineCount() >= kMessages + 3; },
                                         std::chrono::seconds(120)));
        lines = pLog->Text().split(QLatin1Char('\n'));
        // The connection is open still: OK asks first, and Yes ends.
        QTimer::singleShot(0, &dlg, [&] {
            auto* pBox = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            ASSERT_NE(pBox, nullptr);
            EXPECT_EQ(pBox->objectName(), QStringLiteral("quitQuestion"));
            pBox->button(QMessageBox::Yes)->click();
        });
        dlg.GetDlgItem<QPushButton>(Platform::IDOK)->click();
    });
    dlg.DoModal();
    client.join();
    ::close(fd);

    EXPECT_TRUE(bSentAll);
    // An empty first line, the listening line, the connection's line, then every message
    // once, in order.
    ASSERT_EQ(lines.size(), kMessages + 3)
        << lines.mid(0, 3).join(QLatin1Char('|')).toStdString() << " ... "
        << lines.mid(lines.size() - 2).join(QLatin1Char('|')).toStdString();
    EXPECT_EQ(lines[1], QStringLiteral("Listen -> 0.0.0.0:%1").arg(port));
    EXPECT_TRUE(lines[2].endsWith(QLatin1String(" -> OnAccept")));
    int nWrong = 0;
    for (int i = 0; i < kMessages; ++i) {
        const QString& line = lines[i + 3];
        const qsizetype arrow = line.indexOf(QLatin1String(" -> "));
        if (arrow < 0 || line.mid(arrow + 4, 9).toInt() != i || line.size() != arrow + 4 + 100) {
            ++nWrong;
        }
    }
    EXPECT_EQ(nWrong, 0);
}

}  // namespace
