#include "SocketFixture.h"

#include <boost/asio/error.hpp>

#include <fcntl.h>

using namespace SocketTest;
using CNoxSocket::CAcceptor;

namespace {

using CAcceptorTest = CLoopFixture;

bool IsCloseOnExec(int fd) { return (::fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0; }

TEST_F(CAcceptorTest, AcceptsNearSimultaneousClientsAsCloseOnExecSockets) {
    const unsigned short port = ListenAnyPort();
    EXPECT_NE(port, 0);
    CClient first(port);
    CClient second(port);
    ASSERT_TRUE(first.Connected());
    ASSERT_TRUE(second.Connected());
    ASSERT_TRUE(WaitUntil([&] { return m_acceptor.Accepted().size() == 2; }));
    OnWorker([&] {
        EXPECT_TRUE(IsCloseOnExec(m_acceptor.m_tcpAcceptor.native_handle()));
        for (const auto& spSocket : m_acceptor.Accepted()) {
            EXPECT_TRUE(IsCloseOnExec(spSocket->m_socket.native_handle()));
        }
    });
    first.Send(Frame("1"));
    second.Send(Frame("2"));
    ASSERT_TRUE(WaitUntil([&] {
        return m_acceptor.Accepted()[0]->Messages().size() == 1 &&
               m_acceptor.Accepted()[1]->Messages().size() == 1;
    }));
}

TEST_F(CAcceptorTest, BaseOnAcceptClosesEveryConnection) {
    CAcceptor plain(m_io);
    const unsigned short port = OnWorker([&] {
        CAcceptor::Listen(&plain, 0);
        return plain.m_tcpAcceptor.local_endpoint().port();
    });
    CClient first(port);
    CClient second(port);
    EXPECT_TRUE(first.WaitForClose());
    EXPECT_TRUE(second.WaitForClose());
    CloseAcceptor(plain);
}

TEST_F(CAcceptorTest, FailedBindLeavesTheAcceptorClosedForALaterListen) {
    const unsigned short taken = ListenAnyPort();
    CKeepingAcceptor other(m_io);
    EXPECT_EQ(TryListen(other, taken), "bind: Address already in use");
    EXPECT_FALSE(OnWorker([&] { return other.m_tcpAcceptor.is_open(); }));

    EXPECT_EQ(TryListen(other, 0), "");
    const unsigned short port =
        OnWorker([&] { return other.m_tcpAcceptor.local_endpoint().port(); });
    CClient client(port);
    ASSERT_TRUE(WaitUntil([&] { return other.Accepted().size() == 1; }));
    OnWorker([&] { other.Accepted()[0]->m_socket.close(); });
    CloseAcceptor(other);
}

TEST_F(CAcceptorTest, SecondListenFailsAtOpenAndKeepsAccepting) {
    const unsigned short port = ListenAnyPort();
    EXPECT_EQ(TryListen(m_acceptor, port), "open: Already open");
    CClient client(port);
    ASSERT_TRUE(WaitUntil([&] { return m_acceptor.Accepted().size() == 1; }));
    EXPECT_TRUE(m_acceptor.Errors().empty());
}

TEST_F(CAcceptorTest, PortInTimeWaitCanBeListenedOnAgainAtOnce) {
    CAcceptor first(m_io);
    const unsigned short port = OnWorker([&] {
        CAcceptor::Listen(&first, 0);
        return first.m_tcpAcceptor.local_endpoint().port();
    });
    {
        // The base OnAccept closes first, so the server's end is left in TIME_WAIT.
        CClient client(port);
        ASSERT_TRUE(client.WaitForClose());
    }
    CloseAcceptor(first);
    EXPECT_EQ(TryListen(m_acceptor, port), "");
}

TEST_F(CAcceptorTest, CloseEndsAcceptingWithOneAbort) {
    const unsigned short port = ListenAnyPort();
    OnWorker([&] { m_acceptor.m_tcpAcceptor.close(); });
    ASSERT_TRUE(WaitUntil([&] { return !m_acceptor.Errors().empty(); }));
    CClient refused(port);
    EXPECT_FALSE(refused.Connected());
    for (int i = 0; i < 3; ++i) OnWorker([] {});
    EXPECT_EQ(m_acceptor.Errors(),
              std::vector<boost::system::error_code>{boost::asio::error::operation_aborted});
    EXPECT_TRUE(m_acceptor.Accepted().empty());
}

TEST_F(CAcceptorTest, EmptyCreateSocketStopsAcceptingSilently) {
    m_acceptor.m_nCreateBudget = 1;
    const unsigned short port = ListenAnyPort();
    CClient first(port);
    ASSERT_TRUE(WaitUntil([&] { return m_acceptor.Accepted().size() == 1; }));
    // The second completes in the backlog and is never accepted.
    CClient second(port);
    EXPECT_TRUE(second.Connected());
    for (int i = 0; i < 3; ++i) OnWorker([] {});
    EXPECT_EQ(m_acceptor.Accepted().size(), 1u);
    EXPECT_TRUE(m_acceptor.Errors().empty());
    EXPECT_TRUE(OnWorker([&] { return m_acceptor.m_tcpAcceptor.is_open(); }));
}

}  // namespace
