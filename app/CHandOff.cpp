#include "CHandOff.h"

#include <boost/asio/placeholders.hpp>
#include <boost/asio/post.hpp>
#include <boost/bind/bind.hpp>
#include <boost/make_shared.hpp>

#include "CServer.h"
#include "ConfirmationSocketPair.h"
#include "Descriptors.h"
#include "HandOffState.h"
#include "HandleArgument.h"
#include "ProcessLauncher.h"
#include "ServiceNotify.h"

#include <QCoreApplication>
#include <csignal>

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

// "1 connection", "2 connections".
CString Connections(std::size_t n) {
    return n == 1 ? QStringLiteral("1 connection") : QStringLiteral("%1 connections").arg(n);
}

std::string Seconds(std::chrono::milliseconds duration) {
    return QString::number(duration.count() / 1000.0).toStdString() + " s";
}

// 10 s, or VELMORA_HANDOFF_DEADLINE's seconds.
std::chrono::milliseconds HandOffDeadline() {
    bool ok = false;
    const double seconds = qEnvironmentVariable("VELMORA_HANDOFF_DEADLINE").toDouble(&ok);
    if (!ok || !(seconds > 0) || seconds > 86400) return std::chrono::seconds(10);
    return std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
}

}  // namespace

CHandOff::CHandOff(CServer& server, std::string modulePath, Platform::CHandOffStartup received,
                   std::function<void()> onUpgraded)
    : m_server(server),
      m_modulePath(std::move(modulePath)),
      m_received(std::move(received)),
      m_deadline(HandOffDeadline()),
      m_onUpgraded(std::move(onUpgraded)),
      m_upgradeSignal(server.m_ioService, SIGUSR2),
      m_reaper(server.m_ioService) {
    // The signal's handler only wakes the service; the upgrade runs on the worker.
    m_upgradeSignal.async_wait(
        boost::bind(&CHandOff::OnUpgradeSignal, this, boost::asio::placeholders::error));
}

CHandOff::~CHandOff() = default;

void CHandOff::HandOffConnections(CHandOff* pThis) { pThis->Begin(false); }

void CHandOff::Upgrade(CHandOff* pThis) { pThis->Begin(true); }

void CHandOff::OnUpgradeSignal(CHandOff* pThis, const boost::system::error_code& error) {
    if (error) return;
    pThis->m_upgradeSignal.async_wait(
        boost::bind(&CHandOff::OnUpgradeSignal, pThis, boost::asio::placeholders::error));
    Upgrade(pThis);
}

void CHandOff::Begin(bool bUpgrade) {
    // One at a time: the next one runs on the registry as this one leaves it.
    if (m_eState != eIdle) {
        m_waiting.push_back(bUpgrade);
        return;
    }
    auto spGiven = boost::make_shared<CGiven>(m_server.m_ioService);
    spGiven->m_bUpgrade = bUpgrade;
    m_spGiven = spGiven;
    if (!bUpgrade) {
        GiveConnections(this, spGiven);
        return;
    }
    // No connection may arrive after the registry is taken; those that do wait in the
    // backlog for whichever process holds the listener. An accept that has completed
    // already runs before the rest, so its connection goes too.
    m_eState = eStoppingAccepts;
    m_server.m_acceptor.Pause();
    m_server.m_ioService.post(boost::bind(&CHandOff::GiveConnections, this, spGiven));
}

void CHandOff::GiveConnections(CHandOff* pThis, const boost::shared_ptr<CGiven>& spGiven) {
    if (pThis->m_spGiven != spGiven) return;
    pThis->SuspendConnections();
    pThis->DuplicateConnections(*spGiven);
    if (!pThis->StartNewProcess(*spGiven)) {
        pThis->RollBack();
        return;
    }
    pThis->m_eState = eAwaitingReady;
    pThis->AwaitReady(spGiven);
}

void CHandOff::SuspendConnections() {
    // Nothing may be read after a connection's state is taken, or it would be lost.
    for (const auto& spSocket : m_server.m_acceptor.m_registry) {
        if (spSocket->m_socket.is_open()) spSocket->SuspendReceive();
    }
}

void CHandOff::DuplicateConnections(CGiven& given) {
    given.m_nClosed = m_server.m_acceptor.m_nClosed;
    // Live connections that could not be duplicated: they stay here and read on.
    std::vector<boost::shared_ptr<CSocketApp>> kept;
    for (const auto& spSocket : m_server.m_acceptor.m_registry) {
        if (!spSocket->m_socket.is_open()) {
            // Ended, and leaving the registry from the queue.
            ++given.m_nClosed;
            continue;
        }
        std::vector<char> state;
        Platform::CDescriptor duplicate = DuplicateSocket(spSocket, state);
        if (!duplicate.valid()) {
            // Written as -1, the invalid value, like any connection the new process cannot take.
            ++given.m_nClosed;
            kept.push_back(spSocket);
            continue;
        }
        given.m_connections.push_back({spSocket, std::move(duplicate), std::move(state)});
    }
    for (const auto& spSocket : kept) spSocket->ResumeReceive();
}

Platform::CDescriptor CHandOff::DuplicateSocket(const boost::shared_ptr<CSocketApp>& spSocket,
                                                std::vector<char>& state) {
    std::string reason;
    Platform::CDescriptor duplicate(
        Platform::DuplicateForNewProcess(spSocket->m_socket.native_handle(), reason));
    if (!duplicate.valid()) {
        // Without a duplicate the connection stays with this process rather than being lost.
        m_server.m_log.Post(QStringLiteral("%1 -> %2").arg(spSocket->EndpointText(), Text(reason)));
        return duplicate;
    }
    state = spSocket->SaveState();
    boost::system::error_code ignored;
    spSocket->m_socket.close(ignored);
    return duplicate;
}

bool CHandOff::StartNewProcess(CGiven& given) {
    std::vector<int> inherit;
    std::vector<std::pair<std::string, std::string>> environment;
    Platform::CHandOffState state;
    for (const CGiven::CConnection& c : given.m_connections) {
        inherit.push_back(c.m_duplicate.get());
        if (!c.m_state.empty()) state.m_pending[c.m_duplicate.get()] = c.m_state;
    }
    // The state's memfd is needed only until the new process has started: it reads it first.
    Platform::CDescriptor stateFd;
    if (!state.m_pending.empty()) {
        // Without its state a half-received message would be lost: no start then.
        stateFd.reset(state.WriteToMemfd(given.m_why));
        if (!stateFd.valid()) return false;
        inherit.push_back(stateFd.get());
        environment.emplace_back(Platform::kHandOffStateVariable, std::to_string(stateFd.get()));
    }
    Platform::CDescriptor parentEnd, newProcessEnd;
    if (!Platform::CreateConfirmationSocketPair(parentEnd, newProcessEnd, given.m_why)) return false;
    inherit.push_back(newProcessEnd.get());
    environment.emplace_back(Platform::kHandOffChannelVariable,
                             std::to_string(newProcessEnd.get()));
    if (given.m_bUpgrade) InheritListener(inherit, environment);

    const std::vector<std::string> args = CommandLineValues(given, environment);
    // The program's path and the values, one space before each, appended in place: linear
    // however many values.
    CString commandLine = Text(m_modulePath);
    commandLine.reserve(commandLine.size() + static_cast<qsizetype>(args.size()) * 8);
    for (const std::string& arg : args) {
        commandLine += QLatin1Char(' ');
        commandLine += QLatin1String(arg.data(), static_cast<qsizetype>(arg.size()));
    }
    m_server.m_log.Post(QStringLiteral("CreateProcess -> ") + commandLine);

    Platform::CStartedProcess process;
    if (!Platform::StartProcess(m_modulePath, args, inherit, environment, process, given.m_why)) {
        return false;
    }
    boost::asio::io_service& ioService = m_server.m_ioService;
    given.m_spChannel =
        boost::make_shared<CNoxSocket::CConfirmationChannel>(ioService, parentEnd.release());
    given.m_spNewProcess =
        boost::make_shared<boost::asio::posix::stream_descriptor>(ioService, process.m_pidfd);
    given.m_nNewProcessId = process.m_pid;
    return true;
}

void CHandOff::InheritListener(std::vector<int>& inherit,
                               std::vector<std::pair<std::string, std::string>>& environment) {
    // Our own listener's number: it stays open, and unaccepting, here until the commit.
    auto& listener = m_server.m_acceptor.m_tcpAcceptor;
    if (!listener.is_open()) return;
    inherit.push_back(listener.native_handle());
    environment.emplace_back(Platform::kHandOffListenerVariable,
                             std::to_string(listener.native_handle()));
}

std::vector<std::string> CHandOff::CommandLineValues(
    const CGiven& given, const std::vector<std::pair<std::string, std::string>>& environment) {
    // Live values always go; the -1s take what room the system's argument limit leaves.
    std::vector<std::string> args;
    args.reserve(given.m_connections.size() + given.m_nClosed);
    std::size_t room = Platform::ArgumentRoom(m_modulePath, environment);
    for (const CGiven::CConnection& c : given.m_connections) {
        args.push_back(std::to_string(c.m_duplicate.get()));
        room -= std::min(room, Platform::ArgumentCost(args.back()));
    }
    const std::size_t nFit = std::min(given.m_nClosed, room / Platform::ArgumentCost("-1"));
    args.insert(args.end(), nFit, "-1");
    if (nFit < given.m_nClosed) {
        m_server.m_log.Post(QStringLiteral("CreateProcess -> %1 closed connections left out: the "
                                           "command line would pass the system's argument limit")
                                .arg(given.m_nClosed - nFit));
    }
    return args;
}

void CHandOff::AwaitReady(const boost::shared_ptr<CGiven>& spGiven) {
    spGiven->m_spChannel->AwaitReady(
        boost::bind(&CHandOff::OnNewProcessAnswered, this, spGiven, boost::placeholders::_1));
    spGiven->m_spNewProcess->async_wait(
        boost::asio::posix::stream_descriptor::wait_read,
        boost::bind(&CHandOff::OnNewProcessEnded, this, spGiven, boost::asio::placeholders::error));
    ArmDeadline(spGiven, m_deadline);
}

void CHandOff::ArmDeadline(const boost::shared_ptr<CGiven>& spGiven,
                           std::chrono::milliseconds after) {
    spGiven->m_deadline.expires_after(after);
    spGiven->m_deadline.async_wait(
        boost::bind(&CHandOff::OnDeadline, this, spGiven, boost::asio::placeholders::error));
}

void CHandOff::OnNewProcessAnswered(CHandOff* pThis, const boost::shared_ptr<CGiven>& spGiven,
                                    const CResult& result) {
    if (pThis->m_spGiven != spGiven || pThis->m_eState != eAwaitingReady) return;
    using CChannel = CNoxSocket::CConfirmationChannel;
    switch (result.m_eOutcome) {
        case CChannel::eReady:
            if (result.m_nCount != spGiven->m_connections.size()) {
                pThis->Kill("the new process took " + std::to_string(result.m_nCount) + " of " +
                            std::to_string(spGiven->m_connections.size()) + " connections");
                return;
            }
            pThis->m_eState = eCommitting;
            spGiven->m_spChannel->Commit(
                boost::bind(&CHandOff::OnCommitSent, pThis, spGiven, boost::placeholders::_1));
            return;
        case CChannel::eEndOfFile:
            // Mostly the new process's exit, which its pidfd is about to tell with the reason;
            // one that lives on without its channel gets a second to end.
            spGiven->m_why = "the new process closed its channel before taking the connections";
            pThis->ArmDeadline(spGiven, std::chrono::seconds(1));
            return;
        case CChannel::eGarbled:
            pThis->Kill("the new process answered \"" + Visible(result.m_text) + "\"");
            return;
        default:
            pThis->Kill("hand-off channel: " + result.m_error.message());
            return;
    }
}

void CHandOff::OnCommitSent(CHandOff* pThis, const boost::shared_ptr<CGiven>& spGiven,
                            const CResult& result) {
    if (pThis->m_spGiven != spGiven || pThis->m_eState != eCommitting) return;
    if (result.m_eOutcome != CNoxSocket::CConfirmationChannel::eCommit) {
        // The new process has gone since "ready", before it could read a byte.
        pThis->Kill("hand-off channel: " + result.m_error.message());
        return;
    }
    pThis->Commit();
}

void CHandOff::Commit() {
    // The new process holds the connections now: our duplicates would keep each one open to
    // its client after the new process closes it. They close with the hand-off; the objects
    // leave the registry.
    m_spGiven->m_deadline.cancel();
    m_spGiven->m_spChannel->Close();
    for (const CGiven::CConnection& c : m_spGiven->m_connections) {
        m_server.m_acceptor.Forget(c.m_spSocket);
    }
    m_server.m_log.Post(QStringLiteral("CreateProcess -> process %1 took %2")
                            .arg(m_spGiven->m_nNewProcessId)
                            .arg(Connections(m_spGiven->m_connections.size())));
    m_spGiven->m_connections.clear();
    m_reaper.Watch(m_spGiven->m_spNewProcess->release());
    if (m_spGiven->m_bUpgrade) {
        Leave(m_spGiven->m_nNewProcessId);
        return;
    }
    End();
}

void CHandOff::Leave(long long nNewProcessId) {
    m_server.CloseListener();
    m_server.m_log.Post(
        QStringLiteral("CreateProcess -> upgraded to process %1").arg(nNewProcessId));
    // Told before this process exits, so the service manager never sees its service end.
    NotifyServiceManager("MAINPID=" + std::to_string(nNewProcessId));
    // This process is ending: what waited has nothing to give.
    m_waiting.clear();
    End();
    if (m_onUpgraded) m_onUpgraded();
}

void CHandOff::NotifyServiceManager(const std::string& state) {
    std::string reason;
    if (!Platform::NotifyServiceManager(state, reason)) {
        m_server.m_log.Post(QStringLiteral("NotifyServiceManager -> ") + Text(reason));
    }
}

void CHandOff::OnNewProcessEnded(CHandOff* pThis, const boost::shared_ptr<CGiven>& spGiven,
                                 const boost::system::error_code& error) {
    if (error || pThis->m_spGiven != spGiven) return;
    std::string how;
    const int pidfd = spGiven->m_spNewProcess->release();
    if (!Platform::Reap(pidfd, how)) {
        // A readable pidfd means it has ended; wait once more all the same.
        spGiven->m_spNewProcess->assign(pidfd);
        spGiven->m_spNewProcess->async_wait(
            boost::asio::posix::stream_descriptor::wait_read,
            boost::bind(&CHandOff::OnNewProcessEnded, pThis, spGiven,
                        boost::asio::placeholders::error));
        return;
    }
    if (pThis->m_eState != eRollingBack) {
        spGiven->m_why = "the new process " + how + " before taking the connections";
    }
    // Reaped: nothing of the new process holds a connection any more.
    spGiven->m_spChannel->Close();
    pThis->RollBack();
}

void CHandOff::OnDeadline(CHandOff* pThis, const boost::shared_ptr<CGiven>& spGiven,
                          const boost::system::error_code& error) {
    if (error || pThis->m_spGiven != spGiven || pThis->m_eState == eRollingBack) return;
    // The channel's answer may have become ready together with the deadline (this process
    // was stopped meanwhile): its completion is already queued and decides first.
    boost::asio::post(pThis->m_server.m_ioService,
                      boost::bind(&CHandOff::OnDeadlinePassed, pThis, spGiven,
                                  pThis->m_eState.load()));
}

void CHandOff::OnDeadlinePassed(CHandOff* pThis, const boost::shared_ptr<CGiven>& spGiven,
                                EState eSeen) {
    if (pThis->m_spGiven != spGiven || pThis->m_eState != eSeen) return;
    // An answer still in the socket counts as well.
    if (eSeen == eAwaitingReady && spGiven->m_why.empty() && spGiven->m_spChannel->PollReady())
        return;
    pThis->Kill(spGiven->m_why.empty()
                    ? "the new process did not answer within " + Seconds(pThis->m_deadline)
                    : spGiven->m_why);
}

void CHandOff::Kill(const std::string& why) {
    m_spGiven->m_why = why;
    m_eState = eRollingBack;
    m_spGiven->m_deadline.cancel();
    // The channel stays open until the new process is dead: it must never read end-of-file
    // and take that for a parent that has died. Its end is reported by OnNewProcessEnded.
    std::string reason;
    if (Platform::KillProcess(m_spGiven->m_spNewProcess->native_handle(), reason)) return;
    // Still running, it holds the duplicates but reads nothing before a "commit" that never
    // comes, so the connections can come back. Its channel stays open until it ends.
    m_spGiven->m_why += "; " + reason;
    m_reaper.Watch(m_spGiven->m_spNewProcess->release(), m_spGiven->m_spChannel);
    RollBack();
}

void CHandOff::RollBack() {
    for (CGiven::CConnection& c : m_spGiven->m_connections) {
        // The duplicate still refers to the same connection: it goes back into its object,
        // which resumes exactly where it stopped.
        boost::system::error_code error;
        c.m_spSocket->m_socket.assign(boost::asio::ip::tcp::v4(), c.m_duplicate.get(), error);
        if (error) {
            m_server.m_log.Post(QStringLiteral("%1 -> assign: %2")
                                    .arg(c.m_spSocket->EndpointText(), Text(error.message())));
            m_server.m_acceptor.Forget(c.m_spSocket);
            continue;
        }
        c.m_duplicate.release();
        c.m_spSocket->RestoreState(std::move(c.m_state));
        c.m_spSocket->StartReceive();
    }
    m_spGiven->m_connections.clear();
    m_server.m_log.Post(QStringLiteral("CreateProcess -> %1; the connections stay here")
                            .arg(Text(m_spGiven->m_why)));
    if (m_spGiven->m_bUpgrade) m_server.m_acceptor.Resume();
    End();
}

void CHandOff::End() {
    m_spGiven.reset();
    m_eState = eIdle;
    if (!m_waiting.empty()) {
        const bool bUpgrade = m_waiting.front();
        m_waiting.pop_front();
        m_server.m_ioService.post(
            boost::bind(bUpgrade ? &CHandOff::Upgrade : &CHandOff::HandOffConnections, this));
    }
}

void CHandOff::Close() {
    // Our duplicates close with the hand-off; the new process sees its channel close.
    boost::system::error_code ignored;
    if (m_spGiven) {
        m_spGiven->m_deadline.cancel();
        if (m_spGiven->m_spChannel) m_spGiven->m_spChannel->Close();
        if (m_spGiven->m_spNewProcess) m_spGiven->m_spNewProcess->close(ignored);
        m_spGiven.reset();
    }
    m_waiting.clear();
    m_upgradeSignal.cancel(ignored);
    // A new process still waiting for its parent's word closes without having read a byte.
    if (m_spParentChannel) m_spParentChannel->Close();
    m_reaper.Close();
    m_eState = eIdle;
}

void CHandOff::AdoptSockets(CHandOff* pThis, const std::vector<CString>& args) {
    for (const std::string& problem : pThis->m_received.m_problems) {
        pThis->m_server.m_log.Post(QStringLiteral("AdoptSockets -> ") + Text(problem));
    }
    std::vector<boost::shared_ptr<CSocketApp>> adopted;
    for (std::size_t i = 1; i < args.size(); ++i) {
        if (auto spSocket = pThis->AdoptSocket(args[i])) adopted.push_back(std::move(spSocket));
    }
    const bool bListener = pThis->AdoptListener();
    if (!pThis->m_received.m_channel.valid()) {
        // Started by hand, with nothing to take over, it says nothing.
        if (args.size() > 1) pThis->TakeOver(adopted);
        pThis->StartServing("READY=1");
        return;
    }
    if (!bListener) {
        // Committing would leave the port to nobody: the parent, seeing the channel close
        // unconfirmed, rolls back and keeps everything.
        pThis->m_server.m_log.Post(QStringLiteral("AdoptSockets -> no listening socket to take "
                                                  "over; the connections stay with process %1")
                                       .arg(pThis->m_received.m_nParentId));
        pThis->LeaveWithParent(adopted);
        pThis->m_received.m_channel.reset();
        return;
    }
    // The parent still holds every connection: none is read before it lets go.
    pThis->m_eState = eAwaitingCommit;
    pThis->m_awaitingCommit = std::move(adopted);
    pThis->m_spParentChannel = boost::make_shared<CNoxSocket::CConfirmationChannel>(
        pThis->m_server.m_ioService, pThis->m_received.m_channel.release());
    pThis->m_spParentChannel->ReportReady(
        pThis->m_awaitingCommit.size(),
        boost::bind(&CHandOff::OnParentAnswered, pThis, boost::placeholders::_1));
}

boost::shared_ptr<CSocketApp> CHandOff::AdoptSocket(const CString& text) {
    const Platform::CHandleArgument argument = Platform::ScanHandleArgument(text.toStdString());
    if (argument.m_eKind == Platform::CHandleArgument::eNoNumber) return nullptr;
    if (argument.m_eKind == Platform::CHandleArgument::eOutOfRange) {
        m_server.m_log.Post(
            QStringLiteral("AdoptSockets -> %1: out of range").arg(Text(argument.m_text)));
        return nullptr;
    }
    const int v = argument.m_nValue;
    if (v == -1) {
        // A connection that had ended before: counted, with no object.
        ++m_server.m_acceptor.m_nClosed;
        return nullptr;
    }
    // Judged at start-up: by now the number may name a descriptor of our own.
    const auto verdict = m_received.m_verdicts.find(v);
    const std::string reason =
        verdict == m_received.m_verdicts.end() ? std::string("not open at start-up") : verdict->second;
    if (!reason.empty()) {
        m_server.m_log.Post(QStringLiteral("AdoptSockets -> %1: %2").arg(v).arg(Text(reason)));
        return nullptr;
    }
    auto spSocket = boost::make_shared<CSocketApp>(m_server.m_ioService, &m_server);
    boost::system::error_code error;
    spSocket->m_socket.assign(boost::asio::ip::tcp::v4(), v, error);
    if (error) {
        m_server.m_log.Post(
            QStringLiteral("AdoptSockets -> %1: assign: %2").arg(v).arg(Text(error.message())));
        return nullptr;
    }
    Platform::CHandOffState& state = m_received.m_state;
    const auto pending = state.m_pending.find(v);
    if (pending != state.m_pending.end()) {
        spSocket->RestoreState(std::move(pending->second));
        state.m_pending.erase(pending);
    }
    spSocket->EnableKeepAlive();
    spSocket->TakeEndpointText();
    m_server.m_acceptor.Register(spSocket);
    return spSocket;
}

void CHandOff::OnParentAnswered(CHandOff* pThis, const CResult& result) {
    pThis->m_spParentChannel->Close();
    pThis->m_spParentChannel.reset();
    std::vector<boost::shared_ptr<CSocketApp>> adopted;
    adopted.swap(pThis->m_awaitingCommit);
    if (result.m_eOutcome == CNoxSocket::CConfirmationChannel::eGarbled) {
        // Not our parent's word: it may still be reading, so these must go unread.
        pThis->m_server.m_log.Post(QStringLiteral("AdoptSockets -> the handing-over process "
                                                  "answered \"%1\"; the connections stay with it")
                                       .arg(Text(Visible(result.m_text))));
        pThis->LeaveWithParent(adopted);
    } else {
        // Committed, or the parent has died (end of file, a failed write): either way the
        // connections are ours alone now.
        pThis->TakeOver(adopted);
        pThis->StartServing("MAINPID=" + std::to_string(QCoreApplication::applicationPid()) +
                            "\nREADY=1");
    }
    pThis->End();
}

void CHandOff::TakeOver(const std::vector<boost::shared_ptr<CSocketApp>>& adopted) {
    std::size_t nOpen = 0;
    for (const auto& spSocket : adopted) {
        if (!spSocket->m_socket.is_open()) continue;
        spSocket->StartReceive();
        ++nOpen;
    }
    m_server.m_log.Post(QStringLiteral("AdoptSockets -> %1 from process %2")
                            .arg(Connections(nOpen))
                            .arg(m_received.m_nParentId));
}

bool CHandOff::AdoptListener() {
    // Accepting starts with reading: before the commit the parent may still accept.
    if (m_received.m_listener.valid()) {
        return m_server.AdoptListener(std::move(m_received.m_listener));
    }
    return !m_received.m_bListenerPassed;
}

void CHandOff::LeaveWithParent(const std::vector<boost::shared_ptr<CSocketApp>>& adopted) {
    for (const auto& spSocket : adopted) {
        boost::system::error_code ignored;
        spSocket->m_socket.close(ignored);
        m_server.m_acceptor.Forget(spSocket);
    }
    m_server.CloseListener();
}

void CHandOff::StartServing(const std::string& state) {
    if (m_server.m_acceptor.m_tcpAcceptor.is_open()) m_server.AcceptAdopted(m_received.m_nParentId);
    NotifyServiceManager(state);
}
