#pragma once

#include <boost/asio/io_service.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/enable_shared_from_this.hpp>
#include <boost/function.hpp>
#include <boost/noncopyable.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/system/error_code.hpp>

#include <cstddef>
#include <string>

namespace CNoxSocket {

// One end of the confirmation channel of a hand-off, a local stream socket. The new process
// writes "ready <n>\n" once it holds its n connections without reading them; the handing-over
// process answers "commit\n" and closes its end. Anything else is garbled. Worker thread only;
// held by boost::shared_ptr, since its completions keep it alive.
class CConfirmationChannel : public boost::enable_shared_from_this<CConfirmationChannel>,
                        private boost::noncopyable {
public:
    enum EOutcome {
        eReady,      // the new process holds m_nCount connections (parent side)
        eCommit,     // the parent has let go (new process side)
        eEndOfFile,  // the other side closed its end, or died, before the exchange was done
        eGarbled,    // something else arrived: m_text holds it
        eFailed,     // a read or a write failed: m_error
    };
    struct CResult {
        EOutcome m_eOutcome = eFailed;
        std::size_t m_nCount = 0;
        std::string m_text;
        boost::system::error_code m_error;
    };
    using Handler = boost::function<void(const CResult&)>;

    // Takes ownership of fd.
    CConfirmationChannel(boost::asio::io_service& ioService, int fd);

    // Parent: waits for the new process's one "ready" line; handler gets eReady, eEndOfFile, eGarbled
    // (also for a second line after it) or eFailed.
    void AwaitReady(Handler handler);
    // Parent: writes "commit\n"; handler gets eCommit once written, or eFailed.
    void Commit(Handler handler);
    // New process: writes "ready <nCount>\n", then waits for the answer; handler gets eCommit,
    // eEndOfFile (also when the parent has gone before the line could be written), eGarbled
    // or eFailed.
    void ReportReady(std::size_t nCount, Handler handler);
    // Parent, while AwaitReady waits: judges at once what has already arrived, without
    // waiting for more. When that decides, the handler is called before this returns, and
    // true is returned.
    bool PollReady();
    // Closes the socket; no handler is called after this.
    void Close();

    // What a parent makes of the text received so far: false while undecided, otherwise true
    // with eReady or eGarbled in result.
    static bool JudgeReady(const std::string& text, CResult& result);
    // The same for a new process waiting for the answer: eCommit or eGarbled.
    static bool JudgeAnswer(const std::string& text, CResult& result);

    static void OnWritten(const boost::shared_ptr<CConfirmationChannel>& spThis, bool bThenRead,
                          const boost::system::error_code& error);
    static void OnRead(const boost::shared_ptr<CConfirmationChannel>& spThis,
                       const boost::system::error_code& error, std::size_t nRead);

private:
    void StartRead();
    // Takes one read's outcome; true with result filled once the exchange is decided.
    bool Take(const boost::system::error_code& error, std::size_t nRead, CResult& result);
    void Finish(const CResult& result);

    boost::asio::local::stream_protocol::socket m_socket;
    Handler m_handler;
    bool m_bParent = false;
    bool m_bReading = false;  // a read is pending whose completion still counts
    std::string m_outgoing;
    std::string m_received;
    char m_buffer[64];
};

}  // namespace CNoxSocket
