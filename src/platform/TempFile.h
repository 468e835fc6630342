#pragma once

// Temporary files with a three-character prefix, created exclusively (O_EXCL, mode 0600)
// so that no other user can put a file, or a link, in their place first.

#include <cstddef>
#include <string>

class TempFile {
public:
    TempFile() = default;
    ~TempFile();
    TempFile(TempFile&& other) noexcept;
    TempFile& operator=(TempFile&& other) noexcept;
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    // Creates a new empty file named prefix + unique part + ".tmp" in dir (the system's
    // temporary folder when dir is empty). deleteOnClose: the file goes when closed.
    bool Create(const std::string& prefix, const std::string& dir = {}, bool deleteOnClose = false,
                std::string* error = nullptr);
    // A work file that only its descriptor reaches: its name goes at once, so that a
    // process killed mid-run leaves nothing behind, however much was written to it.
    bool CreateUnnamed(const std::string& prefix, const std::string& dir = {},
                       std::string* error = nullptr);
    // A file in dir that has no name until Publish gives it one, so that a process killed
    // while writing it leaves nothing behind; where the file system cannot make such a file,
    // a named one as Create makes (prefix) stands in.
    bool CreateNameless(const std::string& prefix, const std::string& dir,
                        std::string* error = nullptr);
    // Puts the file under path in place of whatever had that name, in one step as any
    // reader sees it, and forgets it. A nameless file is first given a temporary name
    // (prefix) in its folder, which must be path's folder. False with the system's words.
    bool Publish(const std::string& prefix, const std::string& path, std::string* error);
    void Close();
    // Leaves the file in place and forgets it; returns its path.
    std::string Release();

    int Fd() const { return fd_; }
    const std::string& Path() const { return path_; }
    bool IsOpen() const { return fd_ >= 0; }

    // The system's temporary folder: $TMPDIR, else /tmp.
    static std::string SystemTempDir();

private:
    int fd_ = -1;
    std::string path_;
    std::string nameless_;  // the folder of a file that has no name yet
    bool deleteOnClose_ = false;
};

// Writes all of size bytes, going on after interruptions; false on an error or a short
// write (a full disk), so that no caller mistakes part of a file for the whole.
bool WriteAll(int fd, const void* data, size_t size);
inline bool WriteAll(int fd, const std::string& text) {
    return WriteAll(fd, text.data(), text.size());
}
