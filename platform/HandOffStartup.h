#pragma once

#include <string>
#include <vector>

#include "HandOffState.h"

namespace Platform {

// What a started copy takes over at start-up.
struct CHandOffStartup {
    CHandOffState m_state;
    std::vector<std::string> m_problems;  // for the log, once there is one
};

// Called first in main, before the Qt application object and before any thread exists.
// Takes the state named by the hand-off variable (the variable is removed, the memfd read
// and closed) and marks close-on-exec every argument's descriptor that is about to be
// adopted, so that no process started later inherits a client's socket.
CHandOffStartup TakeHandOffStartup(int argc, char** argv);

}  // namespace Platform
