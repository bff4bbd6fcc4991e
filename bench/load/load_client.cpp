// Load client: opens N loopback connections and sends M framed messages on each.
// Every payload names its connection and sequence number ("c00001s000000042", padded to
// the requested size), so a checker can compare the log boxes with what was sent.
#include <boost/asio.hpp>
#include <boost/bind/bind.hpp>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace asio = boost::asio;
using asio::ip::tcp;
using Clock = std::chrono::steady_clock;

namespace {

struct Options {
    std::string host = "127.0.0.1";
    unsigned short port = 10000;
    int connections = 1;
    long long messages = 1000;   // per connection
    std::size_t size = 16;       // payload bytes, at least 16
    double rate = 0;             // messages per second per connection; 0 = flat out
    double maxSeconds = 60;      // hard bound on the whole run
    double lingerSeconds = 0;    // keep connections open after the last message
};

// The last n decimal digits of value, zero-padded.
void PutDigits(char* p, long long value, int n) {
    for (int i = n - 1; i >= 0; --i, value /= 10) p[i] = static_cast<char>('0' + value % 10);
}

// The tag is "c%05ds%09lld", written without printf: the client shares the processors with
// the server it loads, so it should cost as little as it can.
void Frame(std::vector<char>& out, int id, long long seq, std::size_t size) {
    char tag[16];
    tag[0] = 'c';
    PutDigits(tag + 1, id, 5);
    tag[6] = 's';
    PutDigits(tag + 7, seq, 9);
    const std::uint32_t length = static_cast<std::uint32_t>(size);
    const char* p = reinterpret_cast<const char*>(&length);
    out.insert(out.end(), p, p + 4);
    out.insert(out.end(), tag, tag + 16);
    out.insert(out.end(), size - 16, '.');
}

class Sender : public std::enable_shared_from_this<Sender> {
public:
    Sender(asio::io_context& io, const Options& options, int id)
        : m_options(options), m_socket(io), m_timer(io), m_id(id) {}

    void Start(const tcp::endpoint& endpoint) {
        m_socket.connect(endpoint);
        m_socket.set_option(tcp::no_delay(true));
        m_start = Clock::now();
        Next();
    }

    long long Sent() const { return m_next; }

private:
    void Next() {
        if (m_next >= m_options.messages) return;
        const std::size_t frame = m_options.size + 4;
        long long batch = std::max<long long>(1, (64 * 1024) / static_cast<long long>(frame));
        if (m_options.rate > 0) {
            const double elapsed =
                std::chrono::duration<double>(Clock::now() - m_start).count();
            const long long due = static_cast<long long>(elapsed * m_options.rate) + 1;
            batch = std::min(batch, due - m_next);
            if (batch <= 0) {
                m_timer.expires_after(std::chrono::milliseconds(1));
                m_timer.async_wait(boost::bind(&Sender::Next, shared_from_this()));
                return;
            }
        }
        batch = std::min(batch, m_options.messages - m_next);
        m_buffer.clear();
        for (long long i = 0; i < batch; ++i) Frame(m_buffer, m_id, m_next + i, m_options.size);
        m_next += batch;
        asio::async_write(m_socket, asio::buffer(m_buffer),
                          boost::bind(&Sender::OnWrite, shared_from_this(),
                                      asio::placeholders::error));
    }

    void OnWrite(const boost::system::error_code& error) {
        if (error) {
            std::fprintf(stderr, "connection %d: write: %s\n", m_id, error.message().c_str());
            return;
        }
        Next();
    }

    const Options& m_options;
    tcp::socket m_socket;
    asio::steady_timer m_timer;
    int m_id;
    long long m_next = 0;
    std::vector<char> m_buffer;
    Clock::time_point m_start;
};

bool Parse(int argc, char** argv, Options& o) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string key = argv[i];
        const char* v = argv[i + 1];
        if (key == "--host") o.host = v;
        else if (key == "--port") o.port = static_cast<unsigned short>(std::atoi(v));
        else if (key == "--connections") o.connections = std::atoi(v);
        else if (key == "--messages") o.messages = std::atoll(v);
        else if (key == "--size") o.size = std::strtoul(v, nullptr, 10);
        else if (key == "--rate") o.rate = std::atof(v);
        else if (key == "--max-seconds") o.maxSeconds = std::atof(v);
        else if (key == "--linger") o.lingerSeconds = std::atof(v);
        else return false;
    }
    return (argc % 2) == 1 && o.size >= 16 && o.connections > 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!Parse(argc, argv, options)) {
        std::fprintf(stderr,
                     "usage: %s [--port P] [--connections N] [--messages M] [--size S>=16]\n"
                     "          [--rate R per connection] [--max-seconds T] [--linger T]\n",
                     argv[0]);
        return 2;
    }
    asio::io_context io;
    const tcp::endpoint endpoint(asio::ip::make_address(options.host), options.port);
    std::vector<std::shared_ptr<Sender>> senders;
    const auto start = Clock::now();
    for (int id = 0; id < options.connections; ++id) {
        senders.push_back(std::make_shared<Sender>(io, options, id));
        senders.back()->Start(endpoint);
    }
    io.run_for(std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(options.maxSeconds)));
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    long long sent = 0;
    for (const auto& s : senders) sent += s->Sent();
    std::printf("sent %lld messages in %.3f s (%.0f messages/s)\n", sent, seconds,
                sent / seconds);
    if (options.lingerSeconds > 0) {
        io.restart();
        asio::steady_timer linger(io, std::chrono::duration_cast<Clock::duration>(
                                          std::chrono::duration<double>(options.lingerSeconds)));
        linger.wait();
    }
    const bool complete = sent == options.messages * options.connections;
    return complete ? 0 : 1;
}
