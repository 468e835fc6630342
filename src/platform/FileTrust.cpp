#include "platform/FileTrust.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace filetrust {

namespace {

bool OwnerTrusted(const struct stat& st) {
    return st.st_uid == ::geteuid() || st.st_uid == 0;
}

}  // namespace

std::string Distrust(const struct stat& st) {
    if (!OwnerTrusted(st)) return "belongs to another user (uid " + std::to_string(st.st_uid) + ")";
    if ((st.st_mode & S_IWOTH) && st.st_uid != ::geteuid()) return "can be written by every user";
    return {};
}

bool NeedsRepair(const struct stat& st) {
    return st.st_uid == ::geteuid() && (st.st_mode & S_IWOTH) != 0 && !S_ISLNK(st.st_mode);
}

int OpenOwnFile(const std::string& path, int flags, mode_t mode, std::string* distrust) {
    if (distrust) distrust->clear();
    auto refuse = [&](int fd, int error, const std::string& words) {
        if (fd >= 0) ::close(fd);
        if (distrust) *distrust = words;
        errno = error;
        return -1;
    };
    int fd = ::open(path.c_str(), flags | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, mode);
    if (fd < 0) {
        int e = errno;
        if (e == ELOOP) return refuse(-1, e, "is a symbolic link");
        // Opened for writing without a reader: a FIFO.
        if (e == ENXIO) return refuse(-1, e, "is not a file");
        return refuse(-1, e, {});
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) return refuse(fd, errno, {});
    if (S_ISDIR(st.st_mode)) return refuse(fd, EISDIR, {});
    if (!S_ISREG(st.st_mode)) return refuse(fd, EINVAL, "is not a file");
    std::string words = Distrust(st);
    if (!words.empty()) return refuse(fd, EPERM, words);
    if (NeedsRepair(st) && ::fchmod(fd, st.st_mode & 07777 & ~S_IWOTH) != 0)
        return refuse(fd, errno, "can be written by every user and cannot be closed to them");
    int fl = ::fcntl(fd, F_GETFL);
    if (fl >= 0) ::fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
    return fd;
}

bool CheckOwnFolder(const std::string& path, bool create, mode_t mode, std::string* why) {
    auto refuse = [&](const std::string& words) {
        if (why) *why = words;
        return false;
    };
    auto failed = [&] { return refuse(std::string("cannot be used: ") + std::strerror(errno)); };
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        if (errno != ENOENT || !create) return failed();
        if (::mkdir(path.c_str(), mode) != 0 && errno != EEXIST) return failed();
        if (::lstat(path.c_str(), &st) != 0) return failed();
    }
    if (S_ISLNK(st.st_mode)) return refuse("is a symbolic link");
    if (!S_ISDIR(st.st_mode)) return refuse("is not a folder");
    std::string distrust = Distrust(st);
    if (!distrust.empty()) return refuse(distrust);
    if (NeedsRepair(st) && ::chmod(path.c_str(), st.st_mode & 07777 & ~S_IWOTH) != 0)
        return refuse("can be written by every user and cannot be closed to them");
    return true;
}

}  // namespace filetrust
