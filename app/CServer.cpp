#include "CServer.h"

#include <boost/bind/bind.hpp>
#include <boost/system/system_error.hpp>
#include <algorithm>
#include <exception>

#include "Memory.h"

CServer::CServer(CLogBlocks::CQueue& queue, WorkerErrorHandler onWorkerError)
    : m_messageBudget(MessageBudget()),
      m_log(m_ioService, queue),
      m_acceptor(this, m_ioService),
      m_onWorkerError(onWorkerError ? std::move(onWorkerError)
                                    : WorkerErrorHandler([this](const CString& text) {
                                          m_log.Post(QStringLiteral("RunIoService -> ") + text);
                                      })) {}

std::size_t CServer::MessageBudget() {
    constexpr std::size_t kMiB = 1024 * 1024;
    bool bSet = false;
    const int nMiB = qEnvironmentVariableIntValue("VELMORA_MESSAGE_BUDGET_MIB", &bSet);
    if (bSet && nMiB > 0) return static_cast<std::size_t>(nMiB) * kMiB;
    const long long nMemory = Platform::PhysicalMemory();
    return nMemory > 0 ? std::min<std::size_t>(512 * kMiB, nMemory / 4) : 512 * kMiB;
}

// Members go in reverse order: the thread (joined), the guard (if StopServer never ran), the
// acceptor with every connection, the blocks, then the service with its unrun operations.
CServer::~CServer() = default;

void CServer::Start() {
    // The guard exists before the worker does, so its run loop cannot return for lack of work.
    m_work = std::make_unique<boost::asio::io_service::work>(m_ioService);
    m_thread = boost::thread(
        boost::bind(&CServer::RunIoService, boost::ref(m_ioService), m_onWorkerError));
}

void CServer::Join() {
    if (m_thread.joinable()) m_thread.join();
}

void CServer::RunIoService(boost::asio::io_service& ioService,
                           const WorkerErrorHandler& onWorkerError) {
    for (;;) {
        try {
            ioService.run();
            return;
        } catch (const std::exception& e) {
            // run() may be called again after an exception without a restart.
            onWorkerError(QString::fromLocal8Bit(e.what()));
        }
    }
}

void CServer::StopServer(CServer* pThis) {
    // Taken first and released when this function is left, however it is left: the UI
    // thread is waiting in the join.
    const std::unique_ptr<boost::asio::io_service::work> work = std::move(pThis->m_work);
    pThis->CloseServer();
}

void CServer::CloseServer() {
    // Every step runs even when an earlier one fails; the first failure is reported.
    boost::system::error_code firstError;
    auto note = [&firstError](const boost::system::error_code& error) {
        if (error && !firstError) firstError = error;
    };
    boost::system::error_code error;
    m_acceptor.Close(error);
    note(error);
    for (const auto& spSocket : m_acceptor.m_registry) {
        spSocket->m_socket.close(error);
        note(error);
    }
    if (firstError) throw boost::system::system_error(firstError, "close");
}

void CServer::Listen(CServer* pThis, unsigned short port) {
    // A refused port is the operator's to see; the worker and every connection go on. The
    // port actually bound is shown too: with port 0 the system has chosen it.
    try {
        CNoxSocket::CAcceptor::Listen(&pThis->m_acceptor, port);
        const auto endpoint = pThis->m_acceptor.m_tcpAcceptor.local_endpoint();
        pThis->m_nListeningPort.store(endpoint.port(), std::memory_order_relaxed);
        pThis->m_log.Post(QStringLiteral("Listen -> ") + CSocketApp::GetEndpointText(endpoint));
    } catch (const boost::system::system_error& e) {
        pThis->m_log.Post(QStringLiteral("Listen -> ") + QString::fromLocal8Bit(e.what()));
    }
}

bool CServer::AdoptListener(Platform::CDescriptor listener) {
    boost::system::error_code error;
    m_acceptor.m_tcpAcceptor.assign(boost::asio::ip::tcp::v4(), listener.get(), error);
    boost::asio::ip::tcp::endpoint endpoint;
    if (!error) {
        listener.release();
        endpoint = m_acceptor.m_tcpAcceptor.local_endpoint(error);
    }
    if (error) {
        boost::system::error_code ignored;
        m_acceptor.m_tcpAcceptor.close(ignored);
        m_log.Post(QStringLiteral("Listen -> adopt: ") +
                   QString::fromLocal8Bit(error.message().c_str()));
        return false;
    }
    m_nListeningPort.store(endpoint.port(), std::memory_order_relaxed);
    return true;
}

void CServer::AcceptAdopted(long long nFromProcess) {
    boost::system::error_code error;
    const auto endpoint = m_acceptor.m_tcpAcceptor.local_endpoint(error);
    m_log.Post(QStringLiteral("Listen -> %1 (from process %2)")
                   .arg(CSocketApp::GetEndpointText(endpoint))
                   .arg(nFromProcess));
    m_acceptor.Resume();
}

void CServer::CloseListener() {
    boost::system::error_code ignored;
    m_acceptor.Close(ignored);
    m_nListeningPort.store(-1, std::memory_order_relaxed);
}

void CServer::PauseReading(CSocketApp& socket) {
    socket.SuspendReceive();
    m_pausedSockets.push_back(socket.m_wpSelf);
    m_bReadingPaused.store(true);
    // The UI thread may have caught up before the flag was set; then nobody else resumes.
    if (m_log.IsCaughtUp() && m_bReadingPaused.exchange(false)) {
        m_ioService.post(boost::bind(&CServer::ResumeReading, this));
    }
}

void CServer::OnLinesAppended(std::size_t nLines, std::size_t nBytes) {
    if (m_log.Appended(nLines, nBytes) && m_bReadingPaused.exchange(false)) {
        m_ioService.post(boost::bind(&CServer::ResumeReading, this));
    }
}

void CServer::ResumeReading(CServer* pThis) {
    std::vector<boost::weak_ptr<CSocketApp>> paused;
    paused.swap(pThis->m_pausedSockets);
    for (const auto& wpSocket : paused) {
        // A connection handed off or closed meanwhile stays as it is.
        const boost::shared_ptr<CSocketApp> spSocket = wpSocket.lock();
        if (spSocket && spSocket->m_socket.is_open() && spSocket->IsReceiveSuspended()) {
            spSocket->ResumeReceive();
        }
    }
}
