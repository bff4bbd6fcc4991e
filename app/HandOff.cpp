// The hand-off of every registered connection to a new process of the program, and the
// adoption of handed-off connections at start-up. Both run on the worker thread.
#include "CVelmoraDlg.h"

#include <boost/asio/placeholders.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/bind/bind.hpp>
#include <boost/make_shared.hpp>

#include "Descriptors.h"
#include "HandOffState.h"
#include "HandleArgument.h"
#include "ProcessLauncher.h"

namespace {

CString Text(const std::string& text) { return QString::fromLocal8Bit(text.c_str()); }

// A connection given to the child: its duplicate and what had been read but not logged.
struct CHandedOff {
    boost::shared_ptr<CNoxSocket::CSocket> m_spSocket;
    int m_nDuplicate;
    std::vector<char> m_state;
};

// After a failed start the duplicates still refer to the same connections: they go back
// into their objects, which resume exactly where they stopped.
void TakeBack(CVelmoraDlg* pThis, std::vector<CHandedOff>& handedOff) {
    for (CHandedOff& c : handedOff) {
        boost::system::error_code error;
        c.m_spSocket->m_socket.assign(boost::asio::ip::tcp::v4(), c.m_nDuplicate, error);
        if (error) {
            std::string reason;
            Platform::CloseDescriptor(c.m_nDuplicate, reason);
            pThis->Post(
                QStringLiteral("%1 -> assign: %2")
                    .arg(static_cast<CVelmoraDlg::CSocketApp&>(*c.m_spSocket).EndpointText(),
                         Text(error.message())));
            continue;
        }
        c.m_spSocket->RestoreState(std::move(c.m_state));
        c.m_spSocket->StartReceive();
    }
}

}  // namespace

void CVelmoraDlg::OnBnClickedSocketDuplicate() {
    m_ioService.post(boost::bind(&CVelmoraDlg::HandOffConnections, this));
}

void CVelmoraDlg::HandOffConnections(CVelmoraDlg* pThis) {
    CAcceptorApp::CRegistry& registry = pThis->m_acceptor.m_registry;

    // Nothing may be read after a connection's state is taken, or it would be lost.
    for (const auto& spSocket : registry) {
        if (spSocket->m_socket.is_open()) spSocket->SuspendReceive();
    }

    std::vector<CHandedOff> handedOff;
    std::vector<boost::shared_ptr<CNoxSocket::CSocket>> kept;
    Platform::CHandOffState state;
    std::vector<std::string> args;
    CString handles;
    for (const auto& spSocket : registry) {
        const int h = DuplicateSocket(pThis, spSocket);
        // "%s %d" on the text so far, appended in place: linear for any number of handles.
        handles += QLatin1Char(' ') + QString::number(h);
        args.push_back(std::to_string(h));
        if (h >= 0) {
            std::vector<char> bytes = spSocket->SaveState();
            if (!bytes.empty()) state.m_pending[h] = bytes;
            handedOff.push_back({spSocket, h, std::move(bytes)});
        } else if (spSocket->m_socket.is_open()) {
            kept.push_back(spSocket);
        }
    }

    std::vector<int> inherit;
    for (const CHandedOff& c : handedOff) inherit.push_back(c.m_nDuplicate);
    std::vector<std::pair<std::string, std::string>> environment;
    std::string reason;
    int stateFd = -1;
    if (!state.m_pending.empty()) {
        // Without its state a half-received message would be lost: no start then.
        stateFd = state.WriteToMemfd(reason);
        if (stateFd >= 0) {
            inherit.push_back(stateFd);
            environment.emplace_back(Platform::kHandOffStateVariable, std::to_string(stateFd));
        }
    }

    const CString commandLine = QStringLiteral("%1%2").arg(Text(pThis->m_modulePath), handles);
    pThis->Post(QStringLiteral("CreateProcess -> %1").arg(commandLine));

    Platform::CStartedProcess process;
    const bool started =
        (state.m_pending.empty() || stateFd >= 0) &&
        Platform::StartProcess(pThis->m_modulePath, args, inherit, environment, process, reason);
    if (stateFd >= 0) Platform::CloseDescriptor(stateFd, reason);

    if (started) {
        // The child holds the connections now; a duplicate kept here would hold each one
        // open to its client after the child closes it.
        for (const CHandedOff& c : handedOff) Platform::CloseDescriptor(c.m_nDuplicate, reason);
        if (process.m_pidfd >= 0) pThis->WatchChild(process.m_pidfd);
    } else {
        pThis->Post(
            QStringLiteral("CreateProcess -> %1; the connections stay here").arg(Text(reason)));
        TakeBack(pThis, handedOff);
    }
    for (const auto& spSocket : kept) spSocket->ResumeReceive();
}

int CVelmoraDlg::DuplicateSocket(CVelmoraDlg* pThis,
                                 const boost::shared_ptr<CNoxSocket::CSocket>& spSocket) {
    if (!spSocket->m_socket.is_open()) return -1;
    std::string reason;
    const int h = Platform::DuplicateForChild(spSocket->m_socket.native_handle(), reason);
    if (h < 0) {
        // Without a duplicate the connection stays with this process rather than being lost.
        pThis->Post(QStringLiteral("%1 -> %2")
                        .arg(static_cast<CSocketApp&>(*spSocket).EndpointText(), Text(reason)));
        return -1;
    }
    boost::system::error_code error;
    spSocket->m_socket.close(error);
    return h;
}

void CVelmoraDlg::WatchChild(int pidfd) {
    // No child is left a zombie: its pidfd turns readable when it ends, and it is reaped then.
    auto spWatch = boost::make_shared<boost::asio::posix::stream_descriptor>(m_ioService, pidfd);
    m_childWatches.insert(spWatch);
    spWatch->async_wait(
        boost::asio::posix::stream_descriptor::wait_read,
        boost::bind(&CVelmoraDlg::OnChildEnded, this, spWatch, boost::asio::placeholders::error));
}

void CVelmoraDlg::OnChildEnded(
    CVelmoraDlg* pThis, const boost::shared_ptr<boost::asio::posix::stream_descriptor>& spWatch,
    const boost::system::error_code& error) {
    pThis->m_childWatches.erase(spWatch);
    if (error) return;  // the watch was closed at shutdown; init collects the child
    const int pidfd = spWatch->release();
    std::string how;
    if (!Platform::Reap(pidfd, how)) pThis->WatchChild(pidfd);
}

void CVelmoraDlg::AdoptSockets(CVelmoraDlg* pThis, const std::vector<CString>& args) {
    for (const std::string& problem : pThis->m_handOff.m_problems) {
        pThis->Post(QStringLiteral("AdoptSockets -> ") + Text(problem));
    }
    Platform::CHandOffState& state = pThis->m_handOff.m_state;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const Platform::CHandleArgument argument = Platform::ScanHandleArgument(args[i]);
        if (argument.m_eKind == Platform::CHandleArgument::eNoNumber) continue;
        if (argument.m_eKind == Platform::CHandleArgument::eOutOfRange) {
            pThis->Post(
                QStringLiteral("AdoptSockets -> %1: out of range").arg(Text(argument.m_text)));
            continue;
        }
        const int v = argument.m_nValue;
        auto spSocket = boost::make_shared<CSocketApp>(pThis->m_ioService, pThis);
        if (v != -1) {
            // -1 stands for a connection whose duplication failed: registered, closed, silent.
            // Judged at start-up: by now the number may name a descriptor of our own.
            const auto verdict = pThis->m_handOff.m_verdicts.find(v);
            const std::string reason = verdict == pThis->m_handOff.m_verdicts.end()
                                           ? std::string("not open at start-up")
                                           : verdict->second;
            if (!reason.empty()) {
                pThis->Post(QStringLiteral("AdoptSockets -> %1: %2").arg(v).arg(Text(reason)));
                continue;
            }
            boost::system::error_code error;
            spSocket->m_socket.assign(boost::asio::ip::tcp::v4(), v, error);
            if (error) {
                pThis->Post(QStringLiteral("AdoptSockets -> %1: assign: %2")
                                .arg(v)
                                .arg(Text(error.message())));
                continue;
            }
            const auto pending = state.m_pending.find(v);
            if (pending != state.m_pending.end()) {
                spSocket->RestoreState(std::move(pending->second));
                state.m_pending.erase(pending);
            }
            spSocket->EnableKeepAlive();
            spSocket->TakeEndpointText();
            spSocket->StartReceive();
        }
        pThis->m_acceptor.m_registry.insert(spSocket);
    }
}
