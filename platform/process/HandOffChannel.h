#pragma once

#include <string>

#include "CDescriptor.h"

namespace Platform {

// Names the environment variable that tells a started copy which inherited descriptor is its
// end of the confirmation channel.
inline constexpr const char* kHandOffChannelVariable = "VELMORA_HANDOFF_CHANNEL";

// Makes the confirmation channel: a connected pair of local stream sockets, both ends
// close-on-exec. The child's end is listed for the started copy to inherit; the parent
// keeps the other. Returns false and sets reason ("socketpair: ...") on failure.
bool CreateHandOffChannel(CDescriptor& parentEnd, CDescriptor& childEnd, std::string& reason);

// True when fd names a local stream socket, the only thing a confirmation channel can be.
bool IsHandOffChannel(int fd);

}  // namespace Platform
