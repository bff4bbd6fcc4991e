#pragma once

#include <atomic>
#include <boost/asio/io_service.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/noncopyable.hpp>
#include <boost/shared_ptr.hpp>
#include <chrono>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "CConfirmationChannel.h"
#include "CDescriptor.h"
#include "CReaper.h"
#include "CSocketApp.h"
#include "CString.h"
#include "HandOffStartup.h"

class CServer;

// The hand-off of the server's connections to a new process of the program, both sides of
// it, on the worker thread.
//
// Giving is two-phase. This process suspends its connections, duplicates them and starts the
// new process with one end of a confirmation channel. The new process adopts them without
// reading and reports "ready"; only then does this one Commit (answer "commit" and let go),
// and only then does the new process read. If the new process ends, garbles its answer or
// misses the deadline, it is killed and reaped first, and only then does RollBack take the
// duplicates back: at no moment do two processes read one connection.
//
// An upgrade (SIGUSR2) is the same hand-off with the listener given too: accepting stops
// first, and after the commit this process lets go of the listener and ends.
//
// Receiving is the other half: AdoptSockets adopts what the command line names, reports
// ready and starts reading once the handing-over process has let go.
class CHandOff : private boost::noncopyable {
public:
    enum EState {
        eIdle,             // nothing under way
        eStoppingAccepts,  // giving, upgrade: accepts already completed run before the rest
        eAwaitingReady,    // giving: the new process runs; its "ready" has not come
        eCommitting,       // giving: "commit" is being written
        eRollingBack,      // giving: the new process is being killed; it is reaped first
        eAwaitingCommit,   // receiving: adopted connections wait, unread, for the parent
    };

    // modulePath: the program's own path, read at start-up; received: what a handing-over
    // process passed to this one; onUpgraded: called on the worker once an upgrade has
    // committed, for the program to end. SIGUSR2 starts an upgrade from construction on.
    CHandOff(CServer& server, std::string modulePath, Platform::CHandOffStartup received,
             std::function<void()> onUpgraded = std::function<void()>());
    ~CHandOff();

    // Hands every registered connection to a new process of the program, once that process
    // has confirmed it holds them; a press while a hand-off is under way waits its turn.
    static void HandOffConnections(CHandOff* pThis);
    // Hands every connection and the listener to a new process, then ends this one.
    static void Upgrade(CHandOff* pThis);
    // Adopts the connections named by args[1..], resuming each from its handed-over state;
    // with a confirmation channel, reading starts only once the parent has let go.
    static void AdoptSockets(CHandOff* pThis, const std::vector<CString>& args);
    // At shutdown: a hand-off under way ends as if this process had died, so the new process
    // serves on with what it holds; watches on started processes end.
    void Close();

    // Any thread: whether a hand-off is under way (giving, or receiving until the commit).
    bool IsUnderWay() const { return m_eState.load(std::memory_order_relaxed) != eIdle; }

private:
    // What one hand-off gives to the new process, and the means to hear back from it.
    struct CGiven {
        explicit CGiven(boost::asio::io_service& ioService) : m_deadline(ioService) {}
        // A connection given: its duplicate and what had been read but not logged.
        struct CConnection {
            boost::shared_ptr<CSocketApp> m_spSocket;
            Platform::CDescriptor m_duplicate;
            std::vector<char> m_state;
        };
        std::vector<CConnection> m_connections;
        std::size_t m_nClosed = 0;  // -1 values to write
        bool m_bUpgrade = false;    // the listener goes too, and this process ends after
        boost::shared_ptr<CNoxSocket::CConfirmationChannel> m_spChannel;
        boost::shared_ptr<boost::asio::posix::stream_descriptor> m_spNewProcess;  // its pidfd
        long long m_nNewProcessId = 0;
        boost::asio::steady_timer m_deadline;
        std::string m_why;  // set once the hand-off is to be rolled back
    };
    using CResult = CNoxSocket::CConfirmationChannel::CResult;

    // Giving, in order.
    void Begin(bool bUpgrade);
    static void GiveConnections(CHandOff* pThis, const boost::shared_ptr<CGiven>& spGiven);
    void SuspendConnections();
    void DuplicateConnections(CGiven& given);
    // A suspended connection's duplicate, with what it had read and not yet delivered; its
    // own socket is closed. Invalid (the connection reads on here) on failure.
    Platform::CDescriptor DuplicateSocket(const boost::shared_ptr<CSocketApp>& spSocket,
                                          std::vector<char>& state);
    bool StartNewProcess(CGiven& given);
    // An upgrade's new process inherits the listener, when there is one.
    void InheritListener(std::vector<int>& inherit,
                         std::vector<std::pair<std::string, std::string>>& environment);
    // The arguments after the program's path: live values first, then the -1s that fit.
    std::vector<std::string> CommandLineValues(
        const CGiven& given, const std::vector<std::pair<std::string, std::string>>& environment);
    void AwaitReady(const boost::shared_ptr<CGiven>& spGiven);
    static void OnNewProcessAnswered(CHandOff* pThis, const boost::shared_ptr<CGiven>& spGiven,
                                     const CResult& result);
    static void OnCommitSent(CHandOff* pThis, const boost::shared_ptr<CGiven>& spGiven,
                             const CResult& result);
    static void OnNewProcessEnded(CHandOff* pThis, const boost::shared_ptr<CGiven>& spGiven,
                                  const boost::system::error_code& error);
    static void OnDeadline(CHandOff* pThis, const boost::shared_ptr<CGiven>& spGiven,
                           const boost::system::error_code& error);
    // After the deadline, behind what was queued with it: kills unless the state has moved
    // on from eSeen or an answer waits in the channel.
    static void OnDeadlinePassed(CHandOff* pThis, const boost::shared_ptr<CGiven>& spGiven,
                                 EState eSeen);
    void ArmDeadline(const boost::shared_ptr<CGiven>& spGiven, std::chrono::milliseconds after);
    // The new process holds the connections: this process lets go of them.
    void Commit();
    // After an upgrade's commit: the listener closes and the program is told to end.
    void Leave(long long nNewProcessId);
    // Tells the service manager, if any, the state; a failure is logged.
    void NotifyServiceManager(const std::string& state);
    static void OnUpgradeSignal(CHandOff* pThis, const boost::system::error_code& error);
    // Kills the new process; RollBack follows once it has been reaped.
    void Kill(const std::string& why);
    // Takes every duplicate back into its object with its state, resumes it, and says why.
    void RollBack();
    // Ends the hand-off under way and starts the next one waiting, if any.
    void End();

    // Receiving.
    boost::shared_ptr<CSocketApp> AdoptSocket(const CString& argument);
    // The connections are this process's alone now: they read, and a line says whence.
    void TakeOver(const std::vector<boost::shared_ptr<CSocketApp>>& adopted);
    static void OnParentAnswered(CHandOff* pThis, const CResult& result);
    // Adopts the listener passed, if any, not accepting yet; false when one was passed and
    // could not be adopted.
    bool AdoptListener();
    // The parent keeps these and the listener: they close here unread.
    void LeaveWithParent(const std::vector<boost::shared_ptr<CSocketApp>>& adopted);
    // An adopted listener starts accepting, and the service manager learns state.
    void StartServing(const std::string& state);

    CServer& m_server;
    const std::string m_modulePath;
    // What a handing-over process passed beside the command line; AdoptSockets takes it.
    Platform::CHandOffStartup m_received;
    // How long a new process has to confirm; VELMORA_HANDOFF_DEADLINE (seconds) overrides.
    const std::chrono::milliseconds m_deadline;
    std::atomic<EState> m_eState{eIdle};  // written on the worker only
    boost::shared_ptr<CGiven> m_spGiven;  // while giving
    // Hand-offs asked for while one was under way, in order: true for an upgrade.
    std::deque<bool> m_waiting;
    std::function<void()> m_onUpgraded;
    boost::asio::signal_set m_upgradeSignal;
    // Receiving: adopted connections that read once the parent has let go, and the channel
    // its answer comes on.
    std::vector<boost::shared_ptr<CSocketApp>> m_awaitingCommit;
    boost::shared_ptr<CNoxSocket::CConfirmationChannel> m_spParentChannel;
    CReaper m_reaper;
};
