// The confirmation channel on a real socketpair and a real run loop; the far end is a plain
// descriptor that writes what a well-behaved, broken or hostile peer would.
#include "CConfirmationChannel.h"

#include <gtest/gtest.h>

#include <boost/asio/io_service.hpp>
#include <boost/make_shared.hpp>

#include <sys/socket.h>
#include <unistd.h>

#include <optional>
#include <string>

namespace {

using CChannel = CNoxSocket::CConfirmationChannel;

struct CPair {
    CPair() { EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, m_ends), 0); }
    ~CPair() {
        if (m_ends[1] >= 0) ::close(m_ends[1]);
    }
    void Write(const std::string& text) {
        ASSERT_EQ(::write(m_ends[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    void CloseFar() {
        ::close(m_ends[1]);
        m_ends[1] = -1;
    }
    std::string ReadAll() {
        std::string text;
        char buffer[64];
        for (ssize_t n; (n = ::read(m_ends[1], buffer, sizeof buffer)) > 0;) text.append(buffer, n);
        return text;
    }
    int m_ends[2] = {-1, -1};
};

// What the parent makes of what the far end (the new process) wrote before closing, or without
// closing when bClose is false.
CChannel::CResult ParentHears(const std::string& written, bool bClose = true) {
    boost::asio::io_service ioService;
    CPair pair;
    pair.Write(written);
    if (bClose) pair.CloseFar();
    auto spChannel = boost::make_shared<CChannel>(ioService, pair.m_ends[0]);
    std::optional<CChannel::CResult> heard;
    spChannel->AwaitReady([&](const CChannel::CResult& result) { heard = result; });
    ioService.run();
    EXPECT_TRUE(heard.has_value()) << written;
    return heard.value_or(CChannel::CResult());
}

}  // namespace

TEST(CConfirmationChannelTest, TheParentTakesOneReadyLineAndNothingElse) {
    const CChannel::CResult ready = ParentHears("ready 3\n", false);
    EXPECT_EQ(ready.m_eOutcome, CChannel::eReady);
    EXPECT_EQ(ready.m_nCount, 3u);
    // End-of-file right behind the line does not undo it.
    EXPECT_EQ(ParentHears("ready 10000\n").m_nCount, 10000u);

    for (const std::string& garbled :
         {std::string("ready 3\nready 3\n"), std::string("ready\n"), std::string("ready -1\n"),
          std::string("READY 3\n"), std::string("ready 3 \n"),
          std::string("ready 3"
                      "\0\n",
                      9),
          std::string("ready 99999999999999999999999999999999"), std::string("hello\n")}) {
        const CChannel::CResult result = ParentHears(garbled, false);
        EXPECT_EQ(result.m_eOutcome, CChannel::eGarbled) << garbled;
        EXPECT_EQ(result.m_text, garbled);
    }

    // The new process ended before its line was whole, or wrote nothing at all.
    EXPECT_EQ(ParentHears("").m_eOutcome, CChannel::eEndOfFile);
    EXPECT_EQ(ParentHears("ready 3").m_eOutcome, CChannel::eEndOfFile);
}

TEST(CConfirmationChannelTest, TheParentsCommitReachesTheNewProcessWhichHearsItOrTheEnd) {
    // Parent side: "commit" is written whole, then the end closes.
    {
        boost::asio::io_service ioService;
        CPair pair;
        auto spChannel = boost::make_shared<CChannel>(ioService, pair.m_ends[0]);
        std::optional<CChannel::CResult> sent;
        spChannel->Commit([&](const CChannel::CResult& result) { sent = result; });
        ioService.run();
        ASSERT_TRUE(sent.has_value());
        EXPECT_EQ(sent->m_eOutcome, CChannel::eCommit);
        spChannel->Close();
        EXPECT_EQ(pair.ReadAll(), "commit\n");
    }
    // New process side: reports its count, then takes the answer as it comes.
    struct CCase {
        std::string m_answer;
        bool m_bClose;
        CChannel::EOutcome m_eOutcome;
    };
    for (const CCase& c :
         {CCase{"commit\n", false, CChannel::eCommit}, CCase{"commit\n", true, CChannel::eCommit},
          CCase{"", true, CChannel::eEndOfFile}, CCase{"comm", true, CChannel::eEndOfFile},
          CCase{"rollback\n", false, CChannel::eGarbled},
          CCase{"commit\ncommit\n", false, CChannel::eGarbled}}) {
        boost::asio::io_service ioService;
        CPair pair;
        pair.Write(c.m_answer);
        if (c.m_bClose) {
            // Shut for writing only: the new process's "ready" still has somewhere to go.
            ::shutdown(pair.m_ends[1], SHUT_WR);
        }
        auto spChannel = boost::make_shared<CChannel>(ioService, pair.m_ends[0]);
        std::optional<CChannel::CResult> heard;
        spChannel->ReportReady(2, [&](const CChannel::CResult& result) { heard = result; });
        ioService.run();
        ASSERT_TRUE(heard.has_value()) << c.m_answer;
        EXPECT_EQ(heard->m_eOutcome, c.m_eOutcome) << c.m_answer;
        spChannel->Close();
        EXPECT_EQ(pair.ReadAll(), "ready 2\n");
    }
    // A parent that has gone before the new process could write: the new process serves on.
    {
        boost::asio::io_service ioService;
        CPair pair;
        pair.CloseFar();
        auto spChannel = boost::make_shared<CChannel>(ioService, pair.m_ends[0]);
        std::optional<CChannel::CResult> heard;
        spChannel->ReportReady(1, [&](const CChannel::CResult& result) { heard = result; });
        ioService.run();
        ASSERT_TRUE(heard.has_value());
        EXPECT_EQ(heard->m_eOutcome, CChannel::eEndOfFile);
    }
}
