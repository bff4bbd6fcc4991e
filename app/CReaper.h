#pragma once

#include <boost/asio/io_service.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/noncopyable.hpp>
#include <boost/shared_ptr.hpp>
#include <set>

#include "CConfirmationChannel.h"

// Reaps every started new process once it has ended, so none is left a zombie: its pidfd
// turns readable then. Worker thread.
class CReaper : private boost::noncopyable {
public:
    explicit CReaper(boost::asio::io_service& ioService);

    // Takes pidfd over and reaps its process once it has ended. A channel given with it
    // stays open until then, so the process never reads its end as the parent's death.
    void Watch(int pidfd, boost::shared_ptr<CNoxSocket::CConfirmationChannel> spChannel = {});
    // Stops watching, at shutdown: init collects whatever still runs.
    void Close();

private:
    struct CWatch {
        CWatch(boost::asio::io_service& ioService, int pidfd) : m_pidfd(ioService, pidfd) {}
        boost::asio::posix::stream_descriptor m_pidfd;
        boost::shared_ptr<CNoxSocket::CConfirmationChannel> m_spChannel;
    };
    void Wait(const boost::shared_ptr<CWatch>& spWatch);
    static void OnEnded(CReaper* pThis, const boost::shared_ptr<CWatch>& spWatch,
                        const boost::system::error_code& error);

    boost::asio::io_service& m_ioService;
    std::set<boost::shared_ptr<CWatch>> m_watches;
};
