#pragma once

#include <string>

// Descriptor services of the connection hand-off. Every descriptor these functions open
// is close-on-exec: a started process inherits only what ProcessLauncher lists for it.
namespace Platform {

// Duplicates fd into a new close-on-exec descriptor numbered 3 or above, so the new process
// can inherit it under that number and no other started process can. Returns -1 and sets
// reason ("dup: ...") on failure.
int DuplicateForNewProcess(int fd, std::string& reason);

// Closes fd. Returns false and sets reason on failure; the number is released either way.
bool CloseDescriptor(int fd, std::string& reason);

// Sets close-on-exec on fd, so that no process started later inherits it. Returns 0, or the
// errno value of the failed fcntl: the socket layer turns it into its own error code.
int SetCloseOnExec(int fd);

// True when fd names an open IPv4 TCP socket that is not listening, the only kind a
// connection may adopt. Otherwise false with the reason: "out of range",
// "Bad file descriptor", "not a socket", "not a stream socket", "not an IPv4 socket",
// "not a TCP socket" or "a listening socket".
bool CheckAdoptable(long long fd, std::string& reason);

// True when fd names an open, listening IPv4 TCP socket, the only kind the server may adopt
// as its listener. Otherwise false with a reason as CheckAdoptable's, or "not a listening
// socket".
bool CheckListening(long long fd, std::string& reason);

// The descriptors the process may still open: the soft limit less those open, counted
// exactly (linear in the open ones). 0 when they cannot be counted, for lack of a
// descriptor to count them with.
long long CountFreeDescriptors();

// The soft RLIMIT_NOFILE in force, or -1.
long long DescriptorLimit();

// Raises the soft RLIMIT_NOFILE to the hard limit, so thousands of connections need no
// ulimit. Returns the soft limit now in force, or -1 and sets reason.
long long RaiseDescriptorLimit(std::string& reason);

}  // namespace Platform
