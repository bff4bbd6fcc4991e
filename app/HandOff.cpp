// The hand-off of every registered connection to a new process of the program, and the
// adoption of handed-off connections at start-up. Both run on the worker thread.
//
// A hand-off is two-phase. The parent suspends its connections, duplicates them and starts
// the copy with one end of a confirmation channel. The copy adopts them without reading and
// reports "ready"; only then does the parent answer "commit" and let go, and only then does
// the copy read. If the copy ends, garbles its answer or misses the deadline, the parent kills
// and reaps it first and only then takes its duplicates back: at no moment do two processes
// read one connection.
#include "CVelmoraDlg.h"

#include <boost/asio/placeholders.hpp>
#include <boost/bind/bind.hpp>
#include <boost/make_shared.hpp>

#include "Descriptors.h"
#include "ConfirmationSocketPair.h"
#include "HandOffState.h"
#include "HandleArgument.h"
#include "ProcessLauncher.h"

namespace {

CString Text(const std::string& text) { return QString::fromLocal8Bit(text.c_str()); }

// What a garbled answer held, short and on one line.
std::string Visible(const std::string& text) {
    std::string out;
    for (char c : text.substr(0, 32)) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u < 0x7F) {
            out += c;
        } else {
            static const char kHex[] = "0123456789abcdef";
            out += "\\x";
            out += kHex[u >> 4];
            out += kHex[u & 15];
        }
    }
    return text.size() > 32 ? out + "..." : out;
}

std::string Seconds(std::chrono::milliseconds duration) {
    return QString::number(duration.count() / 1000.0).toStdString() + " s";
}

}  // namespace

std::chrono::milliseconds CVelmoraDlg::HandOffDeadline() {
    bool ok = false;
    const double seconds = qEnvironmentVariable("VELMORA_HANDOFF_DEADLINE").toDouble(&ok);
    if (!ok || !(seconds > 0) || seconds > 86400) return std::chrono::seconds(10);
    return std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
}

void CVelmoraDlg::OnBnClickedSocketDuplicate() {
    m_ioService.post(boost::bind(&CVelmoraDlg::HandOffConnections, this));
}

void CVelmoraDlg::HandOffConnections(CVelmoraDlg* pThis) {
    // One at a time: the next press runs on the registry as this one leaves it.
    if (pThis->m_spHandOff) {
        ++pThis->m_nHandOffsWaiting;
        return;
    }
    auto spHandOff = boost::make_shared<CHandOff>(pThis->m_ioService);
    pThis->m_spHandOff = spHandOff;
    SuspendConnections(pThis);
    DuplicateConnections(pThis, *spHandOff);
    if (StartCopy(pThis, *spHandOff)) {
        Settle(pThis, spHandOff);
    } else {
        TakeBack(pThis, *spHandOff);
        pThis->Post(QStringLiteral("CreateProcess -> %1; the connections stay here")
                        .arg(Text(spHandOff->m_why)));
        EndHandOff(pThis);
    }
}

void CVelmoraDlg::SuspendConnections(CVelmoraDlg* pThis) {
    // Nothing may be read after a connection's state is taken, or it would be lost.
    for (const auto& spSocket : pThis->m_acceptor.m_registry) {
        if (spSocket->m_socket.is_open()) spSocket->SuspendReceive();
    }
}

void CVelmoraDlg::DuplicateConnections(CVelmoraDlg* pThis, CHandOff& handOff) {
    handOff.m_nClosed = pThis->m_acceptor.m_nClosed;
    // Live connections that could not be duplicated: they stay here and read on.
    std::vector<boost::shared_ptr<CNoxSocket::CSocket>> kept;
    for (const auto& spSocket : pThis->m_acceptor.m_registry) {
        if (!spSocket->m_socket.is_open()) {
            // Ended, and leaving the registry from the queue.
            ++handOff.m_nClosed;
            continue;
        }
        std::vector<char> state;
        Platform::CDescriptor duplicate = DuplicateSocket(pThis, spSocket, state);
        if (!duplicate.valid()) {
            // Written as -1, the invalid value, like any connection the copy cannot take.
            ++handOff.m_nClosed;
            kept.push_back(spSocket);
            continue;
        }
        handOff.m_connections.push_back({spSocket, std::move(duplicate), std::move(state)});
    }
    for (const auto& spSocket : kept) spSocket->ResumeReceive();
}

Platform::CDescriptor CVelmoraDlg::DuplicateSocket(
    CVelmoraDlg* pThis, const boost::shared_ptr<CNoxSocket::CSocket>& spSocket,
    std::vector<char>& state) {
    std::string reason;
    Platform::CDescriptor duplicate(
        Platform::DuplicateForChild(spSocket->m_socket.native_handle(), reason));
    if (!duplicate.valid()) {
        // Without a duplicate the connection stays with this process rather than being lost.
        pThis->Post(QStringLiteral("%1 -> %2")
                        .arg(static_cast<CSocketApp&>(*spSocket).EndpointText(), Text(reason)));
        return duplicate;
    }
    state = spSocket->SaveState();
    boost::system::error_code ignored;
    spSocket->m_socket.close(ignored);
    return duplicate;
}

bool CVelmoraDlg::StartCopy(CVelmoraDlg* pThis, CHandOff& handOff) {
    std::vector<int> inherit;
    std::vector<std::pair<std::string, std::string>> environment;
    Platform::CHandOffState state;
    for (const CHandOff::CConnection& c : handOff.m_connections) {
        inherit.push_back(c.m_duplicate.get());
        if (!c.m_state.empty()) state.m_pending[c.m_duplicate.get()] = c.m_state;
    }
    // The state's memfd is needed only until the copy has started: it reads it first thing.
    Platform::CDescriptor stateFd;
    if (!state.m_pending.empty()) {
        // Without its state a half-received message would be lost: no start then.
        stateFd.reset(state.WriteToMemfd(handOff.m_why));
        if (!stateFd.valid()) return false;
        inherit.push_back(stateFd.get());
        environment.emplace_back(Platform::kHandOffStateVariable, std::to_string(stateFd.get()));
    }
    Platform::CDescriptor parentEnd, childEnd;
    if (!Platform::CreateConfirmationSocketPair(parentEnd, childEnd, handOff.m_why)) return false;
    inherit.push_back(childEnd.get());
    environment.emplace_back(Platform::kHandOffChannelVariable, std::to_string(childEnd.get()));

    // Live values always go; the -1s take what room the system's argument limit leaves.
    std::vector<std::string> args;
    args.reserve(handOff.m_connections.size() + handOff.m_nClosed);
    std::size_t room = Platform::ArgumentRoom(pThis->m_modulePath, environment);
    for (const CHandOff::CConnection& c : handOff.m_connections) {
        args.push_back(std::to_string(c.m_duplicate.get()));
        room -= std::min(room, Platform::ArgumentCost(args.back()));
    }
    const std::size_t nFit = std::min(handOff.m_nClosed, room / Platform::ArgumentCost("-1"));
    args.insert(args.end(), nFit, "-1");
    if (nFit < handOff.m_nClosed) {
        pThis->Post(QStringLiteral("CreateProcess -> %1 closed connections left out: the command "
                                   "line would pass the system's argument limit")
                        .arg(handOff.m_nClosed - nFit));
    }

    // "%s %d" per value, appended in place: linear for any number of handles.
    CString commandLine = Text(pThis->m_modulePath);
    commandLine.reserve(commandLine.size() + static_cast<qsizetype>(args.size()) * 8);
    for (const std::string& arg : args) {
        commandLine += QLatin1Char(' ');
        commandLine += QLatin1String(arg.data(), static_cast<qsizetype>(arg.size()));
    }
    pThis->Post(QStringLiteral("CreateProcess -> %1").arg(commandLine));

    Platform::CStartedProcess process;
    if (!Platform::StartProcess(pThis->m_modulePath, args, inherit, environment, process,
                                handOff.m_why)) {
        return false;
    }
    handOff.m_spChannel =
        boost::make_shared<CNoxSocket::CHandOffChannel>(pThis->m_ioService, parentEnd.release());
    handOff.m_spChild = boost::make_shared<boost::asio::posix::stream_descriptor>(
        pThis->m_ioService, process.m_pidfd);
    return true;
}

void CVelmoraDlg::Settle(CVelmoraDlg* pThis, const boost::shared_ptr<CHandOff>& spHandOff) {
    spHandOff->m_spChannel->AwaitReady(
        boost::bind(&CVelmoraDlg::OnCopyAnswered, pThis, spHandOff, boost::placeholders::_1));
    spHandOff->m_spChild->async_wait(
        boost::asio::posix::stream_descriptor::wait_read,
        boost::bind(&CVelmoraDlg::OnCopyEnded, pThis, spHandOff, boost::asio::placeholders::error));
    spHandOff->m_deadline.expires_after(pThis->m_handOffDeadline);
    spHandOff->m_deadline.async_wait(boost::bind(&CVelmoraDlg::OnHandOffDeadline, pThis, spHandOff,
                                                 boost::asio::placeholders::error));
}

void CVelmoraDlg::OnCopyAnswered(CVelmoraDlg* pThis, const boost::shared_ptr<CHandOff>& spHandOff,
                                 const CNoxSocket::CHandOffChannel::CResult& result) {
    if (pThis->m_spHandOff != spHandOff || spHandOff->m_bKilled) return;
    using CChannel = CNoxSocket::CHandOffChannel;
    switch (result.m_eOutcome) {
        case CChannel::eReady:
            if (result.m_nCount != spHandOff->m_connections.size()) {
                AbortHandOff(spHandOff,
                             "the new process took " + std::to_string(result.m_nCount) + " of " +
                                 std::to_string(spHandOff->m_connections.size()) + " connections");
                return;
            }
            spHandOff->m_spChannel->Commit(
                boost::bind(&CVelmoraDlg::OnCommitSent, pThis, spHandOff, boost::placeholders::_1));
            return;
        case CChannel::eEndOfFile:
            // Mostly the copy's exit, which its pidfd is about to tell with the reason; a copy
            // that lives on without its channel gets a second to end.
            spHandOff->m_why = "the new process closed its channel before taking the connections";
            spHandOff->m_deadline.expires_after(std::chrono::seconds(1));
            spHandOff->m_deadline.async_wait(boost::bind(&CVelmoraDlg::OnHandOffDeadline, pThis,
                                                         spHandOff,
                                                         boost::asio::placeholders::error));
            return;
        case CChannel::eGarbled:
            AbortHandOff(spHandOff, "the new process answered \"" + Visible(result.m_text) + "\"");
            return;
        default:
            AbortHandOff(spHandOff, "hand-off channel: " + result.m_error.message());
            return;
    }
}

void CVelmoraDlg::OnCommitSent(CVelmoraDlg* pThis, const boost::shared_ptr<CHandOff>& spHandOff,
                               const CNoxSocket::CHandOffChannel::CResult& result) {
    if (pThis->m_spHandOff != spHandOff || spHandOff->m_bKilled) return;
    if (result.m_eOutcome != CNoxSocket::CHandOffChannel::eCommit) {
        // The copy has gone since "ready", before it could read a byte.
        AbortHandOff(spHandOff, "hand-off channel: " + result.m_error.message());
        return;
    }
    // The copy holds the connections now: our duplicates would keep each one open to its
    // client after the copy closes it. They close with the hand-off, the objects leave.
    spHandOff->m_deadline.cancel();
    spHandOff->m_spChannel->Close();
    for (const CHandOff::CConnection& c : spHandOff->m_connections) {
        pThis->m_acceptor.Forget(c.m_spSocket);
    }
    spHandOff->m_connections.clear();
    // Still to be reaped when it ends, like any started copy.
    pThis->WatchChild(spHandOff->m_spChild->release());
    EndHandOff(pThis);
}

void CVelmoraDlg::OnCopyEnded(CVelmoraDlg* pThis, const boost::shared_ptr<CHandOff>& spHandOff,
                              const boost::system::error_code& error) {
    if (error || pThis->m_spHandOff != spHandOff) return;
    std::string how;
    const int pidfd = spHandOff->m_spChild->release();
    if (!Platform::Reap(pidfd, how)) {
        // A readable pidfd means it has ended; wait once more all the same.
        spHandOff->m_spChild->assign(pidfd);
        spHandOff->m_spChild->async_wait(boost::asio::posix::stream_descriptor::wait_read,
                                         boost::bind(&CVelmoraDlg::OnCopyEnded, pThis, spHandOff,
                                                     boost::asio::placeholders::error));
        return;
    }
    if (!spHandOff->m_bKilled) {
        spHandOff->m_why = "the new process " + how + " before taking the connections";
    }
    // Reaped: nothing of the copy holds a connection any more.
    spHandOff->m_deadline.cancel();
    spHandOff->m_spChannel->Close();
    TakeBack(pThis, *spHandOff);
    pThis->Post(QStringLiteral("CreateProcess -> %1; the connections stay here")
                    .arg(Text(spHandOff->m_why)));
    EndHandOff(pThis);
}

void CVelmoraDlg::OnHandOffDeadline(CVelmoraDlg* pThis,
                                    const boost::shared_ptr<CHandOff>& spHandOff,
                                    const boost::system::error_code& error) {
    if (error || pThis->m_spHandOff != spHandOff || spHandOff->m_bKilled) return;
    AbortHandOff(spHandOff, spHandOff->m_why.empty() ? "the new process did not answer within " +
                                                           Seconds(pThis->m_handOffDeadline)
                                                     : spHandOff->m_why);
}

void CVelmoraDlg::AbortHandOff(const boost::shared_ptr<CHandOff>& spHandOff,
                               const std::string& why) {
    spHandOff->m_why = why;
    spHandOff->m_bKilled = true;
    spHandOff->m_deadline.cancel();
    // The channel stays open until the copy is dead: it must never read end-of-file and
    // take that for a parent that has died. Its end is reported by OnCopyEnded.
    std::string reason;
    Platform::KillProcess(spHandOff->m_spChild->native_handle(), reason);
}

void CVelmoraDlg::TakeBack(CVelmoraDlg* pThis, CHandOff& handOff) {
    for (CHandOff::CConnection& c : handOff.m_connections) {
        // The duplicate still refers to the same connection: it goes back into its object,
        // which resumes exactly where it stopped.
        boost::system::error_code error;
        c.m_spSocket->m_socket.assign(boost::asio::ip::tcp::v4(), c.m_duplicate.get(), error);
        if (error) {
            pThis->Post(QStringLiteral("%1 -> assign: %2")
                            .arg(static_cast<CSocketApp&>(*c.m_spSocket).EndpointText(),
                                 Text(error.message())));
            pThis->m_acceptor.Forget(c.m_spSocket);
            continue;
        }
        c.m_duplicate.release();
        c.m_spSocket->RestoreState(std::move(c.m_state));
        c.m_spSocket->StartReceive();
    }
    handOff.m_connections.clear();
}

void CVelmoraDlg::EndHandOff(CVelmoraDlg* pThis) {
    pThis->m_spHandOff.reset();
    if (pThis->m_nHandOffsWaiting > 0) {
        --pThis->m_nHandOffsWaiting;
        pThis->m_ioService.post(boost::bind(&CVelmoraDlg::HandOffConnections, pThis));
    }
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
    std::vector<boost::shared_ptr<CNoxSocket::CSocket>> adopted;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const Platform::CHandleArgument argument = Platform::ScanHandleArgument(args[i].toStdString());
        if (argument.m_eKind == Platform::CHandleArgument::eNoNumber) continue;
        if (argument.m_eKind == Platform::CHandleArgument::eOutOfRange) {
            pThis->Post(
                QStringLiteral("AdoptSockets -> %1: out of range").arg(Text(argument.m_text)));
            continue;
        }
        const int v = argument.m_nValue;
        if (v == -1) {
            // A connection that had ended before: counted, with no object.
            ++pThis->m_acceptor.m_nClosed;
            continue;
        }
        // Judged at start-up: by now the number may name a descriptor of our own.
        const auto verdict = pThis->m_handOff.m_verdicts.find(v);
        const std::string reason = verdict == pThis->m_handOff.m_verdicts.end()
                                       ? std::string("not open at start-up")
                                       : verdict->second;
        if (!reason.empty()) {
            pThis->Post(QStringLiteral("AdoptSockets -> %1: %2").arg(v).arg(Text(reason)));
            continue;
        }
        auto spSocket = boost::make_shared<CSocketApp>(pThis->m_ioService, pThis);
        boost::system::error_code error;
        spSocket->m_socket.assign(boost::asio::ip::tcp::v4(), v, error);
        if (error) {
            pThis->Post(
                QStringLiteral("AdoptSockets -> %1: assign: %2").arg(v).arg(Text(error.message())));
            continue;
        }
        const auto pending = state.m_pending.find(v);
        if (pending != state.m_pending.end()) {
            spSocket->RestoreState(std::move(pending->second));
            state.m_pending.erase(pending);
        }
        spSocket->EnableKeepAlive();
        spSocket->TakeEndpointText();
        pThis->m_acceptor.Register(spSocket);
        adopted.push_back(spSocket);
    }

    if (!pThis->m_handOff.m_channel.valid()) {
        for (const auto& spSocket : adopted) spSocket->StartReceive();
        return;
    }
    // The parent still holds every connection: none is read before it lets go.
    pThis->m_awaitingCommit = std::move(adopted);
    pThis->m_spParentChannel = boost::make_shared<CNoxSocket::CHandOffChannel>(
        pThis->m_ioService, pThis->m_handOff.m_channel.release());
    pThis->m_spParentChannel->ReportReady(
        pThis->m_awaitingCommit.size(),
        boost::bind(&CVelmoraDlg::OnParentAnswered, pThis, boost::placeholders::_1));
}

void CVelmoraDlg::OnParentAnswered(CVelmoraDlg* pThis,
                                   const CNoxSocket::CHandOffChannel::CResult& result) {
    pThis->m_spParentChannel->Close();
    pThis->m_spParentChannel.reset();
    std::vector<boost::shared_ptr<CNoxSocket::CSocket>> adopted;
    adopted.swap(pThis->m_awaitingCommit);
    if (result.m_eOutcome == CNoxSocket::CHandOffChannel::eGarbled) {
        // Not our parent's word: it may still be reading, so these copies must go unread.
        pThis->Post(QStringLiteral("AdoptSockets -> the handing-over process answered \"%1\"; "
                                   "the connections stay with it")
                        .arg(Text(Visible(result.m_text))));
        for (const auto& spSocket : adopted) {
            boost::system::error_code ignored;
            spSocket->m_socket.close(ignored);
            pThis->m_acceptor.Forget(spSocket);
        }
        return;
    }
    // Committed, or the parent has died (end of file, a failed write): either way the
    // connections are ours alone now.
    for (const auto& spSocket : adopted) {
        if (spSocket->m_socket.is_open()) spSocket->StartReceive();
    }
}
