#include "CVelmoraDlg.h"

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
      m_handOff(m_server, std::move(modulePath), std::move(received)),
      m_hIcon(Platform::CResourceTable::LoadIcon(IDR_MAINFRAME)) {
    connect(GetDlgItem<QPushButton>(IDC_BUTTON_PORT_LISTEN), &QPushButton::clicked, this,
            &CVelmoraDlg::OnBnClickedPortListen);
    connect(GetDlgItem<QPushButton>(IDC_BUTTON_SOCKET_DUPLICATE), &QPushButton::clicked, this,
            &CVelmoraDlg::OnBnClickedSocketDuplicate);
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

void CVelmoraDlg::OnMessages(std::list<std::string>& batch) {
    // Back-pressure bounds a batch, and the store takes each block of lines with one copy
    // and an index push per line, so the whole batch goes in at once. A line long enough to
    // fill chunks of the store came alone and is kept by it as it is, not copied again.
    std::size_t nBytes = 0;
    for (const std::string& block : batch) nBytes += block.size();
    auto* const pLog = GetDlgItem<Platform::CLogView>(IDC_EDIT_LOG);
    const std::uint64_t nLinesBefore = pLog->LineCount();
    pLog->AppendLines(std::move(batch));
    // Every line of a block is one line of the box: none holds a line break.
    m_server.OnLinesAppended(pLog->LineCount() - nLinesBefore, nBytes);
}
