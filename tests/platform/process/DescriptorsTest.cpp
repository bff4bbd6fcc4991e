#include "Descriptors.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

#include "LoopbackPair.h"

using Platform::CheckAdoptable;

namespace {

std::string Rejection(long long fd) {
    std::string reason;
    EXPECT_FALSE(CheckAdoptable(fd, reason)) << fd;
    return reason;
}

bool IsCloseOnExec(int fd) { return (::fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0; }

}  // namespace

TEST(CheckAdoptable, AcceptsBothEndsOfALoopbackConnection) {
    CLoopbackPair pair;
    std::string reason;
    EXPECT_TRUE(CheckAdoptable(pair.m_server.Get(), reason)) << reason;
    EXPECT_TRUE(CheckAdoptable(pair.m_client.Get(), reason)) << reason;
}

TEST(CheckAdoptable, RejectsEachWrongKindWithItsReason) {
    CLoopbackPair pair;
    EXPECT_EQ(Rejection(pair.m_listener.Get()), "a listening socket");

    CFd closed(::dup(pair.m_server.Get()));
    const int number = closed.Get();
    closed.Reset();
    EXPECT_EQ(Rejection(number), "Bad file descriptor");
    EXPECT_EQ(Rejection(2147483647), "Bad file descriptor");
    EXPECT_EQ(Rejection(-1), "out of range");
    EXPECT_EQ(Rejection(2147483648LL), "out of range");

    int pipeEnds[2];
    ASSERT_EQ(::pipe2(pipeEnds, O_CLOEXEC), 0);
    CFd readEnd(pipeEnds[0]), writeEnd(pipeEnds[1]);
    EXPECT_EQ(Rejection(readEnd.Get()), "not a socket");
    FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(Rejection(::fileno(file)), "not a socket");
    std::fclose(file);

    CFd udp(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    EXPECT_EQ(Rejection(udp.Get()), "not a stream socket");
    CFd local(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    EXPECT_EQ(Rejection(local.Get()), "not an IPv4 socket");
    CFd v6(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (v6.Get() >= 0) {
        EXPECT_EQ(Rejection(v6.Get()), "not an IPv4 socket");
    }
}

// The standard streams are judged like any number: refused as what they usually are,
// accepted when a connection has been put there.
TEST(CheckAdoptable, JudgesStandardInputByWhatItHolds) {
    CFd saved(::fcntl(0, F_DUPFD_CLOEXEC, 3));
    ASSERT_GE(saved.Get(), 0);
    int pipeEnds[2];
    ASSERT_EQ(::pipe2(pipeEnds, O_CLOEXEC), 0);
    CFd readEnd(pipeEnds[0]), writeEnd(pipeEnds[1]);
    CLoopbackPair pair;

    ASSERT_EQ(::dup2(readEnd.Get(), 0), 0);
    const std::string asPipe = Rejection(0);
    ASSERT_EQ(::dup2(pair.m_server.Get(), 0), 0);
    std::string reason;
    const bool asSocket = CheckAdoptable(0, reason);
    ASSERT_EQ(::dup2(saved.Get(), 0), 0);

    EXPECT_EQ(asPipe, "not a socket");
    EXPECT_TRUE(asSocket) << reason;
}

TEST(DuplicateForNewProcess, GivesACloseOnExecNumberForTheSameConnection) {
    CLoopbackPair pair;
    std::string reason;
    CFd copy(Platform::DuplicateForNewProcess(pair.m_server.Get(), reason));
    ASSERT_GE(copy.Get(), 3) << reason;
    EXPECT_TRUE(IsCloseOnExec(copy.Get()));

    // The original goes, as in a hand-off; the connection lives on in the copy.
    pair.m_server.Reset();
    pair.Send("ping");
    char buffer[8] = {};
    ASSERT_EQ(::recv(copy.Get(), buffer, sizeof buffer, 0), 4);
    EXPECT_EQ(std::string(buffer, 4), "ping");
    EXPECT_TRUE(CheckAdoptable(copy.Get(), reason)) << reason;
}

TEST(DuplicateForNewProcess, ReportsAClosedNumber) {
    CFd closed(::dup(1));
    const int number = closed.Get();
    closed.Reset();
    std::string reason;
    EXPECT_EQ(Platform::DuplicateForNewProcess(number, reason), -1);
    EXPECT_EQ(reason, "dup: Bad file descriptor");
}

TEST(CloseDescriptor, ClosesOnceAndReportsTheSecondTime) {
    const int fd = ::dup(1);
    ASSERT_GE(fd, 0);
    std::string reason;
    EXPECT_TRUE(Platform::CloseDescriptor(fd, reason)) << reason;
    EXPECT_EQ(::fcntl(fd, F_GETFD), -1);
    EXPECT_FALSE(Platform::CloseDescriptor(fd, reason));
    EXPECT_EQ(reason, "close: Bad file descriptor");
}

TEST(SetCloseOnExec, MarksAnInheritableDescriptor) {
    CLoopbackPair pair(false);
    ASSERT_FALSE(IsCloseOnExec(pair.m_server.Get()));
    EXPECT_EQ(Platform::SetCloseOnExec(pair.m_server.Get()), 0);
    EXPECT_TRUE(IsCloseOnExec(pair.m_server.Get()));
    EXPECT_EQ(Platform::SetCloseOnExec(-1), EBADF);
}

// Starts from a low soft limit, as a desktop session often gives, and needs ten thousand
// connections' worth of descriptors afterwards.
TEST(RaiseDescriptorLimit, LiftsTheSoftLimitToTheHardOne) {
    rlimit original{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &original), 0);
    rlimit low = original;
    low.rlim_cur = 64;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);

    std::string reason;
    const long long limit = Platform::RaiseDescriptorLimit(reason);
    rlimit now{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &now), 0);
    EXPECT_EQ(now.rlim_cur, original.rlim_max);
    EXPECT_EQ(static_cast<rlim_t>(limit), original.rlim_max) << reason;

    if (original.rlim_max >= 10100) {
        std::vector<CFd> many;
        for (int i = 0; i < 10000; ++i) {
            many.emplace_back(::fcntl(1, F_DUPFD_CLOEXEC, 3));
            ASSERT_GE(many.back().Get(), 0) << "descriptor " << i;
        }
    }
    ::setrlimit(RLIMIT_NOFILE, &original);
}
