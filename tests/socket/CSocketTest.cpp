#include "SocketFixture.h"

#include <boost/asio/error.hpp>

#include <fcntl.h>
#include <malloc.h>

#include <algorithm>
#include <memory>
#include <set>

using namespace SocketTest;
using CNoxSocket::CSocket;

namespace {

class CSocketTest : public CLoopFixture {
protected:
    void SetUp() override { m_port = ListenAnyPort(); }

    std::vector<char> StateOf(const boost::shared_ptr<CRecorder>& spSocket) {
        return OnWorker([&] { return spSocket->SaveState(); });
    }
    bool WaitForState(const boost::shared_ptr<CRecorder>& spSocket, std::size_t size) {
        return WaitUntil([&] { return StateOf(spSocket).size() == size; });
    }

    unsigned short m_port = 0;
};

TEST_F(CSocketTest, FramesAreCutExactlyAsAnnounced) {
    CClient client(m_port);
    ASSERT_TRUE(client.Connected());
    auto spSocket = Connection(0);

    client.Send(std::string("\x05\x00\x00\x00hello", 9));
    // A zero length is a message of its own, then the next header follows at once.
    client.Send(Frame("") + Frame("next"));
    // Two messages in one segment.
    client.Send(Frame("one") + Frame("two"));
    ASSERT_TRUE(WaitUntil([&] { return spSocket->Messages().size() == 5; }));
    EXPECT_EQ(spSocket->Messages(), (std::vector<std::string>{"hello", "", "next", "one", "two"}));

    // One message in many segments: the server takes each piece before the next is sent, and
    // holds it in its state until the last byte.
    const std::string split = Frame("segmented message");
    for (std::size_t i = 0; i < split.size(); ++i) {
        client.Send(split.substr(i, 1));
        if (i + 1 < split.size()) {
            ASSERT_TRUE(WaitForState(spSocket, i + 1));
        }
    }
    ASSERT_TRUE(WaitUntil([&] { return spSocket->Messages().size() == 6; }));
    EXPECT_EQ(spSocket->Messages().back(), "segmented message");
    EXPECT_TRUE(StateOf(spSocket).empty());
    EXPECT_TRUE(spSocket->Errors().empty());
}

TEST_F(CSocketTest, LargeBodiesArriveWholeOnce) {
    CClient client(m_port);
    auto spSocket = Connection(0);

    std::string medium(100000, '\0');
    for (std::size_t i = 0; i < medium.size(); ++i) medium[i] = static_cast<char>(i * 7);
    // 00 00 00 01 is little-endian 16,777,216.
    std::string large(16777216, '\0');
    for (std::size_t i = 0; i < large.size(); i += 4096) large[i] = static_cast<char>(i >> 12);
    std::thread sender([&] {
        client.Send(Frame(medium));
        client.Send(std::string("\x00\x00\x00\x01", 4) + large);
        client.Send(Frame("after"));
    });
    const bool arrived = WaitUntil([&] { return spSocket->Messages().size() >= 3; });
    sender.join();
    ASSERT_TRUE(arrived);
    const auto messages = spSocket->Messages();
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_TRUE(messages[0] == medium);
    EXPECT_EQ(messages[1].size(), 16777216u);
    EXPECT_TRUE(messages[1] == large);
    EXPECT_EQ(messages[2], "after");
}

TEST_F(CSocketTest, PeerCloseInMidFrameEndsWithEndOfFileAndKeepsTheBytes) {
    CClient headerOnly(m_port);
    auto spHeader = Connection(0);
    CClient midBody(m_port);
    auto spBody = Connection(1);

    headerOnly.Send(std::string("\x05\x00", 2));
    midBody.Send(std::string("\x05\x00\x00\x00he", 6));
    ASSERT_TRUE(WaitForState(spHeader, 2));
    ASSERT_TRUE(WaitForState(spBody, 6));
    headerOnly.Close();
    midBody.Close();

    for (const auto& spSocket : {spHeader, spBody}) {
        ASSERT_TRUE(WaitUntil([&] { return !spSocket->Errors().empty(); }));
        EXPECT_EQ(spSocket->Errors(),
                  std::vector<boost::system::error_code>{boost::asio::error::eof});
        EXPECT_TRUE(spSocket->Messages().empty());
        EXPECT_FALSE(OnWorker([&] { return spSocket->m_socket.is_open(); }));
    }
    // Closed, yet nothing taken off the socket is lost.
    EXPECT_EQ(StateOf(spHeader), (std::vector<char>{5, 0}));
    const auto state = StateOf(spBody);
    EXPECT_EQ(std::string(state.begin(), state.end()), std::string("\x05\x00\x00\x00he", 6));
}

TEST_F(CSocketTest, LocalCloseAbortsThePendingWaitOnce) {
    CClient client(m_port);
    auto spSocket = Connection(0);
    client.Send(Frame("first"));
    ASSERT_TRUE(WaitUntil([&] { return spSocket->Messages().size() == 1; }));

    OnWorker([&] { spSocket->m_socket.close(); });
    ASSERT_TRUE(WaitUntil([&] { return !spSocket->Errors().empty(); }));
    // Let anything queued behind the abort run before looking.
    for (int i = 0; i < 3; ++i) OnWorker([] {});
    EXPECT_EQ(spSocket->Errors(),
              std::vector<boost::system::error_code>{boost::asio::error::operation_aborted});
    EXPECT_EQ(spSocket->Messages().size(), 1u);
}

TEST_F(CSocketTest, NothingIsReadWhileOnReceiveRuns) {
    CClient client(m_port);
    auto spSocket = Connection(0);

    std::promise<void> entered;
    std::size_t waiting = 0;
    std::size_t stateDuring = 1;
    spSocket->m_onReceive = [&](const std::vector<char>&) {
        if (spSocket->Messages().size() != 1) return;
        entered.set_value();
        // The next frame must stay in the socket until this returns.
        WaitUntil([&] { return spSocket->m_socket.available() == 9; });
        waiting = spSocket->m_socket.available();
        stateDuring = spSocket->SaveState().size();
    };
    client.Send(Frame("first"));
    ASSERT_EQ(entered.get_future().wait_for(kHang), std::future_status::ready);
    client.Send(Frame("again"));
    ASSERT_TRUE(WaitUntil([&] { return spSocket->Messages().size() == 2; }));
    EXPECT_EQ(waiting, 9u);
    EXPECT_EQ(stateDuring, 0u);
    EXPECT_EQ(spSocket->Messages()[1], "again");
}

TEST_F(CSocketTest, AssignOnAnOpenSocketFailsAndLeavesItAlone) {
    CClient client(m_port);
    auto spSocket = Connection(0);
    const std::string what = OnWorker([&] {
        const int before = spSocket->m_socket.native_handle();
        const int spare = ::dup(before);
        std::string text;
        try {
            spSocket->m_socket.assign(boost::asio::ip::tcp::v4(), spare);
        } catch (const boost::system::system_error& e) {
            text = e.what();
            EXPECT_EQ(e.code(), boost::asio::error::already_open);
        }
        ::close(spare);
        EXPECT_EQ(spSocket->m_socket.native_handle(), before);
        return text;
    });
    EXPECT_EQ(what, "assign: Already open");
    client.Send(Frame("still here"));
    ASSERT_TRUE(WaitUntil([&] { return spSocket->Messages().size() == 1; }));
    EXPECT_EQ(spSocket->Messages()[0], "still here");
}

TEST_F(CSocketTest, TooLongHeaderEndsOnlyItsConnection) {
    CClient hostile(m_port);
    auto spHostile = Connection(0);
    CClient honest(m_port);
    auto spHonest = Connection(1);

    const std::uint32_t announced = CNoxSocket::kMaxMessageSize + 1;
    hostile.Send(std::string(reinterpret_cast<const char*>(&announced), 4) + "xyz");
    ASSERT_TRUE(WaitUntil([&] { return !spHostile->Errors().empty(); }));
    const auto error = spHostile->Errors().at(0);
    EXPECT_EQ(error, CNoxSocket::error::message_too_long);
    EXPECT_STREQ(error.category().name(), "nox.socket");
    EXPECT_EQ(error.message(), "Message too long");
    EXPECT_EQ(OnWorker([&] { return spHostile->AnnouncedLength(); }), announced);
    EXPECT_TRUE(hostile.WaitForClose());
    EXPECT_EQ(StateOf(spHostile).size(), 7u);

    honest.Send(Frame("unaffected"));
    ASSERT_TRUE(WaitUntil([&] { return spHonest->Messages().size() == 1; }));
    EXPECT_TRUE(spHonest->Errors().empty());
}

TEST_F(CSocketTest, MemoryFollowsBytesReceivedNotBytesAnnounced) {
    CClient client(m_port);
    auto spSocket = Connection(0);
    const auto heap = [] {
        const struct mallinfo2 info = mallinfo2();
        return info.uordblks + info.hblkhd;
    };
    const std::size_t before = OnWorker(heap);
    const std::uint32_t announced = CNoxSocket::kMaxMessageSize;
    client.Send(std::string(reinterpret_cast<const char*>(&announced), 4) +
                std::string(100000, 'b'));
    ASSERT_TRUE(WaitForState(spSocket, 100004));
    const std::size_t after = OnWorker(heap);
    // The state copies above are freed; what remains is the growing body.
    EXPECT_LT(after - before, 1u << 20) << "announced " << announced;
}

// Eight clients send 4 MiB messages at once against a budget of 1 MiB: past it only the
// connection nearest to completing reads on, the others wait, a small message passes, and
// every message arrives whole.
class CSocketBudgetTest : public CLoopFixture {
protected:
    CSocketBudgetTest() { m_acceptor.m_pMessageBudget = &m_budget; }
    std::size_t Held() { return OnWorker([this] { return m_budget.Held(); }); }
};

TEST_F(CSocketBudgetTest, UnfinishedMessagesStayWithinTheBudgetAndAllComplete) {
    const unsigned short port = ListenAnyPort();
    constexpr std::size_t kClients = 8, kSize = 4 << 20;
    std::vector<std::unique_ptr<CClient>> clients;
    std::vector<std::string> bodies;
    for (std::size_t i = 0; i < kClients; ++i) {
        clients.push_back(std::make_unique<CClient>(port));
        bodies.emplace_back(kSize, static_cast<char>('a' + i));
        bodies.back()[kSize / 2] = '!';
    }
    std::vector<std::thread> senders;
    for (std::size_t i = 0; i < kClients; ++i)
        senders.emplace_back([&, i] { clients[i]->Send(Frame(bodies[i])); });
    CClient small(port);
    small.Send(Frame("small"));
    std::size_t nMostHeld = 0;
    const bool done = WaitUntil([&] {
        nMostHeld = std::max(nMostHeld, Held());
        std::size_t nMessages = 0;
        for (const auto& spSocket : m_acceptor.Accepted())
            nMessages += spSocket->Messages().size();
        return nMessages == kClients + 1;
    });
    for (std::thread& sender : senders) sender.join();
    ASSERT_TRUE(done);
    // Within the budget but for the one message allowed past it.
    EXPECT_LE(nMostHeld, m_budget.Limit() + kSize);
    EXPECT_EQ(Held(), 0u);
    std::vector<std::string> received;
    for (const auto& spSocket : m_acceptor.Accepted()) {
        for (const std::string& message : spSocket->Messages()) received.push_back(message);
    }
    bodies.push_back("small");
    EXPECT_EQ(std::multiset<std::string>(received.begin(), received.end()),
              std::multiset<std::string>(bodies.begin(), bodies.end()));
}

TEST_F(CSocketTest, SuspendHoldsPartialBytesAndResumeDeliversInOrder) {
    CClient client(m_port);
    auto spSocket = Connection(0);
    const std::string first = Frame(std::string(40000, 'f'));
    client.Send(first.substr(0, 1000));
    ASSERT_TRUE(WaitForState(spSocket, 1000));

    OnWorker([&] { spSocket->SuspendReceive(); });
    client.Send(first.substr(1000) + Frame("second"));
    const std::size_t rest = first.size() - 1000 + 10;
    ASSERT_TRUE(WaitUntil(
        [&] { return OnWorker([&] { return spSocket->m_socket.available() == rest; }); }));
    const auto state = StateOf(spSocket);
    EXPECT_EQ(std::string(state.begin(), state.end()), first.substr(0, 1000));
    EXPECT_TRUE(spSocket->Messages().empty());

    OnWorker([&] { spSocket->ResumeReceive(); });
    ASSERT_TRUE(WaitUntil([&] { return spSocket->Messages().size() == 2; }));
    EXPECT_EQ(spSocket->Messages()[0], std::string(40000, 'f'));
    EXPECT_EQ(spSocket->Messages()[1], "second");
    EXPECT_TRUE(spSocket->Errors().empty());
}

TEST_F(CSocketTest, SuspendFromOnReceiveKeepsFramesReadAhead) {
    CClient client(m_port);
    auto spSocket = Connection(0);
    spSocket->m_onReceive = [&](const std::vector<char>&) {
        if (spSocket->Messages().size() == 1) spSocket->SuspendReceive();
    };
    client.Send(Frame("a") + Frame("bb") + std::string("\x03\x00", 2));
    ASSERT_TRUE(WaitForState(spSocket, 6 + 2));
    EXPECT_EQ(spSocket->Messages(), std::vector<std::string>{"a"});
    const auto state = StateOf(spSocket);
    EXPECT_EQ(std::string(state.begin(), state.end()), Frame("bb") + std::string("\x03\x00", 2));

    client.Send(std::string("\x00\x00", 2) + "ccc");
    OnWorker([&] { spSocket->ResumeReceive(); });
    ASSERT_TRUE(WaitUntil([&] { return spSocket->Messages().size() == 3; }));
    EXPECT_EQ(spSocket->Messages(), (std::vector<std::string>{"a", "bb", "ccc"}));
}

// The hand-off's road: suspend, save, duplicate the descriptor, close; a new connection
// adopts the descriptor with the saved state and finishes the half-received message.
TEST_F(CSocketTest, RestoredConnectionFinishesTheHalfReceivedMessage) {
    CClient client(m_port);
    auto spOld = Connection(0);
    const std::string message = Frame("carried across") + Frame("then this");
    client.Send(message.substr(0, 9));
    ASSERT_TRUE(WaitForState(spOld, 9));

    auto spNew = boost::make_shared<CRecorder>(m_io);
    OnWorker([&] {
        spOld->SuspendReceive();
        std::vector<char> state = spOld->SaveState();
        const int fd = ::fcntl(spOld->m_socket.native_handle(), F_DUPFD_CLOEXEC, 3);
        spOld->m_socket.close();
        spNew->RestoreState(std::move(state));
        spNew->m_socket.assign(boost::asio::ip::tcp::v4(), fd);
        spNew->StartReceive();
    });
    client.Send(message.substr(9));
    ASSERT_TRUE(WaitUntil([&] { return spNew->Messages().size() == 2; }));
    EXPECT_EQ(spNew->Messages(), (std::vector<std::string>{"carried across", "then this"}));
    for (int i = 0; i < 3; ++i) OnWorker([] {});
    EXPECT_TRUE(spOld->Messages().empty());
    EXPECT_TRUE(spOld->Errors().empty());
    OnWorker([&] {
        spNew->m_socket.close();
        spNew.reset();
    });
}

TEST_F(CSocketTest, ConstructedFromStateDeliversCompleteFramesFirst) {
    CClient client(m_port);
    auto spOld = Connection(0);
    std::vector<char> state;
    const std::string held = Frame("held") + "\x02";
    state.assign(held.begin(), held.end());

    auto spNew = boost::make_shared<CRecorder>(m_io, state);
    OnWorker([&] {
        spOld->SuspendReceive();
        const int fd = ::fcntl(spOld->m_socket.native_handle(), F_DUPFD_CLOEXEC, 3);
        spOld->m_socket.close();
        spNew->m_socket.assign(boost::asio::ip::tcp::v4(), fd);
        spNew->StartReceive();
    });
    client.Send(std::string("\x00\x00\x00", 3) + "ok");
    ASSERT_TRUE(WaitUntil([&] { return spNew->Messages().size() == 2; }));
    EXPECT_EQ(spNew->Messages(), (std::vector<std::string>{"held", "ok"}));
    OnWorker([&] {
        spNew->m_socket.close();
        spNew.reset();
    });
}

}  // namespace
