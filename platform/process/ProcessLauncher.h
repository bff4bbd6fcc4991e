#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace Platform {

// The running executable's full path, from /proc/self/exe. Read it once at start-up and
// start the new process from the text: /proc/self/exe would keep running the old build after
// a new one is installed. Returns an empty string and sets reason on failure.
std::string ReadExecutablePath(std::string& reason);

// A started process. The pidfd (close-on-exec) becomes readable once the process has ended;
// then Reap it.
struct CStartedProcess {
    pid_t m_pid = -1;
    int m_pidfd = -1;
};

// Starts path with argv [path, args...], the parent's environment with the entries of
// environment added (replacing those of the same name) and its working directory. The
// process inherits stdin, stdout, stderr and the descriptors of inherit under their own
// numbers, close-on-exec or not, and nothing else; signal dispositions are the parent's, the
// signal mask empty. Does not wait for the process. Returns false and sets reason ("what:
// why") when it cannot be started, e.g. when nothing can run at path any more, or when no
// pidfd can be had for it (it is then killed and collected before this returns).
bool StartProcess(const std::string& path, const std::vector<std::string>& args,
                  const std::vector<int>& inherit,
                  const std::vector<std::pair<std::string, std::string>>& environment,
                  CStartedProcess& process, std::string& reason);

// Collects the ended process of pidfd and closes pidfd; returns true and describes how it
// ended ("exited with status 0", "was killed by signal 11 (Segmentation fault)"). Returns
// false, leaving pidfd open, while the process still runs.
bool Reap(int pidfd, std::string& how);

// Ignores the upgrade signal (SIGUSR2) until the program installs its own handler for it:
// one that arrives during start-up is dropped rather than ending the process.
void IgnoreUpgradeSignal();

// Sends SIGKILL to the process of pidfd. Once this returns the process runs no more of its
// own code; its pidfd turns readable when it has ended.
bool KillProcess(int pidfd, std::string& reason);

// Bytes the arguments of a process started from path with the parent's environment plus
// environment may take in all, as ArgumentCost counts them, before the system refuses to
// start it ("Argument list too long").
std::size_t ArgumentRoom(const std::string& path,
                         const std::vector<std::pair<std::string, std::string>>& environment);
// What one argument takes of that room.
std::size_t ArgumentCost(const std::string& argument);

}  // namespace Platform
