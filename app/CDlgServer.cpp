#include "CDlgServer.h"

#include "CDataExchange.h"
#include "Resource.h"
#include "ui_CDlgServer.h"

CDlgServer::CDlgServer() : CDialog(std::make_unique<Ui::CDlgServer>()) {}

CDlgServer::~CDlgServer() = default;

void CDlgServer::DoDataExchange(Platform::CDataExchange* pDX) {
    CDialog::DoDataExchange(pDX);
    Platform::DDX_Text(pDX, IDC_EDIT_PORT, m_port);
}
