// ExtractPart on any stored message; the first byte picks the part. Whatever the message,
// a part comes back whole or not at all, nothing else is left in the temporary folder, and
// the file name is a bare name.
#include <dirent.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "net/Inet.h"

namespace {

std::string& TempDir() {
    static std::string dir = [] {
        char pattern[] = "/tmp/fuzz_extract_partXXXXXX";
        const char* made = ::mkdtemp(pattern);
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string& dir = TempDir();
    if (size == 0) return 0;
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
