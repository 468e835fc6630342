#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "app/SettingsStore.h"
#include "fakes/HttpOwner.h"
#include "fakes/WebServer.h"
#include "fixtures/Fixtures.h"
#include "net/Http.h"
#include "net/Inet.h"

namespace {

using namespace settings;

class RealServerTest : public SandboxTest {
protected:
    void SetUp() override {
        SandboxTest::SetUp();
        std::filesystem::create_directories(Path("site/docs"));
        std::ofstream(Path("site/index.html")) << "<html><a href=\"docs/a.html\">a</a></html>\n";
        std::ofstream(Path("site/new.html")) << "the new page\n";
        std::ofstream(Path("site/docs/a.html")) << std::string(5000, 'a');
        // A known modification time, to read back from Last-Modified.
        timespec times[2] = {{784887151, 0}, {784887151, 0}};
        utimensat(AT_FDCWD, Path("site/index.html").c_str(), times, 0);
        server_ = std::make_unique<WebServer>(Path("site"), Path(""),
                                              "    location = /old { return 302 /new.html; }");
        fd_ = ::open(Path("response").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    }
    void TearDown() override {
        ::close(fd_);
        server_.reset();
        SandboxTest::TearDown();
    }
    uint32_t Fetch(const std::string& url, bool head = false) {
        ::ftruncate(fd_, 0);
        ::lseek(fd_, 0, SEEK_SET);
        owner_.done.clear();
        uint32_t rc = head ? owner_.client.Head(url, fd_) : owner_.client.Get(url, fd_);
        if (rc != 0) return rc;
        EXPECT_TRUE(waitFor([&] { return !owner_.done.empty(); }, std::chrono::seconds(20)));
        return owner_.done.empty() ? 0 : owner_.done[0].second;
    }
    std::string Header(const char* name) {
        std::string value;
        return CInet::GetHeaderValue(fd_, name, &value) ? value : "(none)";
    }

    std::unique_ptr<WebServer> server_;
    HttpOwner owner_;
    int fd_ = -1;
};

TEST_F(RealServerTest, DocumentsRedirectionsAndMissingPages) {
    ASSERT_NE(server_->kind(), WebServer::None) << "no web server could start: " << server_->log();

    EXPECT_EQ(Fetch(server_->Url("/index.html"), true), 200u);
    EXPECT_EQ(CInet::ParseHttpDate(Header("last-modified:")), 784887151);
    EXPECT_EQ(Header("content-length:"), "41");

    EXPECT_EQ(Fetch(server_->Url("/docs/a.html")), 200u);
    std::string whole = ReadFileBytes(Path("response"));
    EXPECT_EQ(whole.substr(whole.size() - 5000), std::string(5000, 'a'));

    EXPECT_EQ(Fetch(server_->Url("/nothing-here.html")), 404u);
    EXPECT_NE(owner_.client.ErrorText(404).find("said:  HTTP/1."), std::string::npos);
    EXPECT_NE(owner_.client.ErrorText(404).find(" 404 "), std::string::npos);

    if (server_->kind() != WebServer::Nginx)
        GTEST_SKIP() << "the stand-in server knows no redirections or proxy requests";

    EXPECT_EQ(Fetch(server_->Url("/old")), 200u) << "a relative Location is followed";
    std::string page = ReadFileBytes(Path("response"));
    EXPECT_NE(page.find("the new page"), std::string::npos);
    EXPECT_EQ(page.find("302"), std::string::npos);

    // Through the proxy request form: the server itself takes the absolute request line.
    Root().SetDword(kUseProxy, 1);
    Root().SetString(kProxyServer, "127.0.0.1");
    Root().SetDword(kProxyPort, static_cast<DWORD>(server_->port()));
    EXPECT_EQ(Fetch("http://www.site.test/index.html"), 200u);
    EXPECT_NE(ReadFileBytes(Path("response")).find("docs/a.html"), std::string::npos);
    EXPECT_EQ(Fetch("http://www.site.test/old"), 200u);
    EXPECT_NE(ReadFileBytes(Path("response")).find("the new page"), std::string::npos);
}

}  // namespace
