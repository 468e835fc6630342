#include "net/LineProtocol.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "fakes/ClientOwner.h"
#include "fakes/ScriptedLineServer.h"
#include "fixtures/Fixtures.h"
#include "net/UniqueFd.h"

namespace {

// ---------------------------------------------------------------------------------------
// The dot-terminated block on its own, fed in pieces of every size.

// Lines a peer doubled the dot of, a dot inside a line, a lone carriage return after a
// leading dot, an empty line; then the end line and what the server says next.
const std::string kBlock =
    "Subject: x\r\n\r\n..leading dot\r\nmid.dot\r\n.\rz\r\n. a\r\n\r\nlast.\r\n.\r\n";
const std::string kAfter = "+OK next\r\n";
const std::string kUnstuffed =
    "Subject: x\r\n\r\n.leading dot\r\nmid.dot\r\n\rz\r\n a\r\n\r\nlast.\r\n";

class DotStreamTest : public SandboxTest {
protected:
    // Feeds the pieces in order; returns the last result and what the file holds.
    CDotStream::Result FeedAll(const std::vector<std::string>& pieces, CDotStream::Options o,
                               std::string* file, size_t* lastUsed = nullptr) {
        UniqueFd fd(::open(Path("out").c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
        stream_.Start(fd.get(), o);
        CDotStream::Result r = CDotStream::Result::More;
        for (size_t i = 0; i < pieces.size(); ++i) {
            size_t used = 0;
            r = stream_.Feed(pieces[i].data(), pieces[i].size(), &used);
            if (lastUsed) *lastUsed = used;
            if (r != CDotStream::Result::More) {
                EXPECT_EQ(i, pieces.size() - 1) << "ended early";
                break;
            }
            EXPECT_EQ(used, pieces[i].size());
        }
        *file = ReadFileBytes(Path("out"));
        return r;
    }
    CDotStream stream_;
};

TEST_F(DotStreamTest, TheEndLineIsFoundWhereverTheReadsSplitIt) {
    const std::string all = kBlock + kAfter;
    for (bool undo : {true, false}) {
        CDotStream::Options o;
        o.undoStuffing = undo;
        const std::string& want = undo ? kUnstuffed : kBlock;
        const int lines = undo ? 8 : 9;  // the end line counts when it is written
        for (size_t split = 0; split <= kBlock.size(); ++split) {
            SCOPED_TRACE("split at " + std::to_string(split) + (undo ? " undo" : " raw"));
            std::string file;
            size_t used = 0;
            std::vector<std::string> pieces = {all.substr(0, split), all.substr(split)};
            if (split == kBlock.size()) pieces = {kBlock};
            ASSERT_EQ(FeedAll(pieces, o, &file, &used), CDotStream::Result::End);
            EXPECT_EQ(file, want);
            EXPECT_EQ(used, kBlock.size() - split + (split == kBlock.size() ? split : 0))
                << "what follows the end line is not the block's";
            EXPECT_EQ(stream_.lineCount(), lines);
        }
        // One byte a read.
        std::vector<std::string> bytes;
        for (char c : kBlock) bytes.emplace_back(1, c);
        std::string file;
        ASSERT_EQ(FeedAll(bytes, o, &file), CDotStream::Result::End);
        EXPECT_EQ(file, want);
    }
}

TEST_F(DotStreamTest, AnEmptyBlockAndAMarkerNotAtALineStart) {
    std::string file;
    EXPECT_EQ(FeedAll({".\r\n"}, {}, &file), CDotStream::Result::End);
    EXPECT_EQ(file, "");
    EXPECT_EQ(stream_.lineCount(), 0);
    EXPECT_EQ(FeedAll({".\n"}, {}, &file), CDotStream::Result::End) << "a bare line feed too";
    // "\r\n.\r\n" inside a line that only looks like the end is no end.
    EXPECT_EQ(FeedAll({"a\r\nb.\r\n", "x.\r\n"}, {}, &file), CDotStream::Result::More);
    EXPECT_EQ(file, "a\r\nb.\r\nx.\r\n");
    EXPECT_EQ(stream_.lineCount(), 3);
}

TEST_F(DotStreamTest, WhatThePeerSendsIsBounded) {
    // A block without end, without a line end: nothing is held back, and the limit ends it.
    CDotStream::Options o;
    o.maxBytes = 4096;
    std::string file;
    std::vector<std::string> pieces(5, std::string(1024, 'x'));
    EXPECT_EQ(FeedAll(pieces, o, &file), CDotStream::Result::TooLarge);
    EXPECT_EQ(file.size(), 4096u) << "the piece past the limit is not written";

    // A disk that is full.
    UniqueFd full(::open("/dev/full", O_WRONLY | O_CLOEXEC));
    ASSERT_TRUE(full.valid());
    stream_.Start(full.get(), {});
    size_t used = 0;
    EXPECT_EQ(stream_.Feed("abc\r\n", 5, &used), CDotStream::Result::WriteFailed);
    EXPECT_EQ(stream_.writeError(), ENOSPC);
}

// ---------------------------------------------------------------------------------------
// The layer under a client of its own over a socket.

constexpr UINT WM_TEST_DONE = WM_USER + 90;
constexpr UINT WM_TEST_LOOKUP = WM_USER + 91;
constexpr uint32_t kTestBusy = 0x8F000001;
constexpr uint32_t kTestNoResponse = 0x8F000002;
constexpr uint32_t kTestSendFailed = 0x8F000003;
constexpr uint32_t kTestTooLong = 0x8F000004;
constexpr uint32_t kTestTooLarge = 0x8F000005;
constexpr uint32_t kTestRefused = 0x8F000006;

const ClientTraits kTestTraits = {
    .timeoutSetting = "TimeoutTest",
    .defaultTimeout = 60000,
    .timerId = 9,
    .defaultPort = 1,
    .lookupMessage = WM_TEST_LOOKUP,
    .resolvingState = 6,
    .busyCode = kTestBusy,
    .noResponseCode = kTestNoResponse,
};
const LineTraits kTestLineTraits = {
    .sendFailedCode = kTestSendFailed,
    .tooLongCode = kTestTooLong,
    .tooLargeCode = kTestTooLarge,
    .maxReply = 4096,
};

// A POP3-like client: "+" is positive, LIST brings a dot-terminated block.
class TestLineClient : public CLineClient {
public:
    enum State : int { kGreeting = 2, kReady = 3, kListSent = 4, kData = 5 };
    TestLineClient() : CLineClient(kTestTraits, kTestLineTraits) {}

    uint32_t Connect(int port) { return ConnectSequence("127.0.0.1", port, WM_TEST_DONE, true); }
    uint32_t List(int fd, CDotStream::Options options, const std::string& command = "LIST\r\n") {
        if (opMessage() != 0) return kTestBusy;
        fd_ = fd;
        options_ = options;
        SetOpMessage(WM_TEST_DONE);
        SendCommand(command, kListSent);
        return 0;
    }

protected:
    uint32_t Reconnect() override {
        return ConnectSequence("127.0.0.1", port(), WM_TEST_DONE, false);
    }
    void OnConnected() override { SetState(kGreeting); }
    void OnReply(const std::string& reply) override {
        bool positive = reply[0] == '+';
        if (state() == kGreeting) {
            if (!positive) return Fail(kTestRefused);
            SetState(kReady);
            PostResult(0);
        } else if (state() == kListSent) {
            if (!positive) {
                SetState(kReady);
                PostResult(kTestRefused);
                return;
            }
            SetState(kData);
            StartData(fd_, options_, kReady);
        }
    }

private:
    int fd_ = -1;
    CDotStream::Options options_;
};

class LineClientTest : public SandboxTest {
protected:
    void SetUp() override {
        SandboxTest::SetUp();
        server_.greeting = "+OK hello\r\n";
        server_.replies["LIST"] = "+OK here it comes\r\n" + kBlock;
        out_.Reset(::open(Path("out").c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    }
    std::pair<UINT, uint32_t> Next() {
        size_t want = taken_ + 1;
        EXPECT_TRUE(waitFor([&] { return owner_.done.size() >= want; }, std::chrono::seconds(20)));
        if (owner_.done.size() < want) return {0, 0xFFFFFFFF};
        return owner_.done[taken_++];
    }
    void Truncate() {
        ASSERT_EQ(::ftruncate(out_.get(), 0), 0);
        ASSERT_EQ(::lseek(out_.get(), 0, SEEK_SET), 0);
    }

    ScriptedLineServer server_;
    ClientOwner<TestLineClient, WM_TEST_LOOKUP> owner_;
    UniqueFd out_;
    size_t taken_ = 0;
};

TEST_F(LineClientTest, ABlockArrivesWholeHoweverTheServerWritesIt) {
    using Pace = ScriptedLineServer::Pace;
    for (Pace pace : {Pace::Whole, Pace::Halves, Pace::OneByte}) {
        SCOPED_TRACE(static_cast<int>(pace));
        server_.pace = pace;
        ASSERT_EQ(owner_.client.Connect(server_.port()), 0u);
        ASSERT_EQ(Next(), std::make_pair(WM_TEST_DONE, 0u));
        for (int round = 0; round < 2; ++round) {
            Truncate();
            ASSERT_EQ(owner_.client.List(out_.get(), {}), 0u);
            EXPECT_EQ(owner_.client.List(out_.get(), {}), kTestBusy);
            EXPECT_EQ(Next(), std::make_pair(WM_TEST_DONE, 0u));
            EXPECT_EQ(ReadFileBytes(Path("out")), kUnstuffed);
            EXPECT_EQ(owner_.client.lineCount(), 8);
            EXPECT_EQ(owner_.client.state(), TestLineClient::kReady) << "the session stays";
        }
        EXPECT_EQ(server_.received.back(), "LIST\r\nLIST\r\n") << "exactly these bytes";
        owner_.client.Abort();
    }
    EXPECT_EQ(owner_.done.size(), taken_) << "one completion for each operation";
}

TEST_F(LineClientTest, AReplyWithoutEndAndABlockWithoutEndAreBounded) {
    // A greeting that never ends its line: the time-out is a minute away, only the bound on
    // the reply ends it.
    server_.greeting = "+OK " + std::string(64 * 1024, 'x');
    ASSERT_EQ(owner_.client.Connect(server_.port()), 0u);
    EXPECT_EQ(Next(), std::make_pair(WM_TEST_DONE, kTestTooLong));
    EXPECT_LE(owner_.client.replyText().size(), 1024u);
    EXPECT_EQ(owner_.client.state(), 0);

    // A list that never ends.
    server_.greeting = "+OK hello\r\n";
    server_.replies["LIST"] = "+OK\r\n";
    for (int i = 0; i < 2000; ++i) server_.replies["LIST"] += std::string(100, 'y') + "\r\n";
    ASSERT_EQ(owner_.client.Connect(server_.port()), 0u);
    ASSERT_EQ(Next(), std::make_pair(WM_TEST_DONE, 0u));
    CDotStream::Options o;
    o.maxBytes = 64 * 1024;
    ASSERT_EQ(owner_.client.List(out_.get(), o), 0u);
    EXPECT_EQ(Next(), std::make_pair(WM_TEST_DONE, kTestTooLarge));
    EXPECT_LE(ReadFileBytes(Path("out")).size(), 64u * 1024);
    EXPECT_EQ(owner_.client.state(), 0);
}

TEST_F(LineClientTest, AHangUpInTheMiddleOfAReplyEndsAtOnce) {
    // The reply time-out is a minute: only the hang-up can end these.
    server_.dropMidReply = {""};
    ASSERT_EQ(owner_.client.Connect(server_.port()), 0u);
    EXPECT_EQ(Next(), std::make_pair(WM_TEST_DONE, kTestNoResponse));

    server_.dropMidReply = {"LIST"};
    server_.pace = ScriptedLineServer::Pace::OneByte;
    ASSERT_EQ(owner_.client.Connect(server_.port()), 0u);
    ASSERT_EQ(Next(), std::make_pair(WM_TEST_DONE, 0u));
    ASSERT_EQ(owner_.client.List(out_.get(), {}), 0u);
    EXPECT_EQ(Next(), std::make_pair(WM_TEST_DONE, kTestNoResponse)) << "half a block is no block";
    EXPECT_EQ(owner_.client.state(), 0);
}

TEST_F(LineClientTest, ACommandTooLongForOneLineNeverGoesOutInPart) {
    ASSERT_EQ(owner_.client.Connect(server_.port()), 0u);
    ASSERT_EQ(Next(), std::make_pair(WM_TEST_DONE, 0u));
    std::string command = "LIST " + std::string(kMaxCommandLine, 'a') + "\r\n";
    ASSERT_EQ(owner_.client.List(out_.get(), {}, command), 0u);
    EXPECT_EQ(Next(), std::make_pair(WM_TEST_DONE, kTestSendFailed));
    EXPECT_EQ(owner_.client.state(), 0);
    ASSERT_TRUE(waitFor([&] { return server_.connections == 1; }));
    EXPECT_EQ(server_.received[0], "");
}

}  // namespace
