#include "CConfirmationChannel.h"

#include <boost/asio/error.hpp>
#include <boost/asio/placeholders.hpp>
#include <boost/asio/write.hpp>
#include <boost/bind/bind.hpp>

#include <cctype>

namespace CNoxSocket {
namespace {

const char kReady[] = "ready ";
const char kCommit[] = "commit\n";
// Longer than any line either side writes: "ready " and 20 digits.
constexpr std::size_t kMaxLine = 32;

}  // namespace

CConfirmationChannel::CConfirmationChannel(boost::asio::io_service& ioService, int fd) : m_socket(ioService) {
    m_socket.assign(boost::asio::local::stream_protocol(), fd);
}

void CConfirmationChannel::AwaitReady(Handler handler) {
    m_handler = std::move(handler);
    m_bParent = true;
    StartRead();
}

void CConfirmationChannel::Commit(Handler handler) {
    m_handler = std::move(handler);
    m_outgoing = kCommit;
    boost::asio::async_write(m_socket, boost::asio::buffer(m_outgoing),
                             boost::bind(&CConfirmationChannel::OnWritten, shared_from_this(), false,
                                         boost::asio::placeholders::error));
}

void CConfirmationChannel::ReportReady(std::size_t nCount, Handler handler) {
    m_handler = std::move(handler);
    m_bParent = false;
    m_outgoing = kReady + std::to_string(nCount) + "\n";
    boost::asio::async_write(m_socket, boost::asio::buffer(m_outgoing),
                             boost::bind(&CConfirmationChannel::OnWritten, shared_from_this(), true,
                                         boost::asio::placeholders::error));
}

void CConfirmationChannel::Close() {
    m_handler.clear();
    boost::system::error_code ignored;
    m_socket.close(ignored);
}

bool CConfirmationChannel::JudgeReady(const std::string& text, CResult& result) {
    const std::size_t end = text.find('\n');
    const std::size_t prefix = sizeof kReady - 1;
    const std::size_t nCompared = std::min(text.size(), prefix);
    bool garbled = text.compare(0, nCompared, kReady, nCompared) != 0;
    if (!garbled && end == std::string::npos) {
        // Undecided while it can still become a line; digits only after the word.
        for (std::size_t i = prefix; i < text.size(); ++i)
            garbled = garbled || !std::isdigit(static_cast<unsigned char>(text[i]));
        garbled = garbled || text.size() >= kMaxLine;
        if (!garbled) return false;
    }
    if (!garbled) {
        const std::string digits = text.substr(prefix, end - prefix);
        garbled = digits.empty() || digits.size() > 19 || end + 1 != text.size() ||
                  digits.find_first_not_of("0123456789") != std::string::npos;
        if (!garbled) {
            result.m_eOutcome = eReady;
            result.m_nCount = static_cast<std::size_t>(std::stoull(digits));
            return true;
        }
    }
    result.m_eOutcome = eGarbled;
    result.m_text = text;
    return true;
}

bool CConfirmationChannel::JudgeAnswer(const std::string& text, CResult& result) {
    const std::string commit = kCommit;
    if (text.size() < commit.size() && commit.compare(0, text.size(), text) == 0) return false;
    result.m_eOutcome = text == commit ? eCommit : eGarbled;
    if (result.m_eOutcome == eGarbled) result.m_text = text;
    return true;
}

void CConfirmationChannel::OnWritten(const boost::shared_ptr<CConfirmationChannel>& spThis, bool bThenRead,
                                const boost::system::error_code& error) {
    if (!spThis->m_handler) return;
    CResult result;
    if (error) {
        // A new process that cannot write "ready" has lost its parent: that is an end, not a fault.
        result.m_eOutcome =
            bThenRead && error == boost::asio::error::broken_pipe ? eEndOfFile : eFailed;
        result.m_error = error;
        spThis->Finish(result);
        return;
    }
    if (bThenRead) {
        spThis->StartRead();
        return;
    }
    result.m_eOutcome = eCommit;
    spThis->Finish(result);
}

void CConfirmationChannel::StartRead() {
    m_bReading = true;
    m_socket.async_read_some(
        boost::asio::buffer(m_buffer),
        boost::bind(&CConfirmationChannel::OnRead, shared_from_this(), boost::asio::placeholders::error,
                    boost::asio::placeholders::bytes_transferred));
}

void CConfirmationChannel::OnRead(const boost::shared_ptr<CConfirmationChannel>& spThis,
                             const boost::system::error_code& error, std::size_t nRead) {
    // A read that PollReady overtook completes with operation_aborted and counts for nothing.
    if (!spThis->m_handler || !spThis->m_bReading) return;
    spThis->m_bReading = false;
    CResult result;
    if (spThis->Take(error, nRead, result)) {
        spThis->Finish(result);
    } else {
        spThis->StartRead();
    }
}

bool CConfirmationChannel::PollReady() {
    if (!m_handler || !m_bParent || !m_bReading) return false;
    boost::system::error_code error;
    m_socket.non_blocking(true, error);
    CResult result;
    for (;;) {
        const std::size_t nRead = m_socket.read_some(boost::asio::buffer(m_buffer), error);
        if (error == boost::asio::error::would_block) return false;
        if (Take(error, nRead, result)) break;
    }
    m_bReading = false;
    m_socket.cancel(error);
    Finish(result);
    return true;
}

bool CConfirmationChannel::Take(const boost::system::error_code& error, std::size_t nRead,
                                CResult& result) {
    if (error == boost::asio::error::eof) {
        result.m_eOutcome = eEndOfFile;
        result.m_text = m_received;
        return true;
    }
    if (error) {
        result.m_eOutcome = eFailed;
        result.m_error = error;
        return true;
    }
    m_received.append(m_buffer, nRead);
    return m_bParent ? JudgeReady(m_received, result) : JudgeAnswer(m_received, result);
}

void CConfirmationChannel::Finish(const CResult& result) {
    Handler handler;
    handler.swap(m_handler);
    handler(result);
}

}  // namespace CNoxSocket
