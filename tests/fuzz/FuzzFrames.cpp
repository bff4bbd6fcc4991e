// Frames arriving in any cuts through a connection's receive path, with suspensions and
// saves restored into a new connection object between the cuts. Every complete frame must
// come out once, whole and in order; the rest must be in the saved state.
#include <boost/asio/io_service.hpp>
#include <boost/make_shared.hpp>

#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "CSocket.h"
#include "SocketError.h"

namespace {

class CCollector : public CNoxSocket::CSocket {
public:
    CCollector(boost::asio::io_service& io, std::vector<char> state, std::vector<std::string>& out)
        : CSocket(io, std::move(state)), m_out(out) {}
    void OnReceive(const boost::shared_ptr<std::vector<char>>& message) override {
        m_out.emplace_back(message->begin(), message->end());
    }
    void OnError(const boost::system::error_code& error) override { m_error = error; }
    boost::system::error_code m_error;

private:
    std::vector<std::string>& m_out;
};

// The frames a whole stream holds, and whether a refused length ends it.
std::vector<std::string> Frames(const std::string& stream, bool& bRefused, std::size_t& nUsed) {
    std::vector<std::string> frames;
    bRefused = false;
    nUsed = 0;
    while (stream.size() - nUsed >= 4) {
        std::uint32_t n;
        std::memcpy(&n, stream.data() + nUsed, 4);
        if (n > CNoxSocket::kMaxMessageSize) {
            bRefused = true;
            break;
        }
        if (stream.size() - nUsed - 4 < n) break;
        frames.push_back(stream.substr(nUsed + 4, n));
        nUsed += 4 + n;
    }
    return frames;
}

void Drain(boost::asio::io_service& io) {
    io.restart();
    while (io.poll() > 0) io.restart();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t nSize) {
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) std::abort();
    boost::asio::io_service io;
    std::vector<std::string> received;
    auto spSocket = std::make_unique<CCollector>(io, std::vector<char>(), received);
    spSocket->m_socket.assign(boost::asio::ip::tcp::v4(), ends[0]);
    spSocket->StartReceive();
    std::string stream;
    // Records: an operation byte, a length byte, then that many bytes of the stream.
    std::size_t at = 0;
    while (at + 2 <= nSize) {
        const std::uint8_t op = pData[at];
        const std::size_t n = std::min<std::size_t>(pData[at + 1], nSize - at - 2);
        const char* pChunk = reinterpret_cast<const char*>(pData + at + 2);
        at += 2 + n;
        // The connection drains its socket after every chunk, so the chunk always fits.
        if (n && ::send(ends[1], pChunk, n, MSG_DONTWAIT | MSG_NOSIGNAL) != static_cast<ssize_t>(n))
            std::abort();
        stream.append(pChunk, n);
        Drain(io);
        if (spSocket->m_error) break;
        if ((op & 3) == 0) continue;
        spSocket->SuspendReceive();
        Drain(io);
        if ((op & 3) == 1) {
            // Into a new object on a duplicate of the descriptor, as a hand-off does.
            auto spNext = std::make_unique<CCollector>(io, spSocket->SaveState(), received);
            spNext->m_socket.assign(boost::asio::ip::tcp::v4(), ::dup(ends[0]));
            spSocket->m_socket.close();
            spSocket = std::move(spNext);
            ends[0] = spSocket->m_socket.native_handle();
            spSocket->StartReceive();
        } else if ((op & 3) == 2) {
            spSocket->RestoreState(spSocket->SaveState());
            spSocket->ResumeReceive();
        } else {
            spSocket->ResumeReceive();
        }
        Drain(io);
    }
    bool bRefused = false;
    std::size_t nUsed = 0;
    const std::vector<std::string> frames = Frames(stream, bRefused, nUsed);
    if (received != frames) std::abort();
    if (bRefused != (spSocket->m_error == CNoxSocket::error::message_too_long)) std::abort();
    if (!bRefused) {
        const std::vector<char> state = spSocket->SaveState();
        if (std::string(state.begin(), state.end()) != stream.substr(nUsed)) std::abort();
    }
    spSocket.reset();
    ::close(ends[1]);
    return 0;
}
