#pragma once

#include "CAcceptor.h"
#include "CMessageBudget.h"
#include "CSocket.h"

#include <gtest/gtest.h>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_service.hpp>
#include <boost/asio/post.hpp>
#include <boost/make_shared.hpp>
#include <boost/system/system_error.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace SocketTest {

// Bound on every wait: long enough never to fire on a loaded machine, short enough to turn a
// hang into a failure.
constexpr std::chrono::seconds kHang{20};

inline bool WaitUntil(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + kHang;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

inline std::string Frame(const std::string& payload) {
    const std::uint32_t length = static_cast<std::uint32_t>(payload.size());
    std::string out(reinterpret_cast<const char*>(&length), 4);
    return out + payload;
}

// A blocking loopback client on a plain descriptor.
class CClient {
public:
    explicit CClient(unsigned short port) {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        m_bConnected =
            ::connect(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    }
    ~CClient() { Close(); }

    bool Connected() const { return m_bConnected; }

    void Send(const std::string& bytes) {
        std::size_t sent = 0;
        while (sent < bytes.size()) {
            const ssize_t n = ::send(m_fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            ASSERT_GT(n, 0) << "send failed";
            sent += static_cast<std::size_t>(n);
        }
    }

    // True once the server has closed its end (read gives 0 or a reset).
    bool WaitForClose() {
        pollfd p = {m_fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(kHang.count() * 1000)) != 1) return false;
        char byte;
        return ::recv(m_fd, &byte, 1, 0) <= 0;
    }

    void Close() {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = -1;
    }

private:
    int m_fd = -1;
    bool m_bConnected = false;
};

// A connection that records its events for the test thread.
class CRecorder : public CNoxSocket::CSocket {
public:
    using CSocket::CSocket;

    void OnReceive(const boost::shared_ptr<std::vector<char>>& message) override {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_messages.emplace_back(message->begin(), message->end());
        }
        if (m_onReceive) m_onReceive(*message);
    }
    void OnError(const boost::system::error_code& error) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_errors.push_back(error);
    }

    std::vector<std::string> Messages() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_messages;
    }
    std::vector<boost::system::error_code> Errors() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_errors;
    }

    // Runs on the worker thread after each message is recorded.
    std::function<void(const std::vector<char>&)> m_onReceive;

private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_messages;
    std::vector<boost::system::error_code> m_errors;
};

// An acceptor that keeps every connection and, unless told otherwise, starts it receiving.
class CKeepingAcceptor : public CNoxSocket::CAcceptor {
public:
    using CAcceptor::CAcceptor;

    std::unique_ptr<CNoxSocket::CSocket> CreateSocket(boost::asio::io_service& io) override {
        if (m_nCreateBudget == 0) return nullptr;
        if (m_nCreateBudget > 0) --m_nCreateBudget;
        auto spSocket = std::make_unique<CRecorder>(io);
        if (m_pMessageBudget) spSocket->UseBudget(*m_pMessageBudget);
        return spSocket;
    }
    void OnAccept(boost::shared_ptr<CNoxSocket::CSocket> spSocket) override {
        if (m_bStartReceive) spSocket->StartReceive();
        std::lock_guard<std::mutex> lock(m_mutex);
        m_accepted.push_back(boost::static_pointer_cast<CRecorder>(spSocket));
    }
    void OnAcceptError(boost::shared_ptr<CNoxSocket::CSocket>,
                       const boost::system::error_code& error) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_errors.push_back(error);
    }

    std::vector<boost::shared_ptr<CRecorder>> Accepted() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_accepted;
    }
    std::vector<boost::system::error_code> Errors() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_errors;
    }

    int m_nCreateBudget = -1;  // -1: unlimited; set before Listen
    bool m_bStartReceive = true;
    CNoxSocket::CMessageBudget* m_pMessageBudget = nullptr;  // set before Listen

private:
    mutable std::mutex m_mutex;
    std::vector<boost::shared_ptr<CRecorder>> m_accepted;
    std::vector<boost::system::error_code> m_errors;
};

// Listens on 127.0.0.1-reachable port 0 and runs the I/O service on its own thread, as the
// program does; the destructor closes everything on that thread and joins it.
class CLoopFixture : public ::testing::Test {
protected:
    CLoopFixture() : m_work(m_io.get_executor()), m_budget(1 << 20), m_acceptor(m_io) {
        m_thread = std::thread([this] { m_io.run(); });
    }
    ~CLoopFixture() override {
        OnWorker([this] {
            boost::system::error_code ignored;
            m_acceptor.m_tcpAcceptor.close(ignored);
            for (const auto& spSocket : m_acceptor.Accepted()) spSocket->m_socket.close(ignored);
        });
        m_work.reset();
        m_thread.join();
    }

    // Runs f on the worker thread and returns its result; the test thread never touches a
    // socket of the loop itself.
    template <class F>
    auto OnWorker(F f) -> decltype(f()) {
        std::packaged_task<decltype(f())()> task(std::move(f));
        auto result = task.get_future();
        boost::asio::post(m_io, [&task] { task(); });
        if (result.wait_for(kHang) != std::future_status::ready) {
            ADD_FAILURE() << "worker thread hung";
            std::abort();
        }
        return result.get();
    }

    // Listens on a free port and returns it.
    unsigned short ListenAnyPort() {
        return OnWorker([this] {
            CNoxSocket::CAcceptor::Listen(&m_acceptor, 0);
            return m_acceptor.m_tcpAcceptor.local_endpoint().port();
        });
    }

    // Calls Listen on the worker thread; returns what it raised, or "" on success.
    std::string TryListen(CNoxSocket::CAcceptor& acceptor, unsigned short port) {
        return OnWorker([&] {
            try {
                CNoxSocket::CAcceptor::Listen(&acceptor, port);
            } catch (const boost::system::system_error& e) {
                return std::string(e.what());
            }
            return std::string();
        });
    }

    // Closes an acceptor the test made and lets its aborted accept complete, which still
    // refers to it.
    void CloseAcceptor(CNoxSocket::CAcceptor& acceptor) {
        OnWorker([&] { acceptor.m_tcpAcceptor.close(); });
        OnWorker([] {});
    }

    // The nth accepted connection, once it exists.
    boost::shared_ptr<CRecorder> Connection(std::size_t n) {
        EXPECT_TRUE(WaitUntil([&] { return m_acceptor.Accepted().size() > n; }));
        return m_acceptor.Accepted().at(n);
    }

    boost::asio::io_service m_io;
    boost::asio::executor_work_guard<boost::asio::io_service::executor_type> m_work;
    // 1 MiB; the acceptor's connections draw from it once m_pMessageBudget points here.
    CNoxSocket::CMessageBudget m_budget;
    CKeepingAcceptor m_acceptor;
    std::thread m_thread;
};

}  // namespace SocketTest
