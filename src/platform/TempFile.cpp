#include "platform/TempFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <utility>

TempFile::~TempFile() {
    Close();
}

TempFile::TempFile(TempFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      path_(std::move(other.path_)),
      nameless_(std::move(other.nameless_)),
      deleteOnClose_(other.deleteOnClose_) {}

TempFile& TempFile::operator=(TempFile&& other) noexcept {
    if (this != &other) {
        Close();
        fd_ = std::exchange(other.fd_, -1);
        path_ = std::move(other.path_);
        nameless_ = std::move(other.nameless_);
        deleteOnClose_ = other.deleteOnClose_;
    }
    return *this;
}

std::string TempFile::SystemTempDir() {
    const char* dir = std::getenv("TMPDIR");
    return (dir && *dir) ? dir : "/tmp";
}

bool TempFile::Create(const std::string& prefix, const std::string& dir, bool deleteOnClose,
                      std::string* error) {
    Close();
    std::string folder = dir.empty() ? SystemTempDir() : dir;
    if (!folder.empty() && folder.back() == '/') folder.pop_back();
    static thread_local std::mt19937_64 rng{std::random_device{}()};
    for (int attempt = 0; attempt < 100; ++attempt) {
        char unique[16];
        std::snprintf(unique, sizeof unique, "%08llX",
                      static_cast<unsigned long long>(rng() & 0xFFFFFFFFULL));
        std::string path = folder + "/" + prefix + unique + ".tmp";
        int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd >= 0) {
            fd_ = fd;
            path_ = std::move(path);
            deleteOnClose_ = deleteOnClose;
            return true;
        }
        if (errno != EEXIST) {
            if (error) *error = path + ": " + std::strerror(errno);
            return false;
        }
    }
    if (error) *error = folder + ": no free temporary file name";
    return false;
}

bool TempFile::CreateUnnamed(const std::string& prefix, const std::string& dir,
                             std::string* error) {
    if (!Create(prefix, dir, false, error)) return false;
    if (::unlink(path_.c_str()) != 0) {
        if (error) *error = path_ + ": " + std::strerror(errno);
        Close();
        return false;
    }
    path_.clear();
    return true;
}

bool TempFile::CreateNameless(const std::string& prefix, const std::string& dir,
                              std::string* error) {
    Close();
    std::string folder = dir.empty() ? SystemTempDir() : dir;
    int fd = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0) {
        fd_ = fd;
        nameless_ = std::move(folder);
        return true;
    }
    // Only a file system that knows no nameless files gets a named one.
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
        if (error) *error = folder + ": " + std::strerror(errno);
        return false;
    }
    return Create(prefix, dir, false, error);
}

bool TempFile::Publish(const std::string& prefix, const std::string& path, std::string* error) {
    if (fd_ < 0) {
        if (error) *error = std::strerror(EBADF);
        return false;
    }
    if (!nameless_.empty()) {
        // A name of its own first: a nameless file cannot take another's place directly.
        const std::string self = "/proc/self/fd/" + std::to_string(fd_);
        std::string folder = nameless_;
        if (folder.size() > 1 && folder.back() == '/') folder.pop_back();
        static thread_local std::mt19937_64 rng{std::random_device{}()};
        std::string named;
        for (int attempt = 0; attempt < 100 && named.empty(); ++attempt) {
            char unique[16];
            std::snprintf(unique, sizeof unique, "%08llX",
                          static_cast<unsigned long long>(rng() & 0xFFFFFFFFULL));
            std::string candidate = folder + "/" + prefix + unique + ".tmp";
            if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, candidate.c_str(), AT_SYMLINK_FOLLOW) ==
                0) {
                named = std::move(candidate);
            } else if (errno != EEXIST) {
                if (error) *error = candidate + ": " + std::strerror(errno);
                return false;
            }
        }
        if (named.empty()) {
            if (error) *error = folder + ": no free temporary file name";
            return false;
        }
        path_ = std::move(named);
        nameless_.clear();
    }
    if (::rename(path_.c_str(), path.c_str()) != 0) {
        if (error) *error = std::strerror(errno);
        return false;
    }
    ::close(fd_);
    fd_ = -1;
    path_.clear();
    return true;
}

void TempFile::Close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
        if (deleteOnClose_) ::unlink(path_.c_str());
    }
    path_.clear();
    nameless_.clear();
}

std::string TempFile::Release() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    deleteOnClose_ = false;
    nameless_.clear();
    return std::exchange(path_, {});
}

bool WriteAll(int fd, const void* data, size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = ::write(fd, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}
