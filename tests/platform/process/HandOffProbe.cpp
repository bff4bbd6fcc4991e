// A started copy in miniature: takes over its hand-off like the program does, then reports
// what it holds (arguments, descriptors, state) to the file VELMORA_PROBE_REPORT names.
// With VELMORA_PROBE_HOLD=<fd> it first waits for end-of-file on that descriptor.

#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "Descriptors.h"
#include "HandOffStartup.h"
#include "ProcessLauncher.h"

namespace {

std::uint64_t Fnv1a(const std::vector<char>& bytes) {
    std::uint64_t hash = 14695981039346656037ull;
    for (char c : bytes) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    return hash;
}

int SocketOption(int fd, int option) {
    int value = -1;
    socklen_t length = sizeof value;
    ::getsockopt(fd, SOL_SOCKET, option, &value, &length);
    return value;
}

std::string Describe(int fd) {
    int type = 0;
    socklen_t length = sizeof type;
    if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) == 0)
        return "socket domain=" + std::to_string(SocketOption(fd, SO_DOMAIN)) +
               " type=" + std::to_string(type) +
               " listening=" + std::to_string(SocketOption(fd, SO_ACCEPTCONN));
    char target[512] = {};
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
    return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : "?";
}

}  // namespace

int main(int argc, char** argv) {
    Platform::CHandOffStartup startup = Platform::TakeHandOffStartup(argc, argv);

    if (const char* hold = std::getenv("VELMORA_PROBE_HOLD")) {
        char c;
        while (::read(std::atoi(hold), &c, 1) > 0) {
        }
    }
    // Everything is gathered before the report file opens, so the listing shows only
    // what the process started with (less the directory being read).
    std::ostringstream report;
    report << "argc " << argc << "\n";
    for (int i = 0; i < argc; ++i) report << "arg " << i << " [" << argv[i] << "]\n";
    const char* variable = std::getenv(Platform::kHandOffStateVariable);
    std::string reason;
    report << "self " << Platform::ReadExecutablePath(reason) << "\n";
    report << "env " << (variable ? variable : "absent") << "\n";

    std::set<int> open;
    DIR* directory = ::opendir("/proc/self/fd");
    while (const dirent* entry = ::readdir(directory)) {
        const int fd = std::atoi(entry->d_name);
        if (entry->d_name[0] != '.' && fd != ::dirfd(directory)) open.insert(fd);
    }
    ::closedir(directory);
    for (int fd : open) {
        const int flags = ::fcntl(fd, F_GETFD);
        std::string reason;
        const bool adoptable = Platform::CheckAdoptable(fd, reason);
        report << "fd " << fd << " cloexec=" << ((flags & FD_CLOEXEC) ? 1 : 0)
               << " adopt=" << (adoptable ? "ok" : reason) << " | " << Describe(fd) << "\n";
        if (adoptable) {
            char buffer[256];
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n > 0)
                report << "data " << fd << " " << std::string(buffer, static_cast<std::size_t>(n))
                       << "\n";
        }
    }
    for (const auto& [fd, bytes] : startup.m_state.m_pending)
        report << "state " << fd << " " << bytes.size() << " " << Fnv1a(bytes) << "\n";
    for (const std::string& problem : startup.m_problems) report << "problem " << problem << "\n";
    report << "done\n";

    const char* reportPath = std::getenv("VELMORA_PROBE_REPORT");
    if (!reportPath) return 2;
    std::ofstream out(reportPath);
    out << report.str();
    return out ? 0 : 3;
}
