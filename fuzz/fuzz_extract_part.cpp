// ExtractPart on any stored message; the first byte picks the part. Whatever the message,
// a part comes back whole or not at all, nothing else is left in the temporary folder, and
// the file name is a bare name. With the first byte's top bit set, the input goes instead
// to the base64 decoder in pieces, which must give what Qt gives run by run.
#include <dirent.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include <QByteArray>

#include "net/Inet.h"
#include "net/Mime.h"

namespace {

std::string& TempDir() {
    static std::string dir = [] {
        // Below the caller's TMPDIR (scripts/fuzz gives its own work folder, which it
        // removes); libFuzzer ends without running exit handlers.
        const char* base = std::getenv("TMPDIR");
        std::string pattern =
            std::string(base && *base ? base : "/tmp") + "/fuzz_extract_partXXXXXX";
        const char* made = ::mkdtemp(pattern.data());
        if (!made) std::abort();
        ::setenv("TMPDIR", made, 1);
        return std::string(made);
    }();
    return dir;
}

bool FolderEmpty(const std::string& dir) {
    DIR* d = ::opendir(dir.c_str());
    if (!d) return false;
    bool empty = true;
    while (dirent* e = ::readdir(d))
        if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") empty = false;
    ::closedir(d);
    return empty;
}

void CheckBase64(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    std::string expected, run;
    auto flush = [&] {
        QByteArray d = QByteArray::fromBase64(QByteArray::fromStdString(run));
        expected.append(d.constData(), static_cast<size_t>(d.size()));
        run.clear();
    };
    for (char c : text) {
        bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
        if (letter || c == '+' || c == '/')
            run.push_back(c);
        else if (c != ' ' && c != '\t' && c != '\r' && c != '\n')
            flush();
    }
    flush();
    mime::Base64Decoder decoder;
    std::string out;
    size_t piece = 1 + size % 13;
    for (size_t i = 0; i < size; i += piece)
        decoder.Feed(text.data() + i, std::min(piece, size - i), &out);
    decoder.Finish(&out);
    if (out != expected) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string& dir = TempDir();
    if (size == 0) return 0;
    if (data[0] & 0x80) {
        CheckBase64(data + 1, size - 1);
        return 0;
    }
    int index = data[0] % 4;
    static int fd = memfd_create("message", 0);
    if (fd < 0) return 0;
    if (ftruncate(fd, 0) != 0) return 0;
    if (pwrite(fd, data + 1, size - 1, 0) != static_cast<ssize_t>(size - 1)) return 0;
    std::string path, name;
    int result = CInet::ExtractPart(fd, index, &path, &name);
    if (result == 1) {
        if (path.empty() || ::access(path.c_str(), F_OK) != 0) __builtin_trap();
        ::unlink(path.c_str());
    } else if (result != 0 || !path.empty() || !name.empty()) {
        __builtin_trap();
    }
    if (name.size() > 255 || name == "." || name == ".." ||
        name.find_first_of("/\\") != std::string::npos)
        __builtin_trap();
    for (char c : name)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) __builtin_trap();
    if (!FolderEmpty(dir)) __builtin_trap();
    return 0;
}
