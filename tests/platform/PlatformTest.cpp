#include <sys/stat.h>

#include <unistd.h>
#include <filesystem>

#include <netinet/in.h>
#include <netinet/tcp.h>

#include <QCoreApplication>
#include <QTcpServer>
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>

#include "fakes/FakeResolver.h"
#include "fixtures/Fixtures.h"
#include "fixtures/ManualTimerSource.h"
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

// Posts to itself again on each message, as a client's steps follow each other.
class Relay : public CWindow {
public:
    int again = 0;  // below 0: for ever
    std::vector<WPARAM> got;

protected:
    void OnMessage(UINT msg, WPARAM w, LPARAM) override {
        got.push_back(w);
        if (again < 0 || again-- > 0) PostMessage(msg, w + 1);
    }
};

TEST(WindowTest, DrainingDeliversQueuedMessagesAndThoseTheyQueue) {
    std::vector<UINT> seen;
    const int before = CWindow::QueuedMessages();
    auto* gone = new Witness(&seen);
    gone->PostMessage(WM_USER + 1);
    Relay relay;
    relay.again = 3;
    relay.PostMessage(WM_USER, 0);
    EXPECT_EQ(CWindow::QueuedMessages(), before + 2);
    delete gone;
    EXPECT_EQ(CWindow::QueuedMessages(), before + 1) << "a dropped message is not waited for";
    ASSERT_TRUE(DrainMessages());
    EXPECT_EQ(relay.got, (std::vector<WPARAM>{0, 1, 2, 3}));
    EXPECT_EQ(CWindow::QueuedMessages(), 0);
    EXPECT_TRUE(seen.empty());

    relay.again = -1;
    relay.PostMessage(WM_USER, 0);
    EXPECT_FALSE(DrainMessages(std::chrono::milliseconds(50)));
}

// Qt's own timers, as the program runs on them.
TEST(WindowTest, TimersTickByIdUntilKilled) {
    Recorder w;
    auto count = [&](UINT id) { return std::count(w.ticks.begin(), w.ticks.end(), id); };
    w.SetTimer(1, 5);
    w.SetTimer(4, 5);
    w.SetTimer(6, 20);
    ASSERT_TRUE(waitFor([&] { return count(1) >= 3; }));
    EXPECT_EQ(count(4), 1);
    EXPECT_FALSE(w.HasTimer(4));
    w.KillTimer(1);
    EXPECT_FALSE(w.HasTimer(1));
    EXPECT_TRUE(w.HasTimer(6));
    // Timer 1 falls due four times as often as timer 6: alive, it would tick in between.
    auto ones = count(1), sixes = count(6);
    ASSERT_TRUE(waitFor([&] { return count(6) >= sixes + 2; }));
    EXPECT_EQ(count(1), ones);
}

// A window whose ticks run a script, timed by the manual source.
class Ticker : public CWindow {
public:
    explicit Ticker(ManualTimerSource& timers, std::vector<std::string>* seen, std::string name)
        : timers_(timers), seen_(seen), name_(std::move(name)) {}
    std::function<void(UINT)> onTick;

protected:
    void OnTimer(UINT id) override {
        seen_->push_back(std::to_string(timers_.Now()) + " " + name_ + std::to_string(id));
        if (onTick) onTick(id);
    }

private:
    ManualTimerSource& timers_;
    std::vector<std::string>* seen_;
    std::string name_;
};

using Ticks = std::vector<std::string>;

TEST(ManualTimerTest, DueTimersTickInTheOrderTheyFallDueAndRepeat) {
    ManualTimerSource timers;
    Ticks seen;
    Ticker a(timers, &seen, "a"), b(timers, &seen, "b");
    b.SetTimer(5, 10);
    a.SetTimer(1, 30);  // due with b5 at 30, where b5 has been armed again since
    a.SetTimer(4, 10);  // due with b5; armed after it
    b.SetTimer(6, 25);
    b.SetTimer(6, 35);  // restarted before it ticked: only the new period counts
    EXPECT_EQ(timers.Advance(9), 0);
    EXPECT_EQ(timers.Pending().front(), (ManualTimerSource::Armed{&b, 5, 1, 10}));
    // In two steps, to show that time left over from one step counts in the next.
    EXPECT_EQ(timers.Advance(21), 7);
    EXPECT_EQ(timers.Advance(10), 3);
    EXPECT_EQ(seen, (Ticks{"10 b5", "10 a4", "20 b5", "20 a4", "30 a1", "30 b5", "30 a4", "35 b6",
                           "40 b5", "40 a4"}));
    ASSERT_EQ(timers.Pending().size(), 4u);
    EXPECT_EQ(timers.Pending()[0].dueIn, 10);
    EXPECT_EQ(timers.Now(), 40);

    a.KillTimer(1);
    a.KillTimer(4);
    b.KillTimer(5);
    b.KillTimer(6);
    EXPECT_FALSE(b.HasTimer(6));
    EXPECT_TRUE(timers.Pending().empty());
    EXPECT_EQ(timers.Advance(1000), 0);
}

TEST(ManualTimerTest, ATickMayKillRestartOrDestroyWhatIsDueWithIt) {
    ManualTimerSource timers;
    Ticks seen;
    Ticker a(timers, &seen, "a");
    auto* doomed = new Ticker(timers, &seen, "d");
    a.onTick = [&](UINT id) {
        if (id == 1) {
            a.KillTimer(2);  // due at the same moment, armed later: it must not tick
            delete doomed;   // and neither may a window gone with its timers
            doomed = nullptr;
        }
        if (id == 3) a.SetTimer(3, 50);  // restarted from within its own tick
        if (id == 4) a.KillTimer(4);     // a one-shot, as the protocol clients use them
    };
    a.SetTimer(1, 10);
    a.SetTimer(2, 10);
    doomed->SetTimer(1, 10);
    a.SetTimer(3, 5);
    a.SetTimer(4, 5);
    EXPECT_EQ(timers.Advance(60), 9);
    EXPECT_EQ(seen, (Ticks{"5 a3", "5 a4", "10 a1", "20 a1", "30 a1", "40 a1", "50 a1", "55 a3",
                           "60 a1"}));
    EXPECT_EQ(doomed, nullptr);
    a.KillTimer(1);
    a.KillTimer(3);
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
    auto lookup = [&](const std::string&, std::vector<SocketAddress>* addresses) {
        ++calls;
        ++inside;
        std::unique_lock lock(mutex);
        gate.wait(lock, [&] { return open; });
        --inside;
        addresses->push_back(*SocketAddress::FromLiteral("127.0.0.1"));
        return 0;
    };
    std::vector<int> answered;
    {
        SystemResolver resolver(lookup, 4);
        std::vector<uint64_t> handles;
        for (int i = 0; i < 10; ++i)
            handles.push_back(resolver.Lookup(
                "dead" + std::to_string(i),
                [&answered, i](int, std::vector<SocketAddress>) { answered.push_back(i); }));
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

// A socket that tells when its connect is done.
class Connecting : public CAsyncSocket {
public:
    int connected = -1;

protected:
    void OnConnect(int error) override { connected = error; }
};

// Each command and each mail goes out at once: no write waits for the acknowledgement of the
// one before (Nagle's rule against a server's delayed acknowledgement costs 40 ms a mail).
TEST(AsyncSocketTest, EveryConnectionSendsWithoutDelay) {
    const struct {
        const char* address;
        QHostAddress listen;
    } cases[] = {{"127.0.0.1", QHostAddress::LocalHost}, {"::1", QHostAddress::LocalHostIPv6}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.address);
        QTcpServer server;
        if (!server.listen(c.listen, 0)) {
            EXPECT_STRNE(c.address, "127.0.0.1") << "no IPv4 loopback";
            continue;  // no IPv6 on this machine
        }
        auto to = SocketAddress::FromLiteral(c.address);
        ASSERT_TRUE(to);
        to->SetPort(server.serverPort());
        Connecting socket;
        ASSERT_EQ(socket.Create(to->family()), 0);
        ASSERT_EQ(socket.Connect(*to), 0);
        ASSERT_TRUE(waitFor([&] { return socket.connected != -1; }));
        EXPECT_EQ(socket.connected, 0);
        int on = 0;
        socklen_t size = sizeof on;
        ASSERT_EQ(::getsockopt(socket.Handle(), IPPROTO_TCP, TCP_NODELAY, &on, &size), 0);
        EXPECT_NE(on, 0);
    }
}

TEST(ResolverTest, AFakeResolverGoneBeforeTheLoopTurnsAnswersNothing) {
    bool answered = false;
    {
        FakeResolver fake;
        fake.addresses["host"] = {"127.0.0.1"};
        fake.Lookup("host", [&](int, std::vector<SocketAddress>) { answered = true; });
    }
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    EXPECT_FALSE(answered);
}

}  // namespace
