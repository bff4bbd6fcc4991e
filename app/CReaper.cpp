#include "CReaper.h"

#include <boost/asio/placeholders.hpp>
#include <boost/bind/bind.hpp>
#include <boost/make_shared.hpp>
#include <string>

#include "ProcessLauncher.h"

CReaper::CReaper(boost::asio::io_service& ioService) : m_ioService(ioService) {}

void CReaper::Watch(int pidfd, boost::shared_ptr<CNoxSocket::CConfirmationChannel> spChannel) {
    auto spWatch = boost::make_shared<CWatch>(m_ioService, pidfd);
    spWatch->m_spChannel = std::move(spChannel);
    m_watches.insert(spWatch);
    Wait(spWatch);
}

void CReaper::Close() {
    boost::system::error_code ignored;
    for (const auto& spWatch : m_watches) {
        spWatch->m_pidfd.close(ignored);
        if (spWatch->m_spChannel) spWatch->m_spChannel->Close();
    }
}

void CReaper::Wait(const boost::shared_ptr<CWatch>& spWatch) {
    spWatch->m_pidfd.async_wait(
        boost::asio::posix::stream_descriptor::wait_read,
        boost::bind(&CReaper::OnEnded, this, spWatch, boost::asio::placeholders::error));
}

void CReaper::OnEnded(CReaper* pThis, const boost::shared_ptr<CWatch>& spWatch,
                      const boost::system::error_code& error) {
    if (error) {
        pThis->m_watches.erase(spWatch);  // closed at shutdown
        return;
    }
    // Out of the reactor before Reap closes it.
    const int pidfd = spWatch->m_pidfd.release();
    std::string how;
    if (!Platform::Reap(pidfd, how)) {
        // A readable pidfd means it has ended; wait once more all the same.
        spWatch->m_pidfd.assign(pidfd);
        pThis->Wait(spWatch);
        return;
    }
    if (spWatch->m_spChannel) spWatch->m_spChannel->Close();
    pThis->m_watches.erase(spWatch);
}
