#include "ProcessLauncher.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>

#include "Descriptors.h"
#include "HandOffState.h"
#include "LoopbackPair.h"

namespace fs = std::filesystem;

namespace {

// What the probe child found in itself.
struct CReport {
    std::vector<std::string> m_args;
    std::string m_self, m_env;
    std::map<int, std::string> m_fds;    // number -> "cloexec=... adopt=... | what"
    std::map<int, std::string> m_data;   // bytes waiting on an adoptable socket
    std::map<int, std::string> m_state;  // number -> "length hash"
    std::vector<std::string> m_problems;
    bool m_bDone = false;

    std::set<int> Numbers() const {
        std::set<int> numbers;
        for (const auto& entry : m_fds) numbers.insert(entry.first);
        return numbers;
    }
};

std::string Fnv1a(const std::vector<char>& bytes) {
    std::uint64_t hash = 14695981039346656037ull;
    for (char c : bytes) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    return std::to_string(hash);
}

bool WaitReadable(int fd) {
    pollfd entry{fd, POLLIN, 0};
    return ::poll(&entry, 1, 30000) == 1;  // bound only catches a hang
}

bool IsCloseOnExec(int fd) { return (::fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0; }

// The standard streams the test runner gave us; a child inherits those as they are.
std::set<int> StandardStreams() {
    std::set<int> open;
    for (int fd : {0, 1, 2})
        if (::fcntl(fd, F_GETFD) >= 0) open.insert(fd);
    return open;
}

class ProcessLauncherTest : public ::testing::Test {
protected:
    ProcessLauncherTest() {
        std::string pattern = (fs::temp_directory_path() / "velmora-launch-XXXXXX").string();
        m_dir = ::mkdtemp(pattern.data());
        m_report = m_dir / "probe-report";
    }
    ~ProcessLauncherTest() override { fs::remove_all(m_dir); }

    // Starts the probe, waits for it to end, reaps it and reads its report.
    CReport Run(const std::string& path, const std::vector<std::string>& args,
                const std::vector<int>& inherit,
                std::vector<std::pair<std::string, std::string>> environment = {}) {
        environment.emplace_back("VELMORA_PROBE_REPORT", m_report.string());
        Platform::CStartedProcess process;
        std::string reason;
        if (!Platform::StartProcess(path, args, inherit, environment, process, reason)) {
            ADD_FAILURE() << reason;
            return {};
        }
        EXPECT_TRUE(WaitReadable(process.m_pidfd));
        std::string how;
        EXPECT_TRUE(Platform::Reap(process.m_pidfd, how));
        EXPECT_EQ(how, "exited with status 0");
        return ReadReport();
    }

    CReport ReadReport() const {
        CReport report;
        std::ifstream in(m_report);
        std::string line;
        while (std::getline(in, line)) {
            std::istringstream words(line);
            std::string key;
            int number = 0;
            words >> key;
            const auto rest = [&words] {
                std::string text;
                std::getline(words >> std::ws, text);
                return text;
            };
            if (key == "arg") {
                words >> number;
                const std::string text = rest();
                report.m_args.push_back(text.substr(1, text.size() - 2));
            } else if (key == "self") {
                report.m_self = rest();
            } else if (key == "env") {
                report.m_env = rest();
            } else if (key == "fd") {
                words >> number;
                report.m_fds[number] = rest();
            } else if (key == "data") {
                words >> number;
                report.m_data[number] = rest();
            } else if (key == "state") {
                words >> number;
                report.m_state[number] = rest();
            } else if (key == "problem") {
                report.m_problems.push_back(rest());
            } else if (key == "done") {
                report.m_bDone = true;
            }
        }
        return report;
    }

    fs::path m_dir, m_report;
};

}  // namespace

TEST_F(ProcessLauncherTest, PassesArgvExactlyAndInheritsOnlyTheListedDescriptors) {
    CLoopbackPair handedOff, unlisted;
    CLoopbackPair stray(false);  // an accepted socket someone forgot to mark close-on-exec
    std::string reason;
    CFd copy(Platform::DuplicateForNewProcess(handedOff.m_server.Get(), reason));
    ASSERT_GE(copy.Get(), 0) << reason;
    handedOff.m_server.Reset();
    handedOff.Send("hello");

    const std::vector<std::string> args = {
        std::to_string(copy.Get()), "abc", "", "12abc", "-5", "two words"};
    const CReport report = Run(VELMORA_HANDOFF_PROBE, args, {copy.Get()});

    ASSERT_TRUE(report.m_bDone);
    std::vector<std::string> argv = {VELMORA_HANDOFF_PROBE};
    argv.insert(argv.end(), args.begin(), args.end());
    EXPECT_EQ(report.m_args, argv);

    std::set<int> expected = StandardStreams();
    expected.insert(copy.Get());
    EXPECT_EQ(report.Numbers(), expected);
    const std::string& inherited = report.m_fds.at(copy.Get());
    EXPECT_EQ(inherited.rfind("cloexec=1 adopt=ok | socket domain=2 type=1 listening=0", 0), 0u)
        << inherited;
    EXPECT_EQ(report.m_data.at(copy.Get()), "hello");
    EXPECT_TRUE(IsCloseOnExec(copy.Get())) << "cleared in the child only";
    EXPECT_EQ(report.m_env, "absent");
    EXPECT_TRUE(report.m_problems.empty());
}

TEST_F(ProcessLauncherTest, CarriesStateLargerThanAPipeInAMemfdAndHidesTheVariable) {
    CLoopbackPair handedOff;
    std::string reason;
    CFd copy(Platform::DuplicateForNewProcess(handedOff.m_server.Get(), reason));
    ASSERT_GE(copy.Get(), 0) << reason;

    Platform::CHandOffState state;
    std::vector<char>& big = state.m_pending[copy.Get()];
    std::mt19937 random(7);
    for (int i = 0; i < (3 << 19); ++i) big.push_back(static_cast<char>(random()));
    state.m_pending[4242] = {'t', 'a', 'i', 'l'};
    CFd memfd(state.WriteToMemfd(reason));
    ASSERT_GE(memfd.Get(), 0) << reason;

    const CReport report =
        Run(VELMORA_HANDOFF_PROBE, {std::to_string(copy.Get())}, {copy.Get(), memfd.Get()},
            {{Platform::kHandOffStateVariable, std::to_string(memfd.Get())}});

    ASSERT_TRUE(report.m_bDone);
    EXPECT_TRUE(report.m_problems.empty()) << report.m_problems.front();
    ASSERT_EQ(report.m_state.size(), 2u);
    EXPECT_EQ(report.m_state.at(copy.Get()), std::to_string(big.size()) + " " + Fnv1a(big));
    EXPECT_EQ(report.m_state.at(4242), "4 " + Fnv1a(state.m_pending[4242]));
    EXPECT_EQ(report.m_env, "absent");
    EXPECT_EQ(report.m_fds.count(memfd.Get()), 0u) << "read and closed at start-up";
    EXPECT_EQ(report.m_fds.count(copy.Get()), 1u);
}

TEST_F(ProcessLauncherTest, LeavesNoZombieOnceReaped) {
    int pipeEnds[2];
    ASSERT_EQ(::pipe2(pipeEnds, O_CLOEXEC), 0);
    CFd holdRead(pipeEnds[0]), holdWrite(pipeEnds[1]);
    Platform::CStartedProcess process;
    std::string reason;
    ASSERT_TRUE(Platform::StartProcess(VELMORA_HANDOFF_PROBE, {}, {holdRead.Get()},
                                       {{"VELMORA_PROBE_HOLD", std::to_string(holdRead.Get())},
                                        {"VELMORA_PROBE_REPORT", m_report.string()}},
                                       process, reason))
        << reason;
    ASSERT_GE(process.m_pidfd, 0);
    const fs::path proc = "/proc/" + std::to_string(process.m_pid);

    std::string how;
    EXPECT_FALSE(Platform::Reap(process.m_pidfd, how)) << "still held: " << how;
    EXPECT_GE(::fcntl(process.m_pidfd, F_GETFD), 0) << "kept for the next wait";

    holdWrite.Reset();
    ASSERT_TRUE(WaitReadable(process.m_pidfd));
    std::ifstream stat(proc / "stat");
    std::string pid, name, stateLetter;
    stat >> pid >> name >> stateLetter;
    EXPECT_EQ(stateLetter, "Z") << "ended, not yet collected";

    ASSERT_TRUE(Platform::Reap(process.m_pidfd, how));
    EXPECT_EQ(how, "exited with status 0");
    EXPECT_FALSE(fs::exists(proc));
    EXPECT_TRUE(ReadReport().m_bDone);
}

// The copy starts from the path read at start-up: whatever is installed there runs, and
// when nothing is, the caller learns why and still holds its duplicates.
TEST_F(ProcessLauncherTest, StartsWhatIsAtThePathAndFailsWhenNothingIs) {
    const fs::path installed = m_dir / "installed copy";
    fs::copy_file(VELMORA_HANDOFF_PROBE, installed);
    CLoopbackPair handedOff;
    std::string reason;
    CFd copy(Platform::DuplicateForNewProcess(handedOff.m_server.Get(), reason));
    ASSERT_GE(copy.Get(), 0) << reason;
    handedOff.m_server.Reset();

    const CReport report = Run(installed.string(), {}, {});
    EXPECT_EQ(report.m_self, installed.string());
    EXPECT_EQ(report.m_args, std::vector<std::string>{installed.string()});

    fs::remove(installed);
    Platform::CStartedProcess process;
    EXPECT_FALSE(Platform::StartProcess(installed.string(), {std::to_string(copy.Get())},
                                        {copy.Get()}, {}, process, reason));
    EXPECT_EQ(reason, "posix_spawn: No such file or directory");
    EXPECT_EQ(process.m_pidfd, -1);

    // Taken back, the duplicate still carries the connection.
    EXPECT_TRUE(IsCloseOnExec(copy.Get()));
    handedOff.Send("back");
    char buffer[8] = {};
    ASSERT_EQ(::recv(copy.Get(), buffer, sizeof buffer, 0), 4);
    EXPECT_EQ(std::string(buffer, 4), "back");
}

TEST_F(ProcessLauncherTest, FailsWhenAListedDescriptorIsClosed) {
    CFd closed(::dup(1));
    const int number = closed.Get();
    closed.Reset();
    Platform::CStartedProcess process;
    std::string reason;
    EXPECT_FALSE(Platform::StartProcess(VELMORA_HANDOFF_PROBE, {}, {number}, {}, process, reason));
    EXPECT_EQ(reason, "posix_spawn: Bad file descriptor");
}

TEST(ReadExecutablePath, GivesTheRunningProgramsFullPath) {
    std::string reason;
    const std::string path = Platform::ReadExecutablePath(reason);
    EXPECT_EQ(path, fs::canonical(VELMORA_TEST_BINARY).string()) << reason;
}
