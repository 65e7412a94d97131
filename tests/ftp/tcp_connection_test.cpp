// The control connection's line and reply machinery, fed from memory through the byte-stream seam.
#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "net/id_exceptions.h"
#include "net/id_stack.h"
#include "net/id_tcp_connection.h"
#include "net/memory_byte_stream.h"
#include "support/fake_clock.h"

namespace signposter::net {
namespace {

// A connection reading the given bytes, handed out pieceSize at a time, then the end of the stream.
struct Fed {
    MemoryByteStream stream;
    TIdTCPConnection connection;
    explicit Fed(std::string bytes, int pieceSize = 32768) : stream(std::move(bytes), pieceSize) {
        connection.AttachByteStream(&stream);
    }
};

using Lines = std::vector<std::string>;

TEST(ReplyReader, LineEndsAndBlankLines) {
    Fed fed("a\r\nb\nc\rd\r\n\r\n   \r\n\t\n250 ok\r\n");
    EXPECT_EQ(fed.connection.ReadLine("", 1000), "a");
    EXPECT_EQ(fed.connection.ReadLine("", 1000), "b");
    EXPECT_EQ(fed.connection.ReadLine("", 1000), "c\rd");  // a CR inside the line stays
    EXPECT_EQ(fed.connection.ReadReply({250}), 250);       // blank lines before a reply are skipped
    EXPECT_EQ(fed.connection.LastReplyLines(), Lines{"250 ok"});
}

TEST(ReplyReader, OtherTerminator) {
    Fed fed("one||two||");
    EXPECT_EQ(fed.connection.ReadLine("||", 1000), "one");
    EXPECT_EQ(fed.connection.ReadLine("||", 1000), "two");
}

TEST(ReplyReader, MultiLineReplies) {
    Fed fed(
        "220-Welcome\r\n220-Second\r\n\r\n220 Ready\r\n"
        "230-a\r\n230\r\n"
        "211-Features\r\n text line\r\n   211 End\r\n"
        "214-x\n214-y\n214 z\n");
    TIdTCPConnection& c = fed.connection;
    EXPECT_EQ(c.ReadReply({220}), 220);
    EXPECT_EQ(c.LastReplyLines(), (Lines{"220-Welcome", "220-Second", "220 Ready"}));
    EXPECT_EQ(c.LastReplyText(), "220 Ready");
    // A line shorter than four characters ends a multi-line reply.
    EXPECT_EQ(c.ReadReply({230}), 230);
    EXPECT_EQ(c.LastReplyLines(), (Lines{"230-a", "230"}));
    // Lines are compared after trimming: a continuation with spaces before "211 " ends the reply.
    EXPECT_EQ(c.ReadReply({211}), 211);
    EXPECT_EQ(c.LastReplyLines(), (Lines{"211-Features", "text line", "211 End"}));
    // LF-only endings read the same.
    EXPECT_EQ(c.ReadReply({214}), 214);
    EXPECT_EQ(c.LastReplyLines().size(), 3u);
}

TEST(ReplyReader, PiecemealArrivalGivesTheSameReply) {
    Fed fed("220-Welcome\r\n220-Second\r\n220 Ready\r\n", 1);
    EXPECT_EQ(fed.connection.ReadReply({220}), 220);
    EXPECT_EQ(fed.connection.LastReplyLines(), (Lines{"220-Welcome", "220-Second", "220 Ready"}));
}

TEST(ReplyReader, ReplyCodes) {
    Fed fed("220x single\r\n+OK fine\r\n-ERR bad\r\nabc text\r\n$FF hex\r\n-99 negative\r\n22\r\n");
    TIdTCPConnection& c = fed.connection;
    EXPECT_EQ(c.ReadReply({}), 220);
    EXPECT_EQ(c.LastReplyLines().size(), 1u);
    EXPECT_EQ(c.ReadReply({}), 1);
    EXPECT_EQ(c.ReadReply({}), 0);
    EXPECT_EQ(c.ReadReply({}), 0);
    EXPECT_EQ(c.ReadReply({}), 255);  // the standard integer reading takes "$FF"
    EXPECT_EQ(c.ReadReply({}), -99);
    EXPECT_EQ(c.ReadReply({}), 22);
    EXPECT_EQ(c.LastReplyCode(), 22);
}

TEST(ReplyReader, UnexpectedCodeRaisesWithTheLastLineAndKeepsTheConnection) {
    Fed fed("530-Denied\r\n530 Login incorrect.\r\n200 next\r\n");
    try {
        fed.connection.ReadReply({230, 331});
        FAIL() << "accepted 530";
    } catch (const EIdProtocolReplyError& e) {
        EXPECT_EQ(e.ReplyCode(), 530);
        EXPECT_EQ(e.Message(), "530 Login incorrect.");
        EXPECT_STREQ(e.ClassName(), "EIdProtocolReplyError");
    }
    EXPECT_TRUE(fed.connection.IsConnected());
    EXPECT_EQ(fed.connection.ReadReply({200}), 200);  // the failed reply was consumed whole
}

TEST(ReplyReader, TwoRepliesInOneReceive) {
    Fed fed("331 Password required.\r\n230 Logged in.\r\n");
    EXPECT_EQ(fed.connection.ReadReply({331}), 331);
    EXPECT_EQ(fed.connection.ReadReply({230}), 230);
    EXPECT_EQ(fed.stream.ReceiveCalls(), 1);
}

TEST(ReplyReader, PeerClosingEndsTheWait) {
    Fed empty("");
    EXPECT_THROW(empty.connection.ReadReply({220}), EIdConnClosedGracefully);
    EXPECT_FALSE(empty.connection.IsConnected());

    // Unterminated bytes are not delivered as a line.
    Fed partial("220 Rea");
    try {
        partial.connection.ReadReply({220});
        FAIL() << "a partial line was taken as a reply";
    } catch (const EIdConnClosedGracefully& e) {
        EXPECT_EQ(e.Message(), "Connection Closed Gracefully.");
    }

    // A multi-line reply cut off before its last line.
    Fed cut("220-Welcome\r\n220-more\r\n");
    EXPECT_THROW(cut.connection.ReadReply({220}), EIdConnClosedGracefully);
}

TEST(ReplyReader, LongLinesAreRefusedWithoutGrowingTheBuffer) {
    const std::string longest(TIdTCPConnection::kMaxLineLength, 'x');
    Fed fits("200 " + longest.substr(4) + "\r\n");
    EXPECT_EQ(fits.connection.ReadReply({200}), 200);

    Fed over("200 " + longest.substr(3) + "\r\n");
    try {
        over.connection.ReadReply({200});
        FAIL() << "a line over the limit was read";
    } catch (const EIdReplyTooLarge& e) {
        EXPECT_EQ(e.Message(), "Reply line longer than 8192 bytes.");
    }
    EXPECT_FALSE(over.connection.IsConnected());

    // A server that never ends its line: the read stops long before the stream does.
    Fed endless(std::string(4 << 20, 'y'), 4096);
    EXPECT_THROW(endless.connection.ReadReply({200}), EIdReplyTooLarge);
    EXPECT_LT(endless.connection.InputBuffer().size(), 64u * 1024);
    EXPECT_GT(endless.stream.Unread(), 3u << 20);
}

TEST(ReplyReader, RepliesOfTooManyLinesAreRefused) {
    std::string thousand = "220-first\r\n";
    for (int i = 0; i < 998; ++i) thousand += "220-more\r\n";
    Fed fits(thousand + "220 last\r\n");
    EXPECT_EQ(fits.connection.ReadReply({220}), 220);
    EXPECT_EQ(fits.connection.LastReplyLines().size(), 1000u);

    Fed over(thousand + "220-one too many\r\n220 last\r\n");
    try {
        over.connection.ReadReply({220});
        FAIL() << "a reply over the limit was read";
    } catch (const EIdReplyTooLarge& e) {
        EXPECT_EQ(e.Message(), "Reply longer than 1000 lines.");
    }
    EXPECT_FALSE(over.connection.IsConnected());

    // Blank lines cost nothing to keep, but an endless run of them would hold the thread.
    std::string blanks;
    for (int i = 0; i < 5000; ++i) blanks += "\r\n";
    Fed empty(blanks + "220 late\r\n");
    EXPECT_THROW(empty.connection.ReadReply({220}), EIdReplyTooLarge);
}

TEST(CommandWriter, LinesGoOutAsWrittenWithCrLf) {
    Fed fed("200 ok\r\n200 ok\r\n");
    std::vector<std::pair<TraceDirection, std::string>> trace;
    fed.connection.SetTraceHandler(
        [&](TraceDirection direction, const std::string& line) { trace.emplace_back(direction, line); });
    EXPECT_EQ(fed.connection.SendCommand("type A", 200), 200);
    EXPECT_EQ(fed.connection.SendCommand("", -1), 200);  // an empty command is an empty line
    EXPECT_EQ(fed.stream.Sent(), "type A\r\n\r\n");
    ASSERT_EQ(trace.size(), 4u);
    EXPECT_EQ(trace[0], std::make_pair(TraceDirection::Sent, std::string("type A")));
    EXPECT_EQ(trace[1], std::make_pair(TraceDirection::Received, std::string("200 ok")));
}

TEST(CommandWriter, LineBreaksInACommandAreRefusedBeforeSending) {
    Fed fed("200 ok\r\n");
    for (const char* text : {"user bob\r\nDELE index.htm", "pass a\nb", "STOR x\r"}) {
        try {
            fed.connection.SendCommand(text, 200);
            FAIL() << "sent " << text;
        } catch (const EIdInvalidCommand& e) {
            EXPECT_STREQ(e.ClassName(), "EIdInvalidCommand");
        }
    }
    EXPECT_EQ(fed.stream.Sent(), "");
    EXPECT_TRUE(fed.connection.IsConnected());
}

TEST(CommandWriter, StreamsGoOutInChunksWithProgress) {
    Fed fed("");
    std::string content;
    for (int i = 0; i < 100000; ++i) content += static_cast<char>(i * 7);
    std::istringstream file(content);
    int begins = 0, ends = 0;
    std::int32_t total = -1, last = -1;
    fed.connection.SetOnWorkBegin([&](TIdComponent*, TWorkMode mode, std::int32_t t) {
        EXPECT_EQ(mode, TWorkMode::Write);
        ++begins;
        total = t;
    });
    fed.connection.SetOnWork([&](TIdComponent*, TWorkMode, std::int32_t count) { last = count; });
    fed.connection.SetOnWorkEnd([&](TIdComponent*, TWorkMode) { ++ends; });
    fed.connection.SendStream(file, true);
    EXPECT_EQ(fed.stream.Sent(), content);
    EXPECT_LE(fed.stream.LargestSend(), 32768);
    EXPECT_EQ(begins, 1);
    EXPECT_EQ(ends, 1);
    EXPECT_EQ(total, 100000);
    EXPECT_EQ(last, 100000);
    EXPECT_EQ(fed.connection.WorkLevel(TWorkMode::Write), 0);
}

TEST(CommandWriter, StreamFromItsCurrentPosition) {
    Fed fed("");
    std::istringstream file("0123456789");
    file.seekg(4);
    fed.connection.SendStream(file, false);
    EXPECT_EQ(fed.stream.Sent(), "456789");
}

TEST(Connection, DroppingNotifiesOnceAndInputCanBeTakenOnlyWhenThere) {
    Fed fed("abc");
    std::vector<std::string> notices;
    int disconnected = 0;
    fed.connection.SetOnStatus(
        [&](TIdComponent*, TIdStatus, const std::string& text) { notices.push_back(text); });
    fed.connection.SetOnDisconnected([&](TIdComponent*) { ++disconnected; });
    EXPECT_EQ(fed.connection.FillInput(false, 0), 3);
    EXPECT_THROW(fed.connection.TakeInput(4), EIdNotEnoughDataInBuffer);
    EXPECT_EQ(fed.connection.TakeInput(2), "ab");
    fed.connection.CloseConnection();
    fed.connection.CloseConnection();
    EXPECT_EQ(notices, (Lines{"Disconnecting from 127.0.0.1.", "Not connected."}));
    EXPECT_EQ(disconnected, 1);
    EXPECT_TRUE(fed.connection.PeerClosed());
}

// A peer that takes `perSecond` bytes per send and a driven second for each: every single send is quick,
// the transfer as a whole crawls.
class TricklingPeer final : public MemoryByteStream {
public:
    TricklingPeer(testing::FakeClock& clock, int perSecond)
        : MemoryByteStream(""), m_clock(clock), m_perSecond(perSecond) {}
    int SendBytes(const char* data, int count, int timeoutMs) override {
        m_clock.tick += 1000;
        return MemoryByteStream::SendBytes(data, std::min(count, m_perSecond), timeoutMs);
    }

private:
    testing::FakeClock& m_clock;
    int m_perSecond;
};

TEST(DataRateFloor, ATransferUnderOneKibPerSecondOverThirtySecondsFailsAndOneAboveGoesThrough) {
    const std::string file(100 * 1024, 'x');
    testing::FakeClock clock;
    {
        TricklingPeer slow(clock, 1000);
        TIdTCPConnection connection;
        connection.SetClock(clock);
        connection.AttachByteStream(&slow);
        std::istringstream source(file);
        const std::int64_t start = clock.tick;
        try {
            connection.SendStream(source, true);
            FAIL() << "a transfer at 1000 bytes per second went through";
        } catch (const EIdDataTooSlow& e) {
            EXPECT_EQ(e.Message(), "Data connection too slow.");
        }
        EXPECT_EQ(clock.tick - start, 30000);  // one window, not the whole file
    }
    TricklingPeer steady(clock, 1100);
    TIdTCPConnection connection;
    connection.SetClock(clock);
    connection.AttachByteStream(&steady);
    std::istringstream source(file);
    EXPECT_NO_THROW(connection.SendStream(source, true));
    EXPECT_EQ(steady.Sent(), file);
}

// The stack as the socket layer's own, with its failure record open to a fed peer.
class RecordingStack final : public TIdStackPosix {
public:
    using TIdStackPosix::FailWith;
};

// A peer that takes 8 KiB per driven second for ten seconds and then nothing: each later send waits out
// the time it is given and fails as a full socket buffer does.
class StallingPeer final : public MemoryByteStream {
public:
    explicit StallingPeer(testing::FakeClock& clock) : MemoryByteStream(""), m_clock(clock) {}
    int SendBytes(const char* data, int count, int timeoutMs) override {
        if (m_moving-- > 0) {
            m_clock.tick += 1000;
            return MemoryByteStream::SendBytes(data, std::min(count, 8192), timeoutMs);
        }
        m_clock.tick += timeoutMs;
        return static_cast<RecordingStack*>(SharedStack())->FailWith(kWsaETimedOut);
    }

private:
    testing::FakeClock& m_clock;
    int m_moving = 10;
};

TEST(DataRateFloor, AStalledSendFailsThirtySecondsAfterItsLastByteEvenWhenTheWindowWasMet) {
    SetStackFactory([] { return std::make_unique<RecordingStack>(); });
    {
        testing::FakeClock clock;
        StallingPeer peer(clock);
        TIdTCPConnection connection;
        connection.SetClock(clock);
        connection.AttachByteStream(&peer);
        std::istringstream source(std::string(1 << 20, 'x'));
        const std::int64_t start = clock.tick;
        try {
            connection.SendStream(source, true);
            FAIL() << "a stalled send went through";
        } catch (const EIdSocketError& e) {
            EXPECT_EQ(e.ErrorNumber(), kWsaETimedOut);
        }
        EXPECT_EQ(clock.tick - start, 10000 + 30000);
    }
    SetStackFactory(nullptr);
}

// A clock whose waits fail as poll() can (out of memory): the reader must report it, not spin.
class FailingClock final : public testing::FakeClock {
public:
    int Poll(pollfd*, std::size_t, std::int64_t) const override {
        ++polls;
        errno = ENOMEM;
        return -1;
    }
};

TEST(ReplyReader, AFailedWaitIsASocketErrorNotAnEmptyRead) {
    FailingClock clock;
    TIdTCPConnection connection;
    connection.SetClock(clock);
    connection.Socket().OpenSocket();
    try {
        connection.ReadReply({220});
        FAIL() << "read a reply through a failing wait";
    } catch (const EIdSocketError& e) {
        EXPECT_EQ(e.ErrorNumber(), 10055);
    }
    EXPECT_EQ(clock.polls, 1);
}

}  // namespace
}  // namespace signposter::net
