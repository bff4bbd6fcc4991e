#include "CVelmoraDlg.h"

#include <QApplication>
#include <QCoreApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <boost/bind/bind.hpp>

#include "CAboutDlg.h"
#include "CDlgServer.h"
#include "CLogView.h"
#include "CMenu.h"
#include "CResourceTable.h"
#include "CWinApp.h"
#include "Resource.h"
#include "ui_CVelmoraDlg.h"

CVelmoraDlg::CVelmoraDlg(std::string modulePath, Platform::CHandOffStartup received,
                         WorkerErrorHandler onWorkerError)
    : CDialog(std::make_unique<Ui::CVelmoraDlg>()),
      m_server(*this, std::move(onWorkerError)),
      // After an upgrade this process holds nothing: it ends as if OK had been pressed.
      m_handOff(m_server, std::move(modulePath), std::move(received),
                [this] {
                    QMetaObject::invokeMethod(
                        this, [this] { LeaveAfterUpgrade(); }, Qt::QueuedConnection);
                }),
      m_hIcon(Platform::CResourceTable::LoadIcon(IDR_MAINFRAME)) {
    connect(GetDlgItem<QPushButton>(IDC_BUTTON_PORT_LISTEN), &QPushButton::clicked, this,
            &CVelmoraDlg::OnBnClickedPortListen);
    connect(GetDlgItem<QPushButton>(IDC_BUTTON_SOCKET_DUPLICATE), &QPushButton::clicked, this,
            &CVelmoraDlg::OnBnClickedSocketDuplicate);
    // Four times a second at most: the status line costs nothing next to the log.
    m_statusTimer.setInterval(250);
    connect(&m_statusTimer, &QTimer::timeout, this, &CVelmoraDlg::UpdateStatus);
    // The line count starts again at once, not at the next tick.
    connect(GetDlgItem<Platform::CLogView>(IDC_EDIT_LOG), &Platform::CLogView::cleared, this,
            &CVelmoraDlg::UpdateStatus);
}

// Members go in reverse order: the hand-off, then the server with every connection (its
// worker already joined); last the queue, dropping lines not yet shown.
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

    m_server.Start();
    m_server.m_ioService.post(
        boost::bind(&CVelmoraDlg::AdoptSockets, this, Platform::GetCommandLine()));

    UpdateStatus();
    m_statusTimer.start();
    return true;
}

void CVelmoraDlg::LeaveAfterUpgrade() {
    // A dialog left open (the port dialog, the About box, the quit question) would hold this
    // process until someone closed it: each is cancelled first.
    for (QWidget* pModal = QApplication::activeModalWidget(); pModal != nullptr && pModal != this;
         pModal = QApplication::activeModalWidget()) {
        auto* const pDialog = qobject_cast<QDialog*>(pModal);
        if (pDialog == nullptr) break;
        pDialog->reject();
        if (QApplication::activeModalWidget() == pModal) break;
    }
    OnOK();
}

void CVelmoraDlg::OnOK() {
    if (MayEnd()) CDialog::OnOK();
}

void CVelmoraDlg::OnCancel() {
    if (MayEnd()) CDialog::OnCancel();
}

bool CVelmoraDlg::MayEnd() {
    const std::size_t n = m_server.m_acceptor.ConnectionCount();
    const bool bHandingOff = m_handOff.IsUnderWay();
    if (n == 0 && !bHandingOff) return true;
    QString text = n == 1 ? QStringLiteral("1 connection is open and would close.")
                          : QStringLiteral("%1 connections are open and would close.").arg(n);
    if (bHandingOff) text += QStringLiteral(" A hand-off is under way.");
    QMessageBox box(QMessageBox::Question, QStringLiteral("Velmora"), text,
                    QMessageBox::Yes | QMessageBox::No, this);
    box.setObjectName(QStringLiteral("quitQuestion"));
    box.setInformativeText(QStringLiteral("Quit Velmora?"));
    // A stray Enter or Escape keeps the server.
    box.setDefaultButton(QMessageBox::No);
    box.setEscapeButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

void CVelmoraDlg::UpdateStatus() {
    const std::uint64_t nLines = GetDlgItem<Platform::CLogView>(IDC_EDIT_LOG)->LineCount() - 1;
    const qint64 nMs = m_sinceStatus.isValid() ? m_sinceStatus.restart() : 0;
    if (!m_sinceStatus.isValid()) m_sinceStatus.start();
    const double rate = nMs > 0 && nLines >= m_nStatusLines
                            ? (nLines - m_nStatusLines) * 1000.0 / static_cast<double>(nMs)
                            : 0.0;
    m_nStatusLines = nLines;
    const int port = m_server.ListeningPort();
    const std::size_t nConnections = m_server.m_acceptor.ConnectionCount();
    const QString text =
        QStringLiteral("%1 | %2 %3 | %4 lines, %5 lines/s | process %6")
            .arg(port < 0 ? QStringLiteral("not listening") : QStringLiteral("0.0.0.0:%1").arg(port))
            .arg(nConnections)
            .arg(nConnections == 1 ? QStringLiteral("connection") : QStringLiteral("connections"))
            .arg(nLines)
            .arg(static_cast<qulonglong>(rate + 0.5))
            .arg(QCoreApplication::applicationPid());
    auto* const pStatus = GetDlgItem<QLabel>(IDC_STATIC_STATUS);
    if (pStatus->text() == text) return;
    pStatus->setText(text);
    // Its accessible name is "Status": the line itself reaches assistive technology here.
    pStatus->setAccessibleDescription(text);
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
    m_server.m_ioService.post(boost::bind(&CVelmoraDlg::StopServer, this));
    m_server.Join();
}

void CVelmoraDlg::StopServer(CVelmoraDlg* pThis) {
    pThis->m_handOff.Close();
    CServer::StopServer(&pThis->m_server);
}

void CVelmoraDlg::OnBnClickedPortListen() {
    CDlgServer dlg;
    dlg.m_port = 10000;
    if (dlg.DoModal() == Platform::IDOK) {
        m_server.m_ioService.post(boost::bind(&CServer::Listen, &m_server,
                                              static_cast<unsigned short>(dlg.m_port & 0xFFFF)));
    }
}

void CVelmoraDlg::OnBnClickedSocketDuplicate() {
    m_server.m_ioService.post(boost::bind(&CVelmoraDlg::HandOffConnections, this));
}

void CVelmoraDlg::HandOffConnections(CVelmoraDlg* pThis) {
    CHandOff::HandOffConnections(&pThis->m_handOff);
}

void CVelmoraDlg::AdoptSockets(CVelmoraDlg* pThis, const std::vector<CString>& args) {
    CHandOff::AdoptSockets(&pThis->m_handOff, args);
}

void CVelmoraDlg::AppendLog(const CString& text) {
    const QByteArray bytes = text.toUtf8();
    GetDlgItem<Platform::CLogView>(IDC_EDIT_LOG)
        ->AppendLine(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())));
}

void CVelmoraDlg::OnMessages(std::list<Platform::CTimedLines>& batch) {
    // Back-pressure bounds a batch, and the store takes each block of lines with one copy
    // and an index push per line, so the whole batch goes in at once. A line long enough to
    // fill chunks of the store came alone and is kept by it as it is, not copied again.
    std::size_t nBytes = 0;
    for (const Platform::CTimedLines& block : batch) nBytes += block.text.size();
    auto* const pLog = GetDlgItem<Platform::CLogView>(IDC_EDIT_LOG);
    const std::uint64_t nLinesBefore = pLog->LineCount();
    pLog->AppendLines(std::move(batch));
    // Every line of a block is one line of the box: none holds a line break.
    m_server.OnLinesAppended(pLog->LineCount() - nLinesBefore, nBytes);
}
