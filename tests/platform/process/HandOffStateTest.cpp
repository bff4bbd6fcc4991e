#include "HandOffState.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "ConfirmationSocketPair.h"
#include "HandOffStartup.h"
#include "LoopbackPair.h"

using Platform::CHandOffState;

namespace {

std::vector<char> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

CHandOffState Sample() {
    CHandOffState state;
    state.m_pending[5] = Bytes(std::string("\x02\0\0\0ab", 6));  // a message cut short
    state.m_pending[9] = {};
    state.m_pending[2147483647] = Bytes(std::string("\0\xff", 2));
    return state;
}

bool IsOpen(int fd) { return ::fcntl(fd, F_GETFD) >= 0; }

}  // namespace

TEST(HandOffState, RoundTripsThroughItsEncoding) {
    const CHandOffState state = Sample();
    CHandOffState decoded;
    std::string problem;
    ASSERT_TRUE(CHandOffState::Decode(state.Encode(), decoded, problem)) << problem;
    EXPECT_EQ(decoded.m_pending, state.m_pending);

    EXPECT_TRUE(CHandOffState().Encode().empty());
    ASSERT_TRUE(CHandOffState::Decode({}, decoded, problem));
    EXPECT_TRUE(decoded.m_pending.empty());
}

// Every cut of the blob keeps exactly the records that are whole and names the rest.
TEST(HandOffState, DecodesTruncatedInputAsFarAsItIsWhole) {
    const CHandOffState state = Sample();
    const std::vector<char> blob = state.Encode();
    const std::size_t firstEnd = 8 + 6, secondEnd = firstEnd + 8;
    for (std::size_t cut = 0; cut < blob.size(); ++cut) {
        CHandOffState decoded;
        std::string problem;
        const bool whole =
            CHandOffState::Decode({blob.begin(), blob.begin() + cut}, decoded, problem);
        const std::size_t expected = cut >= secondEnd ? 2 : cut >= firstEnd ? 1 : 0;
        EXPECT_EQ(decoded.m_pending.size(), expected) << "cut at " << cut;
        EXPECT_EQ(whole, cut == 0 || cut == firstEnd || cut == secondEnd) << "cut at " << cut;
        EXPECT_EQ(problem.empty(), whole) << "cut at " << cut;
    }
}

TEST(HandOffState, RefusesMalformedRecords) {
    CHandOffState decoded;
    std::string problem;
    const std::vector<char> huge =
        Bytes(std::string("\x05\0\0\0\xff\xff\xff\xff"
                          "abc",
                          11));
    EXPECT_FALSE(CHandOffState::Decode(huge, decoded, problem));
    EXPECT_NE(problem.find("claims 4294967295 bytes, 3 left"), std::string::npos) << problem;

    const std::vector<char> negative = Bytes(std::string("\xfe\xff\xff\xff\0\0\0\0", 8));
    EXPECT_FALSE(CHandOffState::Decode(negative, decoded, problem));
    EXPECT_NE(problem.find("bad descriptor number -2"), std::string::npos) << problem;

    std::vector<char> twice = Bytes(std::string("\x07\0\0\0\x01\0\0\0x", 9));
    twice.insert(twice.end(), twice.begin(), twice.end());
    EXPECT_FALSE(CHandOffState::Decode(twice, decoded, problem));
    EXPECT_NE(problem.find("listed twice"), std::string::npos) << problem;
    EXPECT_EQ(decoded.m_pending.size(), 1u);
}

TEST(HandOffState, TravelsInACloseOnExecMemfdReadFromItsStart) {
    CHandOffState state = Sample();
    state.m_pending[77] = std::vector<char>(3 << 20, 'x');
    std::string reason;
    CFd memfd(state.WriteToMemfd(reason));
    ASSERT_GE(memfd.Get(), 0) << reason;
    EXPECT_TRUE(::fcntl(memfd.Get(), F_GETFD) & FD_CLOEXEC);
    EXPECT_TRUE(CHandOffState::IsMemfd(memfd.Get()));

    CHandOffState read;
    ASSERT_TRUE(CHandOffState::ReadFromMemfd(memfd.Get(), 4, read, reason)) << reason;
    EXPECT_EQ(read.m_pending, state.m_pending);
}

// Judged by its size alone: a sparse state one byte past what its connections could leave is
// refused without a read; at the bound it is read (and zeros beyond the first record fail to
// decode).
TEST(HandOffState, RefusesAStateLargerThanItsConnectionsCouldLeaveUnread) {
    for (const std::size_t nConnections : {0u, 1u, 2u}) {
        const std::uint64_t nMax = CHandOffState::MaxSize(nConnections);
        EXPECT_GE(nMax, nConnections * (8 + 4 + (64u << 20)));
        for (const std::uint64_t nSize : {nMax + 1, std::uint64_t{2} << 30, nMax}) {
            CFd memfd(::memfd_create("state", MFD_CLOEXEC));
            ASSERT_EQ(::ftruncate(memfd.Get(), static_cast<off_t>(nSize)), 0);
            CHandOffState read;
            std::string problem;
            EXPECT_EQ(CHandOffState::ReadFromMemfd(memfd.Get(), nConnections, read, problem),
                      nSize == 0);
            const bool refused = problem.find(std::to_string(nSize) + " bytes, more than " +
                                              std::to_string(nConnections) +
                                              " connections can leave") == 0;
            EXPECT_EQ(refused, nSize > nMax) << nConnections << " " << nSize << ": " << problem;
        }
    }
}

// A wrong number must neither block on a socket or pipe nor be mistaken for state.
TEST(HandOffState, WillNotReadWhatIsNoMemfd) {
    int pipeEnds[2];
    ASSERT_EQ(::pipe2(pipeEnds, O_CLOEXEC), 0);
    CFd readEnd(pipeEnds[0]), writeEnd(pipeEnds[1]);
    CLoopbackPair pair;
    for (int fd : {readEnd.Get(), pair.m_server.Get()}) {
        CHandOffState read;
        std::string problem;
        EXPECT_FALSE(CHandOffState::IsMemfd(fd));
        EXPECT_FALSE(CHandOffState::ReadFromMemfd(fd, 1, read, problem));
        EXPECT_NE(problem.find("not a memfd"), std::string::npos) << problem;
    }
}

// In-process version of a copy's start-up; the real process one runs in ProcessLauncherTest.
TEST(TakeHandOffStartup, TakesTheStateAndGuardsTheSocketsToAdopt) {
    CLoopbackPair pair(false);
    int pipeEnds[2];
    ASSERT_EQ(::pipe(pipeEnds), 0);
    CFd readEnd(pipeEnds[0]), writeEnd(pipeEnds[1]);
    CHandOffState state;
    state.m_pending[pair.m_server.Get()] = Bytes("partial");
    std::string reason;
    const int memfd = state.WriteToMemfd(reason);
    ASSERT_GE(memfd, 0) << reason;
    ::setenv(Platform::kHandOffStateVariable, std::to_string(memfd).c_str(), 1);

    std::string server = std::to_string(pair.m_server.Get());
    std::string pipe = std::to_string(readEnd.Get());
    std::string path = "/path/of copy";
    std::vector<char*> argv = {path.data(), server.data(), pipe.data()};
    const Platform::CHandOffStartup startup =
        Platform::TakeHandOffStartup(static_cast<int>(argv.size()), argv.data());

    EXPECT_TRUE(startup.m_problems.empty());
    EXPECT_EQ(startup.m_state.m_pending, state.m_pending);
    EXPECT_EQ(std::getenv(Platform::kHandOffStateVariable), nullptr);
    EXPECT_FALSE(IsOpen(memfd));
    EXPECT_TRUE(::fcntl(pair.m_server.Get(), F_GETFD) & FD_CLOEXEC);
    EXPECT_FALSE(::fcntl(readEnd.Get(), F_GETFD) & FD_CLOEXEC) << "not adopted, left alone";
}

TEST(TakeHandOffStartup, LeavesAlonePipesAndSocketsTheVariableMisnames) {
    int pipeEnds[2];
    ASSERT_EQ(::pipe2(pipeEnds, O_CLOEXEC), 0);
    CFd readEnd(pipeEnds[0]), writeEnd(pipeEnds[1]);
    for (const std::string& value :
         {std::to_string(readEnd.Get()), std::string("12x"), std::string("")}) {
        ::setenv(Platform::kHandOffStateVariable, value.c_str(), 1);
        char path[] = "/copy";
        char* argv[] = {path};
        const Platform::CHandOffStartup startup = Platform::TakeHandOffStartup(1, argv);
        ASSERT_EQ(startup.m_problems.size(), 1u) << value;
        EXPECT_EQ(startup.m_problems[0].rfind(Platform::kHandOffStateVariable, 0), 0u);
        EXPECT_TRUE(startup.m_state.m_pending.empty());
        EXPECT_EQ(std::getenv(Platform::kHandOffStateVariable), nullptr);
    }
    EXPECT_TRUE(IsOpen(readEnd.Get()));
}

// The confirmation socket the variable names is taken and guarded; a TCP socket is left alone.
TEST(TakeHandOffStartup, TakesTheConfirmationSocketAndNothingElse) {
    Platform::CDescriptor parentEnd, newProcessEnd;
    std::string reason;
    ASSERT_TRUE(Platform::CreateConfirmationSocketPair(parentEnd, newProcessEnd, reason)) << reason;
    ASSERT_EQ(::fcntl(newProcessEnd.get(), F_SETFD, 0), 0);  // as the new process inherits it
    char path[] = "/new process";
    char* argv[] = {path};
    ::setenv(Platform::kHandOffChannelVariable, std::to_string(newProcessEnd.get()).c_str(), 1);
    Platform::CHandOffStartup startup = Platform::TakeHandOffStartup(1, argv);
    EXPECT_TRUE(startup.m_problems.empty());
    EXPECT_EQ(startup.m_channel.get(), newProcessEnd.get());
    EXPECT_TRUE(::fcntl(newProcessEnd.get(), F_GETFD) & FD_CLOEXEC);
    EXPECT_EQ(std::getenv(Platform::kHandOffChannelVariable), nullptr);
    startup.m_channel.release();  // newProcessEnd closes it

    CLoopbackPair tcp;
    ::setenv(Platform::kHandOffChannelVariable, std::to_string(tcp.m_server.Get()).c_str(), 1);
    startup = Platform::TakeHandOffStartup(1, argv);
    ASSERT_EQ(startup.m_problems.size(), 1u);
    EXPECT_NE(startup.m_problems[0].find("not a local stream socket"), std::string::npos);
    EXPECT_FALSE(startup.m_channel.valid());
    EXPECT_TRUE(IsOpen(tcp.m_server.Get()));
}
