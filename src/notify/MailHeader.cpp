#include "notify/MailHeader.h"

#include <unistd.h>

#include <cerrno>

namespace {

char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (Lower(a[i]) != Lower(b[i])) return false;
    return true;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && (IsBlank(s.back()) || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

}  // namespace

bool ReadHeaderBlock(int fd, std::string* block) {
    block->clear();
    char buf[4096];
    off_t at = 0;
    while (block->size() < kMaxHeaderBlock) {
        ssize_t got = ::pread(fd, buf, sizeof buf, at);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return false;
        if (got == 0) break;
        size_t before = block->size();
        block->append(buf, static_cast<size_t>(got));
        at += got;
        // The block ends at the first empty line (CR LF or a bare LF), or at the start
        // when the message has no header at all.
        size_t from = before >= 3 ? before - 3 : 0;
        if (block->compare(0, 2, "\r\n") == 0 || (*block)[0] == '\n') {
            block->clear();
            return true;
        }
        for (size_t i = from; i + 1 < block->size(); ++i) {
            if ((*block)[i] != '\n') continue;
            if ((*block)[i + 1] == '\n' ||
                ((*block)[i + 1] == '\r' && i + 2 < block->size() && (*block)[i + 2] == '\n')) {
                block->resize(i + 1);
                return true;
            }
        }
    }
    if (block->size() > kMaxHeaderBlock) block->resize(kMaxHeaderBlock);
    return true;
}

bool FindHeader(std::string_view block, std::string_view name, std::string* value) {
    value->clear();
    size_t pos = 0;
    while (pos < block.size()) {
        size_t end = block.find('\n', pos);
        if (end == std::string_view::npos) end = block.size();
        std::string_view line = block.substr(pos, end - pos);
        pos = end + 1;
        size_t colon = line.find(':');
        if (colon == std::string_view::npos || IsBlank(line[0])) continue;
        if (!SameNoCase(Trim(line.substr(0, colon)), name)) continue;
        std::string text(Trim(line.substr(colon + 1)));
        // Continuation lines begin with a blank; each is joined with one blank.
        while (pos < block.size() && IsBlank(block[pos])) {
            end = block.find('\n', pos);
            if (end == std::string_view::npos) end = block.size();
            std::string_view more = Trim(block.substr(pos, end - pos));
            pos = end + 1;
            if (more.empty()) continue;
            if (!text.empty()) text += ' ';
            text += more;
        }
        *value = std::move(text);
        return true;
    }
    return false;
}
