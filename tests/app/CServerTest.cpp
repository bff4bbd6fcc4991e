// The server's worker: one failed operation never ends it, and a failed closing step never
// keeps the join from returning.
#include "CServer.h"

#include <gtest/gtest.h>

#include <QTest>
#include <atomic>
#include <boost/bind/bind.hpp>
#include <boost/system/system_error.hpp>
#include <chrono>
#include <stdexcept>

#include "CReports.h"

namespace {

using std::chrono::steady_clock;

TEST(CServerTest, AnExceptionFromAPostedOperationIsReportedAndLaterPostsStillRun) {
    boost::asio::io_service ioService;
    auto pWork = std::make_unique<boost::asio::io_service::work>(ioService);
    CReports reports;
    boost::thread worker(
        boost::bind(&CServer::RunIoService, boost::ref(ioService), reports.Handler()));

    std::atomic<int> ran{0};
    ioService.post([] {
        throw boost::system::system_error(
            boost::system::errc::make_error_code(boost::system::errc::address_in_use), "bind");
    });
    ioService.post([&ran] { ++ran; });
    ioService.post([] { throw std::runtime_error("second failure"); });
    ioService.post([&ran] { ++ran; });

    const auto waitFor = [&ran](int count) {
        const auto deadline = steady_clock::now() + std::chrono::seconds(10);
        while (ran < count && steady_clock::now() < deadline) QTest::qWait(5);
        return ran == count;
    };
    EXPECT_TRUE(waitFor(2));

    // Only the release of the guard ends the worker: idle for a while, it still serves.
    QTest::qWait(50);
    ioService.post([&ran] { ++ran; });
    EXPECT_TRUE(waitFor(3));
    pWork.reset();
    worker.join();
    EXPECT_EQ(reports.Texts(), (std::vector<CString>{QStringLiteral("bind: Address already in use"),
                                                     QStringLiteral("second failure")}));
}

// Lines go nowhere: these tests read the worker's reports only.
class CDiscardingQueue : public CLogBlocks::CQueue {
public:
    void OnMessages(std::list<Platform::CTimedLines>&) override {}
};

class CFailingCloseServer : public CServer {
public:
    using CServer::CServer;

protected:
    void CloseServer() override { throw std::runtime_error("close: Bad file descriptor"); }
};

TEST(CServerTest, AFailingStepInStopServerStillLetsTheJoinReturn) {
    CReports reports;
    CDiscardingQueue queue;
    CFailingCloseServer server(queue, reports.Handler());
    server.Start();
    const auto start = steady_clock::now();
    server.m_ioService.post(boost::bind(&CServer::StopServer, &server));
    server.Join();
    EXPECT_LT(steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(reports.Texts(), std::vector<CString>{QStringLiteral("close: Bad file descriptor")});
}

}  // namespace
