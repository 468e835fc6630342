#include <sys/stat.h>

#include <unistd.h>
#include <filesystem>

#include <QCoreApplication>
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>

#include "fakes/FakeResolver.h"
#include "fixtures/Fixtures.h"
#include "platform/AsyncSocket.h"
#include "platform/TempFile.h"
#include "platform/Window.h"

namespace {

class Recorder : public CWindow {
public:
    std::vector<std::tuple<UINT, WPARAM, LPARAM>> messages;
    std::vector<UINT> ticks;

protected:
    void OnMessage(UINT msg, WPARAM w, LPARAM l) override { messages.emplace_back(msg, w, l); }
    void OnTimer(UINT id) override {
        ticks.push_back(id);
        if (id == 4) KillTimer(4);  // a one-shot, as the protocol clients use them
    }
};

TEST(WindowTest, PostedMessagesArriveInOrderOnTheLoop) {
    Recorder w;
    w.PostMessage(WM_USER + 1, 7, -1);
    w.PostMessage(0x0422, 0x84000001u, 3);
    EXPECT_TRUE(w.messages.empty()) << "posting must not deliver at once";
    CWindow::PumpMessages();
    ASSERT_EQ(w.messages.size(), 2u);
    EXPECT_EQ(w.messages[0], std::make_tuple(WM_USER + 1, WPARAM{7}, LPARAM{-1}));
    EXPECT_EQ(static_cast<int32_t>(std::get<1>(w.messages[1])), static_cast<int32_t>(0x84000001u))
        << "codes with the top bit set read back negative";
}

class Witness : public CWindow {
public:
    explicit Witness(std::vector<UINT>* seen) : seen_(seen) {}

protected:
    void OnMessage(UINT msg, WPARAM, LPARAM) override { seen_->push_back(msg); }

private:
    std::vector<UINT>* seen_;
};

TEST(WindowTest, MessagesToADestroyedWindowAreDropped) {
    std::vector<UINT> seen;
    auto* gone = new Witness(&seen);
    Witness alive(&seen);
    gone->PostMessage(WM_USER + 1);
    alive.PostMessage(WM_USER + 2);
    delete gone;
    CWindow::PumpMessages();
    EXPECT_EQ(seen, std::vector<UINT>{WM_USER + 2});
}

TEST(WindowTest, TimersTickByIdUntilKilled) {
    Recorder w;
    w.SetTimer(1, 5);
    w.SetTimer(4, 5);
    ASSERT_TRUE(waitFor([&] { return std::count(w.ticks.begin(), w.ticks.end(), 1u) >= 3; }));
    EXPECT_EQ(std::count(w.ticks.begin(), w.ticks.end(), 4u), 1);
    EXPECT_FALSE(w.HasTimer(4));
    w.KillTimer(1);
    size_t before = w.ticks.size();
    waitFor([] { return false; }, std::chrono::milliseconds(40));
    EXPECT_EQ(w.ticks.size(), before);
}

TEST(WindowTest, RegisteredMessagesAreStablePerName) {
    UINT a = CWindow::RegisterWindowMessage("RasDialEvent");
    EXPECT_GE(a, 0xC000u);
    EXPECT_EQ(CWindow::RegisterWindowMessage("RasDialEvent"), a);
    EXPECT_NE(CWindow::RegisterWindowMessage("Other"), a);
}

class TempFileTest : public SandboxTest {};

TEST_F(TempFileTest, CreatesPrivateUniqueFilesWithThePrefix) {
    TempFile a, b;
    ASSERT_TRUE(a.Create("KV5", Path("")));
    ASSERT_TRUE(b.Create("KV5", Path("")));
    EXPECT_NE(a.Path(), b.Path());
    EXPECT_EQ(a.Path().substr(a.Path().rfind('/') + 1, 3), "KV5");
    struct stat st {};
    ASSERT_EQ(stat(a.Path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(st.st_size, 0);

    TempFile gone;
    ASSERT_TRUE(gone.Create("MM1", Path(""), true));
    std::string path = gone.Path();
    gone.Close();
    EXPECT_NE(access(path.c_str(), F_OK), 0) << "deleted on close";

    TempFile unnamed;
    ASSERT_FALSE(unnamed.CreateUnnamed("KV5", Path("anon"))) << "a missing folder is an error";
    std::filesystem::create_directory(Path("anon"));
    ASSERT_TRUE(unnamed.CreateUnnamed("KV5", Path("anon")));
    EXPECT_TRUE(std::filesystem::is_empty(Path("anon")));
    EXPECT_EQ(write(unnamed.Fd(), "abc", 3), 3);
    char buf[3];
    EXPECT_EQ(pread(unnamed.Fd(), buf, 3, 0), 3);

    std::string kept = a.Release();
    EXPECT_EQ(access(kept.c_str(), F_OK), 0);

    std::string error;
    TempFile nowhere;
    EXPECT_FALSE(nowhere.Create("KV1", Path("no/such/folder"), false, &error));
    EXPECT_NE(error.find("no/such/folder"), std::string::npos);
}

// A name server that does not answer: every lookup blocks until the test opens the gate.
TEST(ResolverTest, ADeadNameServerHoldsAFewThreadsAndQueuedLookupsCanBeCancelled) {
    std::mutex mutex;
    std::condition_variable gate;
    bool open = false;
    std::atomic<int> inside{0}, calls{0};
    auto lookup = [&](const std::string&, in_addr* address) {
        ++calls;
        ++inside;
        std::unique_lock lock(mutex);
        gate.wait(lock, [&] { return open; });
        --inside;
        address->s_addr = htonl(0x7F000001);
        return 0;
    };
    std::vector<int> answered;
    {
        SystemResolver resolver(lookup, 4);
        std::vector<uint64_t> handles;
        for (int i = 0; i < 10; ++i)
            handles.push_back(
                resolver.Lookup("dead" + std::to_string(i),
                                [&answered, i](int, in_addr) { answered.push_back(i); }));
        ASSERT_TRUE(waitFor([&] { return inside == 4; }));
        // Four threads are stuck; the other six wait in the queue, not on threads of their own.
        EXPECT_EQ(resolver.queued(), 6u);
        EXPECT_EQ(inside, 4);
        resolver.Cancel(handles[7]);  // the client's time-out, while queued
        {
            std::lock_guard lock(mutex);
            open = true;
        }
        gate.notify_all();
        ASSERT_TRUE(waitFor([&] { return answered.size() == 9; }));
        EXPECT_EQ(calls, 9) << "a lookup cancelled in the queue never runs";
        EXPECT_EQ(std::count(answered.begin(), answered.end(), 7), 0);
    }
}

TEST(ResolverTest, AFakeResolverGoneBeforeTheLoopTurnsAnswersNothing) {
    bool answered = false;
    {
        FakeResolver fake;
        fake.addresses["host"] = "127.0.0.1";
        fake.Lookup("host", [&](int, in_addr) { answered = true; });
    }
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    EXPECT_FALSE(answered);
}

}  // namespace
