// The web client's whole response reader, fed by a server on 127.0.0.1 that answers any
// request with the input: the status line, the header, a length or chunked body, a body
// cut short, a connection kept or closed. Byte 0 picks the request (GET or HEAD, a date to
// compare with), how the server ends (it closes, resets, or closes only after the client
// has had time to finish by the response's own length) and whether the client goes
// through a proxy. Only this server is ever reached: through the proxy every request,
// redirections too, comes to it; without one, a Location is made unreadable, so that no
// redirection leads elsewhere. Whatever arrives, exactly one
// completion comes, the file holds no byte the server did not send, and the client is idle
// and ready for the next request.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "FuzzStore.h"
#include "fakes/ClientOwner.h"
#include "net/Http.h"
#include "platform/Registry.h"
#include "settings/Settings.h"

namespace {

using Owner = ClientOwner<CHttp, WM_HTTP_LOOKUP_DONE>;

struct World {
    QCoreApplication* app = nullptr;
    int listener = -1;
    int port = 0;
    int file = -1;
    Owner* owner = nullptr;
};

World& Setup() {
    static World w = [] {
        World x;
        static int argc = 1;
        static char name[] = "fuzz_http_response";
        static char* argv[] = {name, nullptr};
        x.app = new QCoreApplication(argc, argv);
        x.listener = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (::bind(x.listener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::listen(x.listener, 16) != 0 ||
            ::getsockname(x.listener, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            __builtin_trap();
        x.port = ntohs(a.sin_port);
        x.file = memfd_create("response", 0);
        OpenFuzzStore("fuzz_http_response");
        RegKey root;
        if (root.Create(RegKey::LocalMachine(), settings::kRoot, settings::kEventClass) !=
            ERROR_SUCCESS)
            __builtin_trap();
        root.SetString(settings::kProxyServer, "127.0.0.1");
        root.SetDword(settings::kProxyPort, static_cast<DWORD>(x.port));
        root.SetDword(settings::kTimeoutHttp, 2000);
        root.SetDword(settings::kTimeoutConnection, 2000);
        x.owner = new Owner;
        return x;
    }();
    return w;
}

std::string Lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

// Turns the loop until done() holds or the bound passes.
template <class Done>
bool Pump(Done done, int boundMs) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > boundMs) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    World& w = Setup();
    Owner& owner = *w.owner;
    const uint8_t mode = data[0];
    const bool head = mode & 1;
    const uint32_t since = (mode & 2) ? 784887151u : 0u;
    const int ending = (mode >> 2) % 3;  // 0 close, 1 reset, 2 leave it open a while
    const bool proxy = mode & 0x80;
    std::string response(reinterpret_cast<const char*>(data) + 1, size - 1);
    if (!proxy) {
        const std::string lower = Lower(response);
        for (size_t at = 0; (at = lower.find("location", at)) != std::string::npos; ++at)
            response[at] = '_';
    }
    static int lastProxy = -1;
    if (lastProxy != static_cast<int>(proxy)) {
        RegKey root;
        if (root.Open(RegKey::LocalMachine(), settings::kRoot) != ERROR_SUCCESS ||
            root.SetDword(settings::kUseProxy, proxy ? 1 : 0) != ERROR_SUCCESS)
            __builtin_trap();
        lastProxy = proxy;
    }

    if (::ftruncate(w.file, 0) != 0 || ::lseek(w.file, 0, SEEK_SET) != 0) __builtin_trap();
    owner.done.clear();
    const std::string url = "http://127.0.0.1:" + std::to_string(w.port) + "/page.html";
    uint32_t rc =
        head ? owner.client.Head(url, w.file, since) : owner.client.Get(url, w.file, since);
    if (rc != 0) __builtin_trap();  // nothing about this request can be refused up front

    // The connection (a kept one may carry the request without a new one).
    int conn = -1;
    std::string request;
    auto accepted = [&] {
        if (conn < 0) conn = ::accept4(w.listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (conn < 0) return false;
        char buf[4096];
        ssize_t n;
        while ((n = ::recv(conn, buf, sizeof buf, 0)) > 0) request.append(buf, n);
        return request.find("\r\n\r\n") != std::string::npos;
    };
    if (!Pump(accepted, 5000)) {
        // Not even a request: only a finished exchange may end it so.
        if (owner.done.empty()) __builtin_trap();
        if (conn >= 0) ::close(conn);
    } else {
        size_t sent = 0;
        QElapsedTimer sending;
        sending.start();
        while (sent < response.size()) {
            // The client stops reading only when its own time-out has ended the request.
            if (sending.elapsed() > 20000) __builtin_trap();
            ssize_t n = ::send(conn, response.data() + sent, response.size() - sent, MSG_NOSIGNAL);
            if (n > 0) {
                sent += static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && errno != EAGAIN) break;  // the client gave up reading: allowed
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            pollfd p{conn, POLLOUT, 0};
            ::poll(&p, 1, 5);
        }
        if (ending == 1) {
            linger l{1, 0};
            ::setsockopt(conn, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        }
        if (ending == 2)
            Pump([&] { return !owner.done.empty(); }, 50);  // whole by its length, or not
        ::close(conn);
    }
    // A redirection comes back here and is told the page is not found.
    std::vector<std::pair<int, std::string>> strays;
    auto answerStrays = [&] {
        int again = ::accept4(w.listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (again >= 0) strays.emplace_back(again, std::string());
        for (auto& [fd, got] : strays) {
            if (fd < 0) continue;
            char buf[4096];
            ssize_t n;
            while ((n = ::recv(fd, buf, sizeof buf, 0)) > 0) got.append(buf, n);
            if (got.find("\r\n\r\n") != std::string::npos || n == 0) {
                static const char kGone[] = "HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\n\r\n";
                ::send(fd, kGone, sizeof kGone - 1, MSG_NOSIGNAL);
                ::close(fd);
                fd = -1;
            }
        }
    };
    const bool ended = Pump(
        [&] {
            answerStrays();
            return !owner.done.empty() && owner.client.state() == CHttp::kIdle;
        },
        20000);
    for (auto& [fd, got] : strays)
        if (fd >= 0) ::close(fd);
    if (!ended) __builtin_trap();
    // One completion, and nothing more afterwards.
    for (int i = 0; i < 3; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
    if (owner.done.size() != 1) __builtin_trap();
    if (owner.done[0].first != (head ? WM_HTTP_HEAD_DONE : WM_HTTP_GET_DONE)) __builtin_trap();
    // The file holds what came, never more.
    off_t stored = ::lseek(w.file, 0, SEEK_END);
    if (stored < 0 || static_cast<size_t>(stored) > response.size()) __builtin_trap();
    // A later connection that lingers would hold the next input's request: drop it.
    owner.client.CloseIdle();
    int stray;
    while ((stray = ::accept4(w.listener, nullptr, nullptr, SOCK_CLOEXEC)) >= 0) ::close(stray);
    return 0;
}
