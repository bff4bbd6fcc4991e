#include "ProcessLauncher.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "ErrorText.h"

extern char** environ;

namespace Platform {

namespace {

// Owns the spawn attributes and file actions for the length of one start.
class CSpawnSetup {
public:
    CSpawnSetup() {
        ::posix_spawn_file_actions_init(&m_actions);
        ::posix_spawnattr_init(&m_attributes);
    }
    ~CSpawnSetup() {
        ::posix_spawnattr_destroy(&m_attributes);
        ::posix_spawn_file_actions_destroy(&m_actions);
    }
    CSpawnSetup(const CSpawnSetup&) = delete;
    CSpawnSetup& operator=(const CSpawnSetup&) = delete;

    posix_spawn_file_actions_t m_actions;
    posix_spawnattr_t m_attributes;
};

// Descriptors that would leak into the new process because someone opened them without
// close-on-exec. The program opens none such on purpose; closing them in the new process
// keeps the promise that it inherits the listed ones only, whatever a library did.
std::vector<int> InheritableStrays(std::vector<int> inherit) {
    // Sorted once: a hand-off may list tens of thousands of descriptors.
    std::sort(inherit.begin(), inherit.end());
    std::vector<int> strays;
    DIR* directory = ::opendir("/proc/self/fd");
    if (!directory) return strays;
    const int own = ::dirfd(directory);
    while (const dirent* entry = ::readdir(directory)) {
        char* end = nullptr;
        const long fd = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || fd < 3 || fd == own) continue;
        const int n = static_cast<int>(fd);
        if (std::binary_search(inherit.begin(), inherit.end(), n)) continue;
        const int flags = ::fcntl(n, F_GETFD);
        if (flags >= 0 && !(flags & FD_CLOEXEC)) strays.push_back(n);
    }
    ::closedir(directory);
    return strays;
}

// Sets up a start: the new process inherits the descriptors of inherit under their own
// numbers and none of the strays, with an empty signal mask.
bool PrepareSpawn(CSpawnSetup& setup, const std::vector<int>& inherit, std::string& reason) {
    // dup2 onto the same number clears close-on-exec in the new process only (glibc 2.29 on),
    // so no process started meanwhile by another thread can inherit these.
    for (int fd : inherit) {
        if (const int error = ::posix_spawn_file_actions_adddup2(&setup.m_actions, fd, fd)) {
            reason = ErrorText("posix_spawn_file_actions_adddup2", error);
            return false;
        }
    }
    for (int fd : InheritableStrays(inherit)) {
        if (const int error = ::posix_spawn_file_actions_addclose(&setup.m_actions, fd)) {
            reason = ErrorText("posix_spawn_file_actions_addclose", error);
            return false;
        }
    }
    // The calling thread's mask is a worker's business, not the new process's.
    sigset_t empty;
    ::sigemptyset(&empty);
    ::posix_spawnattr_setsigmask(&setup.m_attributes, &empty);
    ::posix_spawnattr_setflags(&setup.m_attributes, POSIX_SPAWN_SETSIGMASK);
    return true;
}

std::vector<std::string> NewProcessEnvironment(
    const std::vector<std::pair<std::string, std::string>>& added) {
    // Reading environ off the main thread is safe: the program changes it only at start-up,
    // before any thread exists.
    std::vector<std::string> result;
    for (char** entry = environ; entry && *entry; ++entry) {
        const std::string text(*entry);
        const std::string name = text.substr(0, text.find('='));
        const bool replaced = std::any_of(added.begin(), added.end(),
                                          [&](const auto& pair) { return pair.first == name; });
        if (!replaced) result.push_back(text);
    }
    for (const auto& [name, value] : added) result.push_back(name + "=" + value);
    return result;
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    pointers.reserve(texts.size() + 1);
    for (std::string& text : texts) pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

}  // namespace

std::string ReadExecutablePath(std::string& reason) {
    std::string path(256, '\0');
    for (;;) {
        const ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size());
        if (n < 0) {
            reason = ErrorText("readlink", errno);
            return {};
        }
        if (static_cast<std::size_t>(n) < path.size()) {
            path.resize(static_cast<std::size_t>(n));
            return path;
        }
        path.resize(path.size() * 2);
    }
}

bool StartProcess(const std::string& path, const std::vector<std::string>& args,
                  const std::vector<int>& inherit,
                  const std::vector<std::pair<std::string, std::string>>& environment,
                  CStartedProcess& process, std::string& reason) {
    CSpawnSetup setup;
    if (!PrepareSpawn(setup, inherit, reason)) return false;

    std::vector<std::string> argvTexts;
    argvTexts.reserve(args.size() + 1);
    argvTexts.push_back(path);
    argvTexts.insert(argvTexts.end(), args.begin(), args.end());
    std::vector<std::string> envTexts = NewProcessEnvironment(environment);
    std::vector<char*> argv = Pointers(argvTexts);
    std::vector<char*> envp = Pointers(envTexts);

    pid_t pid = -1;
    // glibc reports a failed exec here (and collects that process itself).
    if (const int error = ::posix_spawn(&pid, path.c_str(), &setup.m_actions, &setup.m_attributes,
                                        argv.data(), envp.data())) {
        reason = ErrorText("posix_spawn", error);
        return false;
    }
    process.m_pid = pid;
    // Nothing else waits for the processes we start, so the pid stays ours until reaped: the
    // pidfd cannot name another process even if the new process has already ended. (The
    // syscall, as glibc 2.36's declaration lacks C linkage.)
    process.m_pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (process.m_pidfd < 0) {
        // Without a pidfd the new process could be neither watched nor killed on time: it must
        // not take the connections. SIGKILL ends it promptly, whatever it does.
        reason = ErrorText("pidfd_open", errno);
        ::kill(pid, SIGKILL);
        while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        process.m_pid = -1;
        return false;
    }
    return true;
}

bool Reap(int pidfd, std::string& how) {
    siginfo_t info;
    std::memset(&info, 0, sizeof info);
    if (::waitid(P_PIDFD, static_cast<id_t>(pidfd), &info, WEXITED | WNOHANG) != 0) {
        how = ErrorText("waitid", errno);
        ::close(pidfd);
        return true;
    }
    if (info.si_pid == 0) return false;
    if (info.si_code == CLD_EXITED)
        how = "exited with status " + std::to_string(info.si_status);
    else
        how = "was killed by signal " + std::to_string(info.si_status) + " (" +
              ::strsignal(info.si_status) + ")";
    ::close(pidfd);
    return true;
}

void IgnoreUpgradeSignal() { ::signal(SIGUSR2, SIG_IGN); }

bool KillProcess(int pidfd, std::string& reason) {
    if (::syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0) == 0) return true;
    reason = ErrorText("pidfd_send_signal", errno);
    return false;
}

std::size_t ArgumentRoom(const std::string& path,
                         const std::vector<std::pair<std::string, std::string>>& environment) {
    // The kernel allows a quarter of the stack limit, at most 6 MiB, for the strings and their
    // pointers; glibc reports the quarter. A page is kept spare for what glibc adds.
    const long reported = ::sysconf(_SC_ARG_MAX);
    std::size_t limit = reported > 0 ? static_cast<std::size_t>(reported) : 131072;
    limit = std::min<std::size_t>(limit, 6u << 20);
    std::size_t used = 4096 + ArgumentCost(path) + sizeof(char*);
    for (const std::string& entry : NewProcessEnvironment(environment)) used += ArgumentCost(entry);
    return limit > used ? limit - used : 0;
}

std::size_t ArgumentCost(const std::string& argument) {
    return argument.size() + 1 + sizeof(char*);
}

}  // namespace Platform
