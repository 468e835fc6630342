#pragma once

// A real SMTP server with TLS and a login for the tests, on 127.0.0.1 only: Debian's
// aiosmtpd, run by a small script of our own. It offers STARTTLS (and requires it before
// anything but EHLO) or speaks TLS from the first byte (port 465 style), takes one user
// name and password through AUTH PLAIN and LOGIN (or the mechanisms a test leaves it),
// accepts mail only after a correct login and writes each message to a maildir. Every
// login is written to a file, so that a test can tell which mechanism was used and that a
// wrong password was refused. Python binds port 0 itself and prints the port it got; the
// script ends when its standard input closes, so a test that crashes leaves no server.

#include <QProcess>
#include <QStringList>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "fixtures/Fixtures.h"

class SecureSmtpServer {
public:
    enum Mode { StartTls, Implicit };
    struct Options {
        Mode mode = StartTls;
        std::string cert, key;  // the server's certificate and key (PEM)
        std::string user = "mailer", password = "s3cret pass";
        std::vector<std::string> mechanisms = {"PLAIN", "LOGIN"};  // the ones offered
    };

    SecureSmtpServer(const std::string& workDir, const Options& options)
        : maildir_(workDir + "/maildir"), authLog_(workDir + "/auth.log") {
        static const char* kScript = R"PY(
import asyncio, socket, ssl, sys
from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword
from aiosmtpd.handlers import Mailbox
mode, cert, key, maildir, authlog, user, password, mechs = sys.argv[1:9]
ctx = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
ctx.load_cert_chain(cert, key)
offered = [m for m in mechs.split(",") if m]
exclude = [m for m in ("PLAIN", "LOGIN") if m not in offered]
def authenticate(server, session, envelope, mechanism, data):
    ok = (isinstance(data, LoginPassword) and data.login == user.encode()
          and data.password == password.encode())
    with open(authlog, "a") as f:
        f.write("%s %s\n" % (mechanism, "ok" if ok else "refused"))
    return AuthResult(success=ok, handled=False)
handler = Mailbox(maildir)
loop = asyncio.new_event_loop()
asyncio.set_event_loop(loop)
def make():
    starttls = mode == "starttls"
    # Over TLS from the first byte aiosmtpd cannot see the channel is secure.
    return SMTP(handler, hostname="secure.test", tls_context=ctx if starttls else None,
                require_starttls=starttls, auth_require_tls=starttls, auth_required=True,
                authenticator=authenticate, auth_exclude_mechanism=exclude, loop=loop)
sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
sock.bind(("127.0.0.1", 0))
sock.listen(16)
server = loop.run_until_complete(
    loop.create_server(make, sock=sock, ssl=None if mode == "starttls" else ctx))
loop.add_reader(sys.stdin.fileno(), lambda: sys.stdin.buffer.read1(4096) or loop.stop())
print(sock.getsockname()[1], flush=True)
loop.run_forever()
)PY";
        std::filesystem::remove(authLog_);
        std::string mechs;
        for (const auto& m : options.mechanisms) mechs += (mechs.empty() ? "" : ",") + m;
        process_.setProcessChannelMode(QProcess::SeparateChannels);
        process_.start("/usr/bin/python3",
                       {"-c", kScript, options.mode == StartTls ? "starttls" : "implicit",
                        QString::fromStdString(options.cert), QString::fromStdString(options.key),
                        QString::fromStdString(maildir_), QString::fromStdString(authLog_),
                        QString::fromStdString(options.user),
                        QString::fromStdString(options.password), QString::fromStdString(mechs)});
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (port_ == 0 && std::chrono::steady_clock::now() < until &&
               process_.state() != QProcess::NotRunning) {
            if (!process_.canReadLine()) {
                process_.waitForReadyRead(200);
                continue;
            }
            port_ = process_.readLine().trimmed().toInt();
        }
        if (port_ == 0) error_ = process_.readAllStandardError().toStdString();
    }
    ~SecureSmtpServer() {
        if (process_.state() == QProcess::NotRunning) return;
        process_.closeWriteChannel();
        if (!process_.waitForFinished(5000)) {
            process_.kill();
            process_.waitForFinished(2000);
        }
    }

    // 0 when the server could not start (error() says why).
    int port() const { return port_; }
    const std::string& error() const { return error_; }
    // The texts of the messages received so far.
    std::vector<std::string> Messages() const {
        std::vector<std::string> out;
        if (std::filesystem::exists(maildir_ + "/new"))
            for (const auto& e : std::filesystem::directory_iterator(maildir_ + "/new"))
                out.push_back(ReadFileBytes(e.path().string()));
        return out;
    }
    // One line per login: "PLAIN ok", "LOGIN refused", ...
    std::string Logins() const {
        return std::filesystem::exists(authLog_) ? ReadFileBytes(authLog_) : std::string();
    }

private:
    std::string maildir_, authLog_;
    int port_ = 0;
    std::string error_;
    QProcess process_;
};
