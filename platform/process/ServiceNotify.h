#pragma once

#include <string>

namespace Platform {

// Sends state ("READY=1", "MAINPID=<pid>", one per line) as one datagram to the service
// manager's socket named by NOTIFY_SOCKET; a name starting with '@' is in the abstract
// namespace. Without the variable nothing is sent and the result is true. Returns false and
// sets reason on failure.
bool NotifyServiceManager(const std::string& state, std::string& reason);

}  // namespace Platform
