// Sends one very large web response through CHttp, and one very large message through
// CPop3, each into a file, from a server on 127.0.0.1 in this process, and checks that the
// process's peak resident memory stays under a bound: the clients stream what they receive
// to the file and must never hold it. Run by the test suite.
//   big_transfer [MEGABYTES] [LIMIT_MEGABYTES]
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include "net/Http.h"
#include "net/Pop3.h"
#include "platform/Registry.h"
#include "platform/Window.h"

namespace {

// The peak resident memory of this process so far, in kilobytes.
long PeakKilobytes() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

bool SendAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// A server for one connection on a port of its own; serve runs on its thread.
class OneShotServer {
public:
    template <typename Serve>
    explicit OneShotServer(Serve serve) {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        ::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        ::listen(listener_, 1);
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this, serve] {
            int fd = ::accept(listener_, nullptr, nullptr);
            if (fd < 0) return;
            // A client that stops answering must not hold this thread, and the join, forever.
            timeval limit{60, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
            ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
            serve(fd);
            ::close(fd);
        });
    }
    ~OneShotServer() {
        ::shutdown(listener_, SHUT_RDWR);
        ::close(listener_);
        if (thread_.joinable()) thread_.join();
    }
    int port() const { return port_; }

private:
    int listener_ = -1;
    int port_ = 0;
    std::thread thread_;
};

// Reads one command line from the client (POP3), empty when the connection ended.
std::string ReadLine(int fd) {
    std::string line;
    char c;
    while (::recv(fd, &c, 1, 0) == 1) {
        line += c;
        if (c == '\n') return line;
    }
    return {};
}

// The bytes SendBody sends: whole lines of 99 letters and CR LF, at least megabytes.
size_t BodyBytes(size_t megabytes) {
    size_t lines = (megabytes * 1024 * 1024 + 100) / 101;
    return lines * 101;
}

// Sends BodyBytes(megabytes) of whole lines, so that a message's end line stands alone.
bool SendBody(int fd, size_t megabytes) {
    const std::string line = std::string(99, 'x') + "\r\n";
    std::string block;
    for (int i = 0; i < 649; ++i) block += line;
    size_t total = BodyBytes(megabytes), sent = 0;
    while (sent < total) {
        size_t n = std::min(block.size(), total - sent);
        if (!SendAll(fd, block.data(), n)) return false;
        sent += n;
    }
    return true;
}

// Reads the request up to its blank line, so that closing the connection later does not
// reset it (unread bytes would) before the client has read the response.
void ReadRequest(int fd) {
    std::string request;
    char c;
    while (request.find("\r\n\r\n") == std::string::npos && ::recv(fd, &c, 1, 0) == 1) request += c;
}

// Ends the response: no more from this side, then waits for the client to close.
void Linger(int fd) {
    ::shutdown(fd, SHUT_WR);
    char buffer[4096];
    while (::recv(fd, buffer, sizeof buffer, 0) > 0) {
    }
}

class Owner : public CWindow {
public:
    UINT doneMessage = 0;
    uint32_t doneCode = 0;
    bool done = false;
    std::function<void(UINT, WPARAM, LPARAM)> lookup;
    std::function<bool(UINT)> timer;

protected:
    void OnMessage(UINT msg, WPARAM w, LPARAM l) override {
        if (msg == WM_HTTP_LOOKUP_DONE || msg == WM_POP3_LOOKUP) {
            if (lookup) lookup(msg, w, l);
            return;
        }
        if (msg == doneMessage) {
            done = true;
            doneCode = static_cast<uint32_t>(w);
        }
    }
    void OnTimer(UINT id) override {
        if (timer) timer(id);
    }
};

bool WaitFor(Owner& owner, int seconds) {
    QElapsedTimer clock;
    clock.start();
    while (!owner.done && clock.elapsed() < seconds * 1000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    return owner.done;
}

long FileSize(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    return in ? static_cast<long>(in.tellg()) : -1;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 200;
    long limitKb = (argc > 2 ? std::atol(argv[2]) : 64) * 1024;
    QTemporaryDir dir;
    std::string error;
    auto store = Registry::Open(dir.path().toStdString() + "/big.db", &error);
    if (!store) {
        std::fprintf(stderr, "big_transfer: %s\n", error.c_str());
        return 1;
    }
    Registry::SetCurrent(store);
    int failures = 0;

    {  // A web response of that size (the response bound is raised to let it through).
        RegKey root;
        root.Create(RegKey::LocalMachine(), "SOFTWARE\\Halvorn\\Quorvane\\CurrentVersion",
                    "Quorvane");
        root.SetDword("HttpMaxResponse", static_cast<DWORD>(megabytes + 16) * 1024 * 1024);
        OneShotServer server([megabytes](int fd) {
            ReadRequest(fd);
            std::string head = "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " +
                               std::to_string(BodyBytes(megabytes)) + "\r\n\r\n";
            if (SendAll(fd, head.data(), head.size()) && SendBody(fd, megabytes)) Linger(fd);
        });
        Owner owner;
        CHttp http;
        http.SetOwner(&owner);
        owner.doneMessage = WM_HTTP_GET_DONE;
        owner.lookup = [&](UINT, WPARAM w, LPARAM l) { http.OnLookupDone(w, l); };
        owner.timer = [&](UINT id) { return http.OnTimer(id); };
        std::string path = dir.path().toStdString() + "/page";
        int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        QElapsedTimer clock;
        clock.start();
        uint32_t rc = http.Get("http://127.0.0.1:" + std::to_string(server.port()) + "/big", fd);
        bool ended = rc == 0 && WaitFor(owner, 300);
        ::close(fd);
        long size = FileSize(path);
        long peak = PeakKilobytes();
        std::printf("http: %zu MB in %.1f s, file %ld bytes, code %u, peak %ld kB\n", megabytes,
                    clock.elapsed() / 1000.0, size, owner.doneCode, peak);
        if (!ended || owner.doneCode != 200 || size < static_cast<long>(BodyBytes(megabytes)) ||
            peak > limitKb) {
            std::fprintf(stderr,
                         "big_transfer: the web response failed or took too much "
                         "memory\n");
            ++failures;
        }
        ::unlink(path.c_str());
    }

    {  // A mail message of that size.
        OneShotServer server([megabytes](int fd) {
            const std::string ok = "+OK\r\n";
            SendAll(fd, "+OK ready\r\n", 11);
            for (;;) {
                std::string line = ReadLine(fd);
                if (line.empty()) return;
                std::string verb = line.substr(0, 4);
                if (verb == "STAT") {
                    std::string reply = "+OK 1 " + std::to_string(BodyBytes(megabytes)) + "\r\n";
                    SendAll(fd, reply.data(), reply.size());
                } else if (verb == "RETR") {
                    SendAll(fd, ok.data(), ok.size());
                    if (!SendBody(fd, megabytes)) return;
                    SendAll(fd, ".\r\n", 3);
                } else if (verb == "CAPA") {
                    SendAll(fd, "-ERR\r\n", 6);
                } else if (verb == "QUIT") {
                    SendAll(fd, ok.data(), ok.size());
                    return;
                } else {
                    SendAll(fd, ok.data(), ok.size());
                }
            }
        });
        Owner owner;
        CPop3 pop3;
        pop3.SetOwner(&owner);
        owner.lookup = [&](UINT, WPARAM w, LPARAM l) { pop3.OnLookupDone(w, l); };
        owner.timer = [&](UINT id) { return pop3.OnTimer(id); };
        owner.doneMessage = WM_POP3_LOGGED_IN;
        QElapsedTimer clock;
        clock.start();
        uint32_t rc = pop3.Connect("user", "pass", "127.0.0.1", server.port());
        bool loggedIn = rc == 0 && WaitFor(owner, 60) && owner.doneCode == 0;
        std::string path = dir.path().toStdString() + "/message";
        long size = -1;
        bool ended = false;
        if (loggedIn) {
            int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
            owner.done = false;
            owner.doneMessage = WM_POP3_RETRIEVED;
            ended = pop3.Retrieve(1, fd) == 0 && WaitFor(owner, 300) && owner.doneCode == 0;
            ::close(fd);
            size = FileSize(path);
            owner.done = false;
            owner.doneMessage = WM_POP3_ENDED;
            pop3.Quit();
            WaitFor(owner, 10);
        }
        long peak = PeakKilobytes();
        std::printf("pop3: %zu MB in %.1f s, file %ld bytes, code %u, peak %ld kB\n", megabytes,
                    clock.elapsed() / 1000.0, size, owner.doneCode, peak);
        if (!loggedIn || !ended || size != static_cast<long>(BodyBytes(megabytes)) ||
            peak > limitKb) {
            std::fprintf(stderr,
                         "big_transfer: the mail message failed or took too much "
                         "memory\n");
            ++failures;
        }
    }
    return failures == 0 ? 0 : 1;
}
