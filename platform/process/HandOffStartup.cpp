#include "HandOffStartup.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>

#include "ConfirmationSocketPair.h"
#include "Descriptors.h"
#include "HandleArgument.h"

namespace Platform {

namespace {

// The number a hand-off variable holds, or -1 with a problem noted.
int TakeDescriptorVariable(const char* name, CHandOffStartup& startup) {
    const char* value = std::getenv(name);
    if (!value) return -1;
    const std::string text(value);
    ::unsetenv(name);
    const CHandleArgument scanned = ScanHandleArgument(text);
    const bool plain = text.find_first_not_of("0123456789") == std::string::npos;
    if (!plain || scanned.m_eKind != CHandleArgument::eValue) {
        startup.m_problems.push_back(std::string(name) + "=" + text + ": not a descriptor number");
        return -1;
    }
    return scanned.m_nValue;
}

// A listening IPv4 TCP socket named by fd, marked close-on-exec; otherwise a problem noted.
void TakeListener(int fd, const std::string& source, CHandOffStartup& startup) {
    std::string reason;
    if (!CheckListening(fd, reason)) {
        startup.m_problems.push_back(source + ": " + reason);
        return;
    }
    SetCloseOnExec(fd);
    startup.m_listener.reset(fd);
}

// Socket activation: descriptor 3 when LISTEN_PID names this process and LISTEN_FDS is 1 or
// more. The variables go either way, so no process started later takes them for its own.
void TakeActivatedListener(CHandOffStartup& startup) {
    const char* pid = std::getenv("LISTEN_PID");
    const char* fds = std::getenv("LISTEN_FDS");
    const std::string count = fds ? fds : "";
    const CHandleArgument scanned = ScanHandleArgument(count);
    const bool ours = pid && std::to_string(::getpid()) == pid &&
                      scanned.m_eKind == CHandleArgument::eValue && scanned.m_nValue >= 1;
    ::unsetenv("LISTEN_PID");
    ::unsetenv("LISTEN_FDS");
    ::unsetenv("LISTEN_FDNAMES");
    if (ours && !startup.m_listener.valid()) TakeListener(3, "LISTEN_FDS=" + count, startup);
}

// The numeric arguments: each may name one connection the state speaks for.
std::size_t CountDescriptorArguments(int argc, char** argv) {
    std::size_t n = 0;
    for (int i = 1; i < argc; ++i)
        n += ScanHandleArgument(argv[i]).m_eKind == CHandleArgument::eValue ? 1 : 0;
    return n;
}

}  // namespace

CHandOffStartup TakeHandOffStartup(int argc, char** argv) {
    CHandOffStartup startup;
    startup.m_nParentId = ::getppid();
    // setenv/unsetenv are unsafe once other threads run; this runs before any exists.
    const int stateFd = TakeDescriptorVariable(kHandOffStateVariable, startup);
    std::string problem;
    if (stateFd >= 0 && !CHandOffState::IsMemfd(stateFd)) {
        // Not ours to read or close: it may be a socket or an inherited stdio stream.
        startup.m_problems.push_back(std::string(kHandOffStateVariable) + "=" +
                                     std::to_string(stateFd) + ": not a memfd");
    } else if (stateFd >= 0) {
        if (!CHandOffState::ReadFromMemfd(stateFd, CountDescriptorArguments(argc, argv),
                                          startup.m_state, problem))
            startup.m_problems.push_back("hand-off state: " + problem);
        if (!CloseDescriptor(stateFd, problem))
            startup.m_problems.push_back("hand-off state: " + problem);
    }
    const int confirmationFd = TakeDescriptorVariable(kHandOffChannelVariable, startup);
    if (confirmationFd >= 0 && !IsConfirmationSocket(confirmationFd)) {
        startup.m_problems.push_back(std::string(kHandOffChannelVariable) + "=" +
                                     std::to_string(confirmationFd) +
                                     ": not a local stream socket");
    } else if (confirmationFd >= 0) {
        // No process this one starts may inherit it: the parent would wait for the wrong answer.
        SetCloseOnExec(confirmationFd);
        startup.m_channel.reset(confirmationFd);
        // The handing-over process made the channel: its pid holds even when it died before
        // this process got here, and getppid() names whoever adopted the orphan.
        ucred peer{};
        socklen_t length = sizeof peer;
        if (::getsockopt(confirmationFd, SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0 &&
            peer.pid > 0)
            startup.m_nParentId = peer.pid;
    }
    startup.m_bListenerPassed = std::getenv(kHandOffListenerVariable) != nullptr;
    const int listenerFd = TakeDescriptorVariable(kHandOffListenerVariable, startup);
    if (listenerFd >= 0) {
        TakeListener(listenerFd,
                     std::string(kHandOffListenerVariable) + "=" + std::to_string(listenerFd),
                     startup);
    }
    TakeActivatedListener(startup);
    for (int i = 1; i < argc; ++i) {
        const CHandleArgument scanned = ScanHandleArgument(argv[i]);
        std::string reason;
        if (scanned.m_eKind != CHandleArgument::eValue) continue;
        if (CheckAdoptable(scanned.m_nValue, reason)) SetCloseOnExec(scanned.m_nValue);
        startup.m_verdicts.emplace(scanned.m_nValue, reason);
    }
    return startup;
}

}  // namespace Platform
