#include "CVelmoraDlg.h"

CVelmoraDlg::CAcceptorApp::CAcceptorApp(CVelmoraDlg* pOwner, boost::asio::io_service& ioService)
    : CNoxSocket::CAcceptor(ioService), m_pOwner(pOwner) {}

// The worker has been joined: no completion can still reach a connection released here.
CVelmoraDlg::CAcceptorApp::~CAcceptorApp() { m_registry.clear(); }

std::unique_ptr<CNoxSocket::CSocket> CVelmoraDlg::CAcceptorApp::CreateSocket(
    boost::asio::io_service& ioService) {
    return std::make_unique<CSocketApp>(ioService, m_pOwner);
}

void CVelmoraDlg::CAcceptorApp::OnAccept(boost::shared_ptr<CNoxSocket::CSocket> spSocket) {
    // Registered first, so a connection whose later steps fail is still owned.
    Register(spSocket);
    CSocketApp& socket = static_cast<CSocketApp&>(*spSocket);
    socket.TakeEndpointText();
    m_pOwner->Post(socket.EndpointText() + QLatin1String(" -> OnAccept"));
    socket.StartReceive();
}

void CVelmoraDlg::CAcceptorApp::Register(const boost::shared_ptr<CNoxSocket::CSocket>& spSocket) {
    m_registry.insert(spSocket);
    static_cast<CSocketApp&>(*spSocket).m_wpSelf = spSocket;
}

void CVelmoraDlg::CAcceptorApp::Forget(const boost::shared_ptr<CNoxSocket::CSocket>& spSocket) {
    if (m_registry.erase(spSocket)) ++m_nClosed;
}
