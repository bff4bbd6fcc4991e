#pragma once

#include <string>

#include "CDescriptor.h"

namespace Platform {

// Names the environment variable that tells the new process which inherited descriptor is its
// end of the confirmation socket pair.
inline constexpr const char* kHandOffChannelVariable = "VELMORA_HANDOFF_CHANNEL";

// Makes the socket pair a hand-off is confirmed over: a connected pair of local stream sockets,
// both ends close-on-exec. newProcessEnd is listed for the new process to inherit; the parent
// keeps parentEnd. Returns false and sets reason ("socketpair: ...") on failure.
bool CreateConfirmationSocketPair(CDescriptor& parentEnd, CDescriptor& newProcessEnd,
                                  std::string& reason);

// True when fd names a local stream socket, the only thing a confirmation socket can be.
bool IsConfirmationSocket(int fd);

}  // namespace Platform
