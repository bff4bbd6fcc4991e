#include "CVelmoraDlg.h"

#include <QPushButton>
#include <boost/bind/bind.hpp>
#include <exception>

#include "CAboutDlg.h"
#include "CDlgServer.h"
#include "CEdit.h"
#include "CMenu.h"
#include "CResourceTable.h"
#include "Resource.h"
#include "ui_CVelmoraDlg.h"

namespace {

void WriteWorkerError(const CString& text) { qWarning("%s", qUtf8Printable(text)); }

}  // namespace

CVelmoraDlg::CVelmoraDlg(WorkerErrorHandler onWorkerError)
    : CDialog(std::make_unique<Ui::CVelmoraDlg>()),
      m_onWorkerError(onWorkerError ? std::move(onWorkerError) : WriteWorkerError),
      m_hIcon(Platform::CResourceTable::LoadIcon(IDR_MAINFRAME)) {
    connect(GetDlgItem<QPushButton>(IDC_BUTTON_PORT_LISTEN), &QPushButton::clicked, this,
            &CVelmoraDlg::OnBnClickedPortListen);
    connect(GetDlgItem<QPushButton>(IDC_BUTTON_SOCKET_DUPLICATE), &QPushButton::clicked, this,
            &CVelmoraDlg::OnBnClickedSocketDuplicate);
}

// Members go in reverse order: the guard (if StopServer never ran), then the service with
// its unrun operations, then the already joined thread.
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

    // Start-up adoption of the sockets named on the command line is posted here.

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
    // The line break goes before the text, so the box never ends with one.
    InsertAtEndOfLog(QStringLiteral("\r\n") + text);
}

void CVelmoraDlg::AppendLog(const std::list<CString>& texts) {
    if (texts.empty()) return;
    // The box lays itself out again after every change, so the whole batch goes in as one.
    qsizetype nLength = 0;
    for (const CString& text : texts) nLength += 2 + text.size();
    CString batch;
    batch.reserve(nLength);
    for (const CString& text : texts) batch.append(QLatin1String("\r\n")).append(text);
    InsertAtEndOfLog(batch);
}

void CVelmoraDlg::InsertAtEndOfLog(const CString& text) {
    Platform::CEdit edit(GetDlgItem(IDC_EDIT_LOG));
    // Caret to the end with an empty selection: the operator's selection is never replaced.
    edit.SetSel(0x7FFFFFFF, -1);
    edit.ScrollCaret();
    edit.ReplaceSel(text, false);
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

void CVelmoraDlg::CloseServer() {}

void CVelmoraDlg::OnBnClickedPortListen() {
    CDlgServer dlg;
    dlg.m_port = 10000;
    if (dlg.DoModal() == Platform::IDOK) {
        // Listening on dlg.m_port is posted here once the server exists.
    }
}

void CVelmoraDlg::OnBnClickedSocketDuplicate() {}
