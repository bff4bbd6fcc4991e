#pragma once

#include <map>
#include <string>
#include <vector>

#include "CDescriptor.h"
#include "HandOffState.h"

namespace Platform {

// Names the environment variable that tells the new process of an upgrade which inherited
// descriptor is the listening socket.
inline constexpr const char* kHandOffListenerVariable = "VELMORA_HANDOFF_LISTENER";

// What the new process of a hand-off takes over at start-up.
struct CHandOffStartup {
    CHandOffState m_state;
    // This process's end of the confirmation socket pair; not valid when none was passed.
    CDescriptor m_channel;
    // The listening socket passed by an upgrade (its variable) or by socket activation
    // (LISTEN_PID and LISTEN_FDS, descriptor 3); not valid when none was.
    CDescriptor m_listener;
    // Whether an upgrading process named a listener, adoptable or not.
    bool m_bListenerPassed = false;
    std::vector<std::string> m_problems;  // for the log, once there is one
    // The handing-over process, the channel's maker, when a channel was passed; otherwise
    // the process that started this one, as it was at start-up.
    long long m_nParentId = 0;
    // Each numeric argument's verdict, taken before the program opened any descriptor of
    // its own: empty when it names an adoptable connection, otherwise the reason.
    std::map<int, std::string> m_verdicts;
};

// Called first in main, before the Qt application object and before any thread exists.
// Takes the state named by the hand-off variable (the variable is removed, the memfd read
// and closed) and the confirmation socket named by its variable (removed too), judges every
// argument's descriptor, takes a listening socket passed by either convention (its
// variables removed) and marks close-on-exec each one that is about to be adopted, so that
// no process started later inherits a client's socket or the listener. Later the numbers may name
// descriptors the program opened itself, so only this verdict counts.
CHandOffStartup TakeHandOffStartup(int argc, char** argv);

}  // namespace Platform
