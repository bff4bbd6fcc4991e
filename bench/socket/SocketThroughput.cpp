// Receive throughput of the socket layer beside a raw loopback byte sink measured in the same
// run, and the user-space memory an idle connection costs. Loopback only; every run is
// bounded in time.
#include "CAcceptor.h"
#include "CSocket.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_service.hpp>
#include <boost/asio/placeholders.hpp>
#include <boost/asio/post.hpp>
#include <boost/bind/bind.hpp>
#include <boost/make_shared.hpp>

#include <arpa/inet.h>
#include <fcntl.h>
#include <malloc.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using boost::asio::ip::tcp;

constexpr auto kWarmUp = std::chrono::milliseconds(200);
constexpr auto kMeasure = std::chrono::milliseconds(700);
// Each side runs this often, alternating, and keeps its best: the machine is shared.
constexpr int kRounds = 2;
constexpr auto kHang = std::chrono::seconds(20);

// Written by the worker thread only, read by the main thread.
struct CCounters {
    std::atomic<std::uint64_t> m_nMessages{0};
    std::atomic<std::uint64_t> m_nBytes{0};
    void Add(std::uint64_t messages, std::uint64_t bytes) {
        m_nMessages.store(m_nMessages.load(std::memory_order_relaxed) + messages,
                          std::memory_order_relaxed);
        m_nBytes.store(m_nBytes.load(std::memory_order_relaxed) + bytes, std::memory_order_relaxed);
    }
};

class CCountingSocket : public CNoxSocket::CSocket {
public:
    CCountingSocket(boost::asio::io_service& io, CCounters& counters)
        : CSocket(io), m_counters(counters) {}
    void OnReceive(const boost::shared_ptr<std::vector<char>>& message) override {
        m_counters.Add(1, message->size() + 4);
    }

private:
    CCounters& m_counters;
};

class CCountingAcceptor : public CNoxSocket::CAcceptor {
public:
    CCountingAcceptor(boost::asio::io_service& io, CCounters* pCounters)
        : CAcceptor(io), m_pCounters(pCounters) {}
    std::unique_ptr<CNoxSocket::CSocket> CreateSocket(boost::asio::io_service& io) override {
        if (m_pCounters)
            return std::unique_ptr<CNoxSocket::CSocket>(new CCountingSocket(io, *m_pCounters));
        return std::unique_ptr<CNoxSocket::CSocket>(new CNoxSocket::CSocket(io));
    }
    void OnAccept(boost::shared_ptr<CNoxSocket::CSocket> spSocket) override {
        spSocket->StartReceive();
        m_connections.push_back(spSocket);
        m_nAccepted.store(m_connections.size());
    }

    std::vector<boost::shared_ptr<CNoxSocket::CSocket>> m_connections;  // worker thread
    std::atomic<std::size_t> m_nAccepted{0};

private:
    CCounters* m_pCounters;
};

// The ceiling: one 64 KiB read pending per connection, bytes discarded.
class CRawSink {
public:
    CRawSink(boost::asio::io_service& io, CCounters& counters)
        : m_socket(io), m_counters(counters), m_buffer(64 * 1024) {}
    void Start() {
        m_socket.async_read_some(
            boost::asio::buffer(m_buffer),
            boost::bind(&CRawSink::OnRead, this, boost::asio::placeholders::error,
                        boost::asio::placeholders::bytes_transferred));
    }
    void OnRead(const boost::system::error_code& error, std::size_t n) {
        if (error) return;
        m_counters.Add(0, n);
        Start();
    }
    tcp::socket m_socket;

private:
    CCounters& m_counters;
    std::vector<char> m_buffer;
};

int Connect(unsigned short port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        std::perror("connect");
        std::exit(1);
    }
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    return fd;
}

// Whole frames back to back, about 256 KiB, so cycling through it keeps frames aligned.
std::vector<char> MakeBlock(std::size_t size) {
    const std::size_t frame = size + 4;
    const std::size_t count = std::max<std::size_t>(1, (256 * 1024) / frame);
    std::vector<char> block(count * frame, 'x');
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint32_t length = static_cast<std::uint32_t>(size);
        std::memcpy(block.data() + i * frame, &length, 4);
    }
    return block;
}

// Sends from every descriptor as fast as the receiver takes it until stop is set.
void Blast(const std::vector<int>& fds, const std::vector<char>& block,
           const std::atomic<bool>& stop) {
    std::vector<pollfd> polls;
    for (int fd : fds) polls.push_back({fd, POLLOUT, 0});
    std::vector<std::size_t> offsets(fds.size(), 0);
    const auto deadline = Clock::now() + kHang;
    while (!stop.load() && Clock::now() < deadline) {
        if (::poll(polls.data(), polls.size(), 10) <= 0) continue;
        for (std::size_t i = 0; i < polls.size(); ++i) {
            if (!(polls[i].revents & POLLOUT)) continue;
            const ssize_t n = ::send(fds[i], block.data() + offsets[i], block.size() - offsets[i],
                                     MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n > 0) offsets[i] = (offsets[i] + n) % block.size();
        }
    }
}

struct CResult {
    double m_messagesPerSecond;
    double m_bytesPerSecond;
};

CResult Measure(CCounters& counters, const std::vector<int>& fds, std::size_t size) {
    const std::vector<char> block = MakeBlock(size);
    std::atomic<bool> stop{false};
    std::thread sender([&] { Blast(fds, block, stop); });
    std::this_thread::sleep_for(kWarmUp);
    const auto m0 = counters.m_nMessages.load();
    const auto b0 = counters.m_nBytes.load();
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(kMeasure);
    const auto m1 = counters.m_nMessages.load();
    const auto b1 = counters.m_nBytes.load();
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    stop = true;
    sender.join();
    return {(m1 - m0) / seconds, (b1 - b0) / seconds};
}

// One worker thread runs the service, as in the program.
class CLoop {
public:
    CLoop() : m_work(m_io.get_executor()), m_thread([this] { m_io.run(); }) {}
    ~CLoop() { Stop(); }
    // Returns once every connection has ended; objects the loop refers to may go after it.
    void Stop() {
        m_work.reset();
        if (m_thread.joinable()) m_thread.join();
    }
    template <class F>
    void Run(F f) {
        std::promise<void> done;
        boost::asio::post(m_io, [&] {
            f();
            done.set_value();
        });
        done.get_future().wait();
    }
    boost::asio::io_service m_io;

private:
    boost::asio::executor_work_guard<boost::asio::io_service::executor_type> m_work;
    std::thread m_thread;
};

void WaitFor(const std::atomic<std::size_t>& value, std::size_t target) {
    const auto deadline = Clock::now() + kHang;
    while (value.load() < target && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (value.load() < target) {
        std::fprintf(stderr, "accept hung\n");
        std::exit(1);
    }
}

CResult RunSocketLayer(int clients, std::size_t size) {
    CCounters counters;
    std::vector<int> fds;
    {
        CLoop loop;
        CCountingAcceptor acceptor(loop.m_io, &counters);
        unsigned short port = 0;
        loop.Run([&] {
            CNoxSocket::CAcceptor::Listen(&acceptor, 0);
            port = acceptor.m_tcpAcceptor.local_endpoint().port();
        });
        for (int i = 0; i < clients; ++i) fds.push_back(Connect(port));
        WaitFor(acceptor.m_nAccepted, clients);
        const CResult result = Measure(counters, fds, size);
        for (int fd : fds) ::close(fd);
        loop.Run([&] { acceptor.m_tcpAcceptor.close(); });
        loop.Stop();
        return result;
    }
}

CResult RunRawSink(int clients, std::size_t size) {
    CCounters counters;
    std::vector<int> fds;
    CLoop loop;
    tcp::acceptor acceptor(loop.m_io, tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0));
    std::vector<std::unique_ptr<CRawSink>> sinks;
    for (int i = 0; i < clients; ++i) {
        fds.push_back(Connect(acceptor.local_endpoint().port()));
        sinks.emplace_back(new CRawSink(loop.m_io, counters));
        acceptor.accept(sinks.back()->m_socket);
    }
    loop.Run([&] {
        for (auto& spSink : sinks) spSink->Start();
    });
    const CResult result = Measure(counters, fds, size);
    for (int fd : fds) ::close(fd);
    loop.Stop();
    return result;
}

std::size_t HeapInUse() {
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

// User-space bytes per idle, receiving connection: socket object, reactor state, the pending
// readiness wait and the registry's shared pointer.
double IdleBytesPerConnection(int connections) {
    CLoop loop;
    CCountingAcceptor acceptor(loop.m_io, nullptr);
    unsigned short port = 0;
    loop.Run([&] {
        CNoxSocket::CAcceptor::Listen(&acceptor, 0);
        port = acceptor.m_tcpAcceptor.local_endpoint().port();
        acceptor.m_connections.reserve(connections + 1);
    });
    // Warm Asio's per-thread caches with one connection before the baseline.
    std::vector<int> fds{Connect(port)};
    WaitFor(acceptor.m_nAccepted, 1);
    std::size_t before = 0;
    loop.Run([&] { before = HeapInUse(); });
    for (int i = 0; i < connections; ++i) fds.push_back(Connect(port));
    WaitFor(acceptor.m_nAccepted, connections + 1);
    std::size_t after = 0;
    loop.Run([&] { after = HeapInUse(); });
    for (int fd : fds) ::close(fd);
    loop.Run([&] { acceptor.m_tcpAcceptor.close(); });
    loop.Stop();
    return double(after - before) / connections;
}

}  // namespace

// Optional arguments: one message size and one client count to run alone.
int main(int argc, char** argv) {
    rlimit limit;
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);

    std::printf("%-8s %-8s %14s %12s %12s %8s\n", "size", "clients", "messages/s", "MB/s",
                "raw MB/s", "ratio");
    std::vector<std::size_t> sizes{16, 1024, 65536};
    std::vector<int> counts{1, 8, 64};
    if (argc == 3) {
        sizes = {std::strtoul(argv[1], nullptr, 10)};
        counts = {std::atoi(argv[2])};
    }
    for (std::size_t size : sizes) {
        for (int clients : counts) {
            CResult ours = {0, 0};
            CResult raw = {0, 0};
            for (int round = 0; round < kRounds; ++round) {
                const CResult a = RunSocketLayer(clients, size);
                const CResult b = RunRawSink(clients, size);
                if (a.m_bytesPerSecond > ours.m_bytesPerSecond) ours = a;
                if (b.m_bytesPerSecond > raw.m_bytesPerSecond) raw = b;
            }
            std::printf("%-8zu %-8d %14.0f %12.1f %12.1f %7.0f%%\n", size, clients,
                        ours.m_messagesPerSecond, ours.m_bytesPerSecond / 1e6,
                        raw.m_bytesPerSecond / 1e6,
                        100.0 * ours.m_bytesPerSecond / raw.m_bytesPerSecond);
            std::fflush(stdout);
        }
    }
    const int idle = std::min<int>(2000, static_cast<int>(limit.rlim_cur / 2) - 64);
    std::printf("idle connection: %.0f bytes of heap each (%d connections)\n",
                IdleBytesPerConnection(idle), idle);
    return 0;
}
