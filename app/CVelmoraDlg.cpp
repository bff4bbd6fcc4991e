#include "CVelmoraDlg.h"

#include <QPushButton>
#include <boost/bind/bind.hpp>
#include <algorithm>
#include <exception>

#include "CAboutDlg.h"
#include "CDlgServer.h"
#include "CLogView.h"
#include "CMenu.h"
#include "CResourceTable.h"
#include "CWinApp.h"
#include "MessageText.h"
#include "Resource.h"
#include "ui_CVelmoraDlg.h"

CVelmoraDlg::CVelmoraDlg(std::string modulePath, Platform::CHandOffStartup handOff,
                         WorkerErrorHandler onWorkerError)
    : CDialog(std::make_unique<Ui::CVelmoraDlg>()),
      m_onWorkerError(onWorkerError ? std::move(onWorkerError)
                                    : WorkerErrorHandler([this](const CString& text) {
                                          Post(QStringLiteral("RunIoService -> ") + text);
                                      })),
      m_modulePath(std::move(modulePath)),
      m_handOff(std::move(handOff)),
      m_acceptor(this, m_ioService),
      m_handOffDeadline(HandOffDeadline()),
      m_hIcon(Platform::CResourceTable::LoadIcon(IDR_MAINFRAME)) {
    connect(GetDlgItem<QPushButton>(IDC_BUTTON_PORT_LISTEN), &QPushButton::clicked, this,
            &CVelmoraDlg::OnBnClickedPortListen);
    connect(GetDlgItem<QPushButton>(IDC_BUTTON_SOCKET_DUPLICATE), &QPushButton::clicked, this,
            &CVelmoraDlg::OnBnClickedSocketDuplicate);
}

// Members go in reverse order: the acceptor with every connection, the guard (if StopServer
// never ran), then the service with its unrun operations, then the already joined thread;
// last the queue, dropping lines not yet shown.
CVelmoraDlg::~CVelmoraDlg() = default;

bool CVelmoraDlg::OnInitDialog() {
    CDialog::OnInitDialog();

    Platform::CMenu* pSysMenu = GetSystemMenu();
    if (pSysMenu != nullptr) {
        const CString strAboutMenu = Platform::CResourceTable::LoadString(IDS_ABOUTBOX);
        if (!strAboutMenu.isEmpty()) {
            pSysMenu->AppendMenu(Platform::MF_SEPARATOR);
            pSysMenu->AppendMenu(Platform::MF_STRING, IDM_ABOUTBOX, strAboutMenu);
        }
    }

    SetIcon(m_hIcon, true);
    SetIcon(m_hIcon, false);

    // The guard exists before the worker does, so its run loop cannot return for lack of work.
    m_work = std::make_unique<boost::asio::io_service::work>(m_ioService);
    m_thread = boost::thread(
        boost::bind(&CVelmoraDlg::RunIoService, boost::ref(m_ioService), m_onWorkerError));

    m_ioService.post(boost::bind(&CVelmoraDlg::AdoptSockets, this, Platform::GetCommandLine()));

    return true;
}

void CVelmoraDlg::OnSysCommand(unsigned nID) {
    if ((nID & 0xFFF0) == IDM_ABOUTBOX) {
        CAboutDlg dlgAbout;
        dlgAbout.DoModal();
    } else {
        CDialog::OnSysCommand(nID);
    }
}

void CVelmoraDlg::OnDestroy() {
    CDialog::OnDestroy();
    if (m_thread.joinable()) {
        m_ioService.post(boost::bind(&CVelmoraDlg::StopServer, this));
        m_thread.join();
    }
}

void CVelmoraDlg::AppendLog(const CString& text) {
    const QByteArray bytes = text.toUtf8();
    GetDlgItem<Platform::CLogView>(IDC_EDIT_LOG)
        ->AppendLine(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())));
}

void CVelmoraDlg::AppendLog(std::list<std::string>&& texts) {
    GetDlgItem<Platform::CLogView>(IDC_EDIT_LOG)->AppendLines(std::move(texts));
}

void CVelmoraDlg::RunIoService(boost::asio::io_service& ioService,
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

void CVelmoraDlg::StopServer(CVelmoraDlg* pThis) {
    // Taken first and released when this function is left, however it is left: the UI
    // thread is waiting in the join.
    const std::unique_ptr<boost::asio::io_service::work> work = std::move(pThis->m_work);
    pThis->CloseServer();
}

void CVelmoraDlg::CloseServer() {
    // Every step runs even when an earlier one fails; the first failure is reported.
    boost::system::error_code firstError;
    const char* firstStep = nullptr;
    auto note = [&](const char* step, const boost::system::error_code& error) {
        if (error && !firstStep) {
            firstStep = step;
            firstError = error;
        }
    };
    boost::system::error_code error;
    m_acceptor.Close(error);
    note("close", error);
    for (const auto& spSocket : m_acceptor.m_registry) {
        spSocket->m_socket.close(error);
        note("close", error);
    }
    for (const auto& spWatch : m_childWatches) spWatch->close(error);
    // A hand-off under way ends as if this process had died: the copy sees its channel close
    // and goes on serving what it holds; our duplicates close with the hand-off.
    if (m_spHandOff) {
        m_spHandOff->m_deadline.cancel();
        m_spHandOff->m_spChannel->Close();
        if (m_spHandOff->m_spChild) m_spHandOff->m_spChild->close(error);
        m_spHandOff.reset();
        m_nHandOffsWaiting = 0;
    }
    // A copy still waiting for its parent's word closes without having read a byte.
    if (m_spParentChannel) m_spParentChannel->Close();
    if (firstStep) throw boost::system::system_error(firstError, firstStep);
}

void CVelmoraDlg::OnBnClickedPortListen() {
    CDlgServer dlg;
    dlg.m_port = 10000;
    if (dlg.DoModal() == Platform::IDOK) {
        m_ioService.post(boost::bind(&CVelmoraDlg::Listen, this,
                                     static_cast<unsigned short>(dlg.m_port & 0xFFFF)));
    }
}

void CVelmoraDlg::Listen(CVelmoraDlg* pThis, unsigned short port) {
    // A refused port is the operator's to see; the worker and every connection go on. The
    // port actually bound is shown too: with port 0 the system has chosen it.
    try {
        CNoxSocket::CAcceptor::Listen(&pThis->m_acceptor, port);
        pThis->Post(QStringLiteral("Listen -> ") +
                    GetEndpointText(pThis->m_acceptor.m_tcpAcceptor.local_endpoint()));
    } catch (const boost::system::system_error& e) {
        pThis->Post(QStringLiteral("Listen -> ") + QString::fromLocal8Bit(e.what()));
    }
}

void CVelmoraDlg::Post(const CString& line) {
    const QByteArray bytes = line.toUtf8();
    const auto nBytes = static_cast<std::size_t>(bytes.size());
    AppendMessageText(BeginLogLine(nBytes), bytes.constData(), nBytes);
    EndLogLine();
}

std::string& CVelmoraDlg::BeginLogLine(std::size_t nSize) {
    DropOpenLine();
    if (m_nBlockLines > 0 && m_logBlock.size() + 1 + nSize > m_logBlock.capacity()) {
        QueueLogBlock();
    }
    m_nLineStart = m_logBlock.size();
    if (m_nBlockLines > 0) {
        m_logBlock.push_back('\n');
    } else {
        m_logBlock.reserve(std::max(nSize, kLogBlockBytes));
        if (!m_bFlushPosted) {
            m_bFlushPosted = true;
            m_ioService.post(boost::bind(&CVelmoraDlg::FlushLog, this));
        }
    }
    m_bLineOpen = true;
    return m_logBlock;
}

void CVelmoraDlg::EndLogLine() {
    m_bLineOpen = false;
    ++m_nBlockLines;
    if (m_logBlock.size() >= kLogBlockBytes) QueueLogBlock();
}

void CVelmoraDlg::DropOpenLine() {
    if (!m_bLineOpen) return;
    m_logBlock.resize(m_nLineStart);
    m_bLineOpen = false;
}

void CVelmoraDlg::QueueLogBlock() {
    DropOpenLine();
    if (m_nBlockLines == 0) return;
    m_nQueuedBytes.fetch_add(m_logBlock.size(), std::memory_order_relaxed);
    m_nQueuedLines.fetch_add(m_nBlockLines, std::memory_order_relaxed);
    m_nBlockLines = 0;
    Nox::CNoxPostMessageToUIThread<std::string>::Post(std::move(m_logBlock));
    m_logBlock.clear();
}

void CVelmoraDlg::FlushLog(CVelmoraDlg* pThis) {
    pThis->m_bFlushPosted = false;
    pThis->QueueLogBlock();
}

void CVelmoraDlg::OnMessages(std::list<std::string>& batch) {
    // Back-pressure bounds a batch, and the store takes each block of lines with one copy
    // and an index push per line, so the whole batch goes in at once. A line long enough to
    // fill chunks of the store came alone and is kept by it as it is, not copied again.
    std::size_t nBytes = 0;
    for (const std::string& block : batch) nBytes += block.size();
    auto* const pLog = GetDlgItem<Platform::CLogView>(IDC_EDIT_LOG);
    const std::uint64_t nLinesBefore = pLog->LineCount();
    AppendLog(std::move(batch));
    // Every line of a block is one line of the box: none holds a line break.
    m_nQueuedBytes.fetch_sub(nBytes);
    m_nQueuedLines.fetch_sub(pLog->LineCount() - nLinesBefore);
    if (IsLogCaughtUp() && m_bReadingPaused.exchange(false)) {
        m_ioService.post(boost::bind(&CVelmoraDlg::ResumeReading, this));
    }
}

bool CVelmoraDlg::IsLogBehind() const {
    return m_nQueuedLines.load(std::memory_order_relaxed) > kLogHighWater ||
           m_nQueuedBytes.load(std::memory_order_relaxed) > kLogHighWaterBytes;
}

bool CVelmoraDlg::IsLogCaughtUp() const {
    return m_nQueuedLines.load() <= kLogLowWater && m_nQueuedBytes.load() <= kLogLowWaterBytes;
}

void CVelmoraDlg::PauseReading(CSocketApp* pSocket) {
    pSocket->SuspendReceive();
    m_pausedSockets.push_back(pSocket->m_wpSelf);
    m_bReadingPaused.store(true);
    // The UI thread may have caught up before the flag was set; then nobody else resumes.
    if (IsLogCaughtUp() && m_bReadingPaused.exchange(false)) {
        m_ioService.post(boost::bind(&CVelmoraDlg::ResumeReading, this));
    }
}

void CVelmoraDlg::ResumeReading(CVelmoraDlg* pThis) {
    std::vector<boost::weak_ptr<CNoxSocket::CSocket>> paused;
    paused.swap(pThis->m_pausedSockets);
    for (const auto& wpSocket : paused) {
        // A connection handed off or closed meanwhile stays as it is.
        const boost::shared_ptr<CNoxSocket::CSocket> spSocket = wpSocket.lock();
        if (spSocket && spSocket->m_socket.is_open() && spSocket->IsReceiveSuspended()) {
            spSocket->ResumeReceive();
        }
    }
}

CString CVelmoraDlg::GetEndpointText(const boost::asio::ip::tcp::endpoint& endpoint) {
    return QStringLiteral("%1:%2")
        .arg(QString::fromLocal8Bit(endpoint.address().to_string().c_str()))
        .arg(endpoint.port());
}
