#include "app/Ticker.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFileInfo>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <set>
#include <vector>

#include "content/HtmlScan.h"
#include "monitors/LumettaRetrieval.h"
#include "platform/Utf8Text.h"
#include "settings/Settings.h"

namespace {

// A burst of file events (a rename is several) is read once, this long after it began.
constexpr int kSettleMs = 100;

bool IsSpace(unsigned char c) {
    return c <= 0x20 || c == 0x7F;
}

// Cuts text to at most limit bytes without splitting a UTF-8 sequence; a cut text ends
// with an ellipsis inside the limit.
std::string CutUtf8(std::string text, size_t limit) {
    if (text.size() <= limit) return text;
    static const std::string kEllipsis = "\xE2\x80\xA6";
    text.resize(Utf8CutPoint(text, limit > kEllipsis.size() ? limit - kEllipsis.size() : 0));
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text + kEllipsis;
}

// Every run of white space and control bytes one blank, none at either end.
std::string Collapse(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    bool blank = false;
    for (char ch : text) {
        if (IsSpace(static_cast<unsigned char>(ch))) {
            blank = !out.empty();
            continue;
        }
        if (blank) out += ' ';
        blank = false;
        out += ch;
    }
    return out;
}

// A page that is not UTF-8 is taken for Windows Latin-1, the usual other one (Latin-1 with
// dashes and quotes in 0x80 to 0x9F), so that its letters show instead of replacement marks.
std::string AsUtf8(std::string bytes) {
    if (IsValidUtf8(bytes)) return bytes;
    std::string out;
    out.reserve(bytes.size() + bytes.size() / 8);
    for (char ch : bytes) {
        unsigned char c = static_cast<unsigned char>(ch);
        if (c < 0x80) {
            out += ch;
        } else {
            // The characters of the upper half, in UTF-8, worked out once.
            static const std::vector<std::string> kUpper = [] {
                std::vector<std::string> table;
                for (int code = 0x80; code <= 0xFF; ++code) {
                    size_t advance = 0;
                    table.push_back(
                        html::DecodeEntity("&#" + std::to_string(code) + ";", &advance));
                }
                return table;
            }();
            out += kUpper[c - 0x80];
        }
    }
    return out;
}

// A read cut at its limit may end inside a character: those bytes go, so that the rest
// is still read as the UTF-8 it is.
void DropCutCharacter(std::string* bytes) {
    size_t n = bytes->size();
    for (size_t back = 1; back <= 3 && back <= n; ++back) {
        unsigned char c = static_cast<unsigned char>((*bytes)[n - back]);
        if ((c & 0xC0) == 0x80) continue;  // a continuation byte: look further back
        size_t needs = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
        if (needs > back) bytes->resize(n - back);
        return;
    }
}

// A blank where a block of text ends or begins, so that "<li>One</li><li>Two</li>" reads
// "One Two" and not "OneTwo" once the tags are gone.
std::string SpaceBlocks(std::string_view page) {
    static const std::set<std::string, std::less<>> kBlocks = {
        "address", "article", "aside",      "blockquote", "br", "caption", "dd",  "div",
        "dl",      "dt",      "figcaption", "footer",     "h1", "h2",      "h3",  "h4",
        "h5",      "h6",      "header",     "hr",         "li", "main",    "nav", "ol",
        "p",       "pre",     "section",    "table",      "td", "th",      "tr",  "ul"};
    std::string out;
    out.reserve(page.size() + page.size() / 16);
    size_t i = 0;
    while (i < page.size()) {
        size_t lt = page.find('<', i);
        if (lt == std::string_view::npos) break;
        out.append(page, i, lt - i);
        size_t at = lt + 1;
        if (at < page.size() && page[at] == '/') ++at;
        size_t nameEnd = at;
        while (nameEnd < page.size() && nameEnd - at < 12 &&
               std::isalnum(static_cast<unsigned char>(page[nameEnd])))
            ++nameEnd;
        std::string name(page.substr(at, nameEnd - at));
        for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (!name.empty() && kBlocks.count(name)) out += ' ';
        out += '<';
        i = lt + 1;
    }
    out.append(page, std::min(i, page.size()), std::string_view::npos);
    return out;
}

// The body of a response sent in chunks, put together; what cannot be read as chunks
// stays as it came.
std::string Dechunk(std::string_view body) {
    std::string out;
    size_t at = 0;
    while (at < body.size()) {
        size_t eol = body.find('\n', at);
        if (eol == std::string_view::npos) return std::string(body);
        size_t size = 0, digits = 0;
        for (size_t k = at; k < eol; ++k, ++digits) {
            int d = std::isxdigit(static_cast<unsigned char>(body[k]))
                        ? (std::isdigit(static_cast<unsigned char>(body[k]))
                               ? body[k] - '0'
                               : std::tolower(static_cast<unsigned char>(body[k])) - 'a' + 10)
                        : -1;
            if (d < 0) break;
            if (size > (body.size() >> 4)) return std::string(body);  // larger than the body
            size = size * 16 + static_cast<size_t>(d);
        }
        if (digits == 0) return std::string(body);
        if (size == 0) return out;
        size_t data = eol + 1;
        out.append(body.substr(data, std::min(size, body.size() - std::min(data, body.size()))));
        if (data + size >= body.size()) return out;  // cut short: what came is shown
        at = data + size;
        if (at < body.size() && body[at] == '\r') ++at;
        if (at < body.size() && body[at] == '\n') ++at;
    }
    return out;
}

std::string Lower(std::string_view s) {
    std::string r(s);
    for (char& c : r)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return r;
}

// Drops every element named name (start tag to end tag, both included) whose content is
// no text a reader wants on the strip. An element left open runs to the end of the page.
std::string DropElement(const std::string& page, const char* name) {
    const std::string lower = Lower(page);
    const std::string open = std::string("<") + name, close = std::string("</") + name;
    std::string out;
    size_t from = 0;
    for (;;) {
        size_t at = lower.find(open, from);
        // "<scripting>" is not a script.
        while (at != std::string::npos && at + open.size() < lower.size()) {
            char next = lower[at + open.size()];
            if (next == '>' || next == '/' || IsSpace(static_cast<unsigned char>(next))) break;
            at = lower.find(open, at + 1);
        }
        if (at == std::string::npos || at + open.size() >= lower.size()) break;
        out.append(page, from, at - from);
        size_t end = lower.find(close, at + open.size());
        if (end == std::string::npos) return out + " ";
        size_t gt = lower.find('>', end);
        from = gt == std::string::npos ? lower.size() : gt + 1;
        out += ' ';
    }
    out.append(page, from, std::string::npos);
    return out;
}

// The first non-blank line of text (collapsed) and the rest.
void SplitFirstLine(std::string_view text, std::string* first, std::string* rest) {
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string_view::npos) nl = text.size();
        std::string line = Collapse(text.substr(pos, nl - pos));
        pos = nl + 1;
        if (!line.empty()) {
            *first = line;
            *rest = pos < text.size() ? Collapse(text.substr(pos)) : std::string();
            return;
        }
    }
    first->clear();
    rest->clear();
}

std::string HeaderValue(std::string_view headers, std::string_view name) {
    const std::string lower = Lower(headers);
    const std::string want = "\n" + Lower(name) + ":";
    size_t at = lower.find(want);
    if (at == std::string::npos) return {};
    size_t start = at + want.size();
    size_t end = lower.find('\n', start);
    return Collapse(headers.substr(start, end == std::string::npos ? end : end - start));
}

// Named references that pages use every day but the page scanner leaves alone (it knows
// the few that page scripts rely on): written as numbers, which it decodes, so that a
// headline shows "é" and "–" instead of "eacute;" and "ndash;".
std::string WithNumericReferences(std::string_view page) {
    static const char* const kLatin1[] = {
        "Agrave", "Aacute", "Acirc",  "Atilde", "Auml",   "Aring",  "AElig", "Ccedil",
        "Egrave", "Eacute", "Ecirc",  "Euml",   "Igrave", "Iacute", "Icirc", "Iuml",
        "ETH",    "Ntilde", "Ograve", "Oacute", "Ocirc",  "Otilde", "Ouml",  nullptr,
        "Oslash", "Ugrave", "Uacute", "Ucirc",  "Uuml",   "Yacute", "THORN", "szlig",
        "agrave", "aacute", "acirc",  "atilde", "auml",   "aring",  "aelig", "ccedil",
        "egrave", "eacute", "ecirc",  "euml",   "igrave", "iacute", "icirc", "iuml",
        "eth",    "ntilde", "ograve", "oacute", "ocirc",  "otilde", "ouml",  nullptr,
        "oslash", "ugrave", "uacute", "ucirc",  "uuml",   "yacute", "thorn", "yuml"};
    static const struct {
        const char* name;
        int code;
    } kOthers[] = {{"ndash", 0x2013},  {"mdash", 0x2014},  {"lsquo", 0x2018}, {"rsquo", 0x2019},
                   {"sbquo", 0x201A},  {"ldquo", 0x201C},  {"rdquo", 0x201D}, {"bdquo", 0x201E},
                   {"hellip", 0x2026}, {"bull", 0x2022},   {"euro", 0x20AC},  {"trade", 0x2122},
                   {"apos", 0x27},     {"OElig", 0x152},   {"oelig", 0x153},  {"Scaron", 0x160},
                   {"scaron", 0x161},  {"dagger", 0x2020}, {"prime", 0x2032}, {"thinsp", 0x2009},
                   {"ensp", 0x2002},   {"emsp", 0x2003}};
    std::string out;
    out.reserve(page.size());
    size_t i = 0;
    while (i < page.size()) {
        size_t amp = page.find('&', i);
        if (amp == std::string_view::npos) break;
        out.append(page, i, amp - i);
        size_t end = amp + 1;
        while (end < page.size() && end - amp <= 8 &&
               std::isalpha(static_cast<unsigned char>(page[end])))
            ++end;
        int code = 0;
        if (end < page.size() && page[end] == ';' && end > amp + 1) {
            std::string_view name = page.substr(amp + 1, end - amp - 1);
            for (int k = 0; k < 64 && !code; ++k)
                if (kLatin1[k] && name == kLatin1[k]) code = 192 + k;
            for (const auto& other : kOthers)
                if (!code && name == other.name) code = other.code;
        }
        if (code) {
            out += "&#" + std::to_string(code) + ";";
            i = end + 1;
        } else {
            out += '&';
            i = amp + 1;
        }
    }
    out.append(page, std::min(i, page.size()), std::string_view::npos);
    return out;
}

}  // namespace

double TickerDisplay::PointSize() const {
    static constexpr int kPoints[] = {12, 14, 16, 20, 24, 30, 36};
    return kPoints[std::clamp(fontSize, 1, 7) - 1] * std::clamp(zoom, 25, 400) / 100.0;
}

CTicker::CTicker(std::string eventName, QObject* parent)
    : QObject(parent), event_(std::move(eventName)) {
    settle_.setSingleShot(true);
    settle_.setInterval(kSettleMs);
    connect(&settle_, &QTimer::timeout, this, &CTicker::Reload);
    connect(&poll_, &QTimer::timeout, this, &CTicker::Reload);
    connect(&watcher_, &QFileSystemWatcher::fileChanged, this, [this] { settle_.start(); });
    connect(&watcher_, &QFileSystemWatcher::directoryChanged, this, [this] { settle_.start(); });
}

bool CTicker::CheckEvent(const std::string& name, std::string* error) {
    RegKey key;
    // A name with a backslash would reach into another key (a document of an event).
    if (name.empty() || name.find('\\') != std::string::npos ||
        key.Open(RegKey::LocalMachine(), settings::EventPath(name)) != ERROR_SUCCESS) {
        *error = "there is no event named \"" + name + "\"";
        return false;
    }
    if (settings::ReadDword(key, settings::kType, 0) != settings::kLumettaDisplay) {
        *error = "the event \"" + name + "\" is not a Lumetta display";
        return false;
    }
    return true;
}

void CTicker::Load() {
    Reload();
}

void CTicker::StartPolling() {
    polling_ = true;
    ApplyPoll();
}

void CTicker::ApplyPoll() {
    if (display_.refreshSeconds > 0) {
        poll_.start(display_.refreshSeconds * 1000);
    } else {
        poll_.stop();
    }
}

std::string CTicker::LinkOf(const std::string& url) {
    std::string link = Collapse(url);
    // "variable@start page", read as the retrieval reads it: before a run has said where
    // the script led, the start page stands in.
    std::string variable, start;
    if (SplitScriptUrl(link, &variable, &start)) link = std::move(start);
    if (link.empty()) return link;
    // Only web pages are opened from the strip: a document address names nothing else,
    // and a click must not start whatever program another scheme calls up.
    const std::string lower = Lower(link);
    if (lower.find("://") != std::string::npos)
        return lower.rfind("http://", 0) == 0 || lower.rfind("https://", 0) == 0 ? link : "";
    size_t colon = lower.find(':');
    if (colon != std::string::npos && colon > 0 && colon + 1 < lower.size() &&
        !std::isdigit(static_cast<unsigned char>(lower[colon + 1])) &&
        lower.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789+-.") == colon)
        return "";  // mailto:, javascript: and the like
    // A bare host name is a web address; it must never reach the opener looking like an
    // option either.
    return "http://" + link;
}

TickerItem CTicker::ItemFromDocument(const std::string& bytes, const std::string& link) {
    TickerItem item;
    item.link = link;
    std::string headers, body;
    if (bytes.compare(0, 5, "HTTP/") == 0) {
        size_t crlf = bytes.find("\r\n\r\n"), lf = bytes.find("\n\n");
        size_t end = std::min(crlf, lf);
        if (end != std::string::npos) {
            headers = bytes.substr(0, end);
            body = bytes.substr(end + (end == crlf ? 4 : 2));
        } else {
            headers = bytes;  // a response cut short in its header: no text to show
        }
    } else {
        body = bytes;
    }
    std::string type = Lower(HeaderValue("\n" + headers, "Content-Type"));
    if (!type.empty() && type.find("text") == std::string::npos &&
        type.find("html") == std::string::npos && type.find("xml") == std::string::npos) {
        item.available = false;
        item.title = link.empty() ? "Untitled document" : CutUtf8(AsUtf8(link), kTitleLimit);
        item.text = CutUtf8("Not a text document (" + AsUtf8(type) + ").", kTextLimit);
        return item;
    }
    if (Lower(HeaderValue("\n" + headers, "Transfer-Encoding")).find("chunked") !=
        std::string::npos)
        body = Dechunk(body);
    bool isHtml =
        type.empty() ? body.find('<') != std::string::npos : type.find("html") != std::string::npos;
    body = AsUtf8(std::move(body));
    if (isHtml) body = WithNumericReferences(body);

    std::string title, text;
    if (isHtml) {
        std::string raw;
        if (html::Title(body, &raw, nullptr, nullptr))
            title = Collapse(html::HtmlToText(raw, false));
        std::string shown = body;
        for (const char* name : {"title", "script", "style", "noscript"})
            shown = DropElement(shown, name);
        shown = SpaceBlocks(shown);
        if (title.empty()) {
            SplitFirstLine(html::HtmlToText(shown, true), &title, &text);
        } else {
            text = Collapse(html::HtmlToText(shown, false));
        }
    } else {
        SplitFirstLine(body, &title, &text);
    }
    // The stored address is whatever bytes the settings hold; the strip draws UTF-8.
    if (title.empty()) title = link.empty() ? "Untitled document" : AsUtf8(link);
    item.title = CutUtf8(std::move(title), kTitleLimit);
    item.text = CutUtf8(std::move(text), kTextLimit);
    return item;
}

CTicker::Signature CTicker::SignatureOf(const std::string& file) {
    Signature s;
    struct stat st {};
    if (file.empty() || ::stat(file.c_str(), &st) != 0) return s;
    s.exists = true;
    s.size = st.st_size;
    s.mtime = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    s.inode = static_cast<int64_t>(st.st_ino);
    return s;
}

TickerItem CTicker::ReadItem(const Document& doc) const {
    const std::string link = LinkOf(doc.fetched.empty() ? doc.url : doc.fetched);
    TickerItem missing;
    missing.available = false;
    missing.link = link;
    missing.title = link.empty() ? doc.file : link;
    if (doc.file.empty()) {
        missing.title = link.empty() ? "Unnamed document" : link;
        missing.text = "No file is named for this document.";
        return missing;
    }
    int fd = ::open(doc.file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        missing.text = errno == ENOENT ? "Not retrieved yet."
                                       : std::string("Cannot be read: ") + std::strerror(errno);
        return missing;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        missing.text = "Cannot be read: not a file.";
        return missing;
    }
    std::string bytes;
    bytes.resize(static_cast<size_t>(std::min<int64_t>(st.st_size, kReadLimit)));
    size_t got = 0;
    while (got < bytes.size()) {
        ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    ::close(fd);
    bytes.resize(got);
    if (st.st_size > static_cast<off_t>(got)) DropCutCharacter(&bytes);
    return ItemFromDocument(bytes, link);
}

void CTicker::Reload() {
    TickerDisplay display;
    std::vector<Document> docs;
    RegKey key;
    // An event deleted, renamed or changed into another kind while its strip is open: the
    // strip says so rather than show what now stands under the name.
    std::string gone;
    if (key.Open(RegKey::LocalMachine(), settings::EventPath(event_)) != ERROR_SUCCESS)
        gone = "This display no longer exists (deleted or renamed).";
    else if (settings::ReadDword(key, settings::kType, 0) != settings::kLumettaDisplay)
        gone = "This event is no longer a Lumetta display.";
    if (gone.empty()) {
        auto value = [&](const char* name, DWORD fallback, DWORD low, DWORD high) {
            return static_cast<int>(
                std::clamp(settings::ReadDword(key, name, fallback), low, high));
        };
        display.refreshSeconds =
            value(settings::kRefreshRate, settings::kDefaultRefreshRate, 0, 86400);
        display.scrollSpeed = value(settings::kScrollSpeed, settings::kDefaultScrollSpeed, 1, 40);
        display.fontSize = value(settings::kFontSize, settings::kDefaultFontSize, 1, 7);
        DWORD type = settings::ReadDword(key, settings::kScrollType, settings::kDefaultScrollType);
        display.scrollType =
            type <= 2 ? static_cast<TickerDisplay::Scroll>(type) : TickerDisplay::Horizontal;
        display.zoom = value(settings::kZoom, settings::kDefaultZoom, 25, 400);
        display.onTop = settings::ReadDword(key, settings::kOnTop, settings::kDefaultOnTop) != 0;
        std::string name;
        for (DWORD i = 0; static_cast<int>(docs.size()) < kMaxItems; ++i) {
            LONG rc = key.EnumKey(i, &name);
            if (rc == ERROR_NO_MORE_ITEMS) break;
            if (rc != ERROR_SUCCESS) {
                if (i > 100000) break;  // a store that fails without end
                continue;
            }
            RegKey sub;
            if (sub.Open(key, name) != ERROR_SUCCESS) continue;
            Document d;
            // Read as the retrieval reads them, so that the strip shows the files it writes.
            d.file = settings::ReadString(sub, settings::kDocFile);
            d.url = settings::ReadString(sub, settings::kUrl);
            d.fetched = settings::ReadString(sub, settings::kFetchedUrl, settings::kPathBuffer);
            docs.push_back(std::move(d));
        }
    }

    bool changedAny =
        !(display.refreshSeconds == display_.refreshSeconds &&
          display.scrollSpeed == display_.scrollSpeed && display.fontSize == display_.fontSize &&
          display.scrollType == display_.scrollType && display.zoom == display_.zoom &&
          display.onTop == display_.onTop) ||
        docs.size() != docs_.size();
    std::vector<TickerItem> items;
    items.reserve(docs.size());
    if (!gone.empty()) {
        TickerItem item;
        item.available = false;
        item.title = event_;
        item.text = gone;
        changedAny |= items_.size() != 1 || items_[0].text != gone;
        items.push_back(std::move(item));
    }
    for (size_t i = 0; i < docs.size(); ++i) {
        Document& d = docs[i];
        d.seen = SignatureOf(d.file);
        // A document whose file has not changed since it was read is not read again.
        if (i < docs_.size() && i < items_.size() && docs_[i].file == d.file &&
            docs_[i].url == d.url && docs_[i].seen == d.seen && d.seen.exists) {
            items.push_back(items_[i]);
            continue;
        }
        TickerItem item = ReadItem(d);
        if (i >= items_.size() || item.title != items_[i].title || item.text != items_[i].text ||
            item.link != items_[i].link || item.available != items_[i].available)
            changedAny = true;
        items.push_back(std::move(item));
    }
    bool pollChanged = display.refreshSeconds != display_.refreshSeconds;
    display_ = display;
    docs_ = std::move(docs);
    items_ = std::move(items);
    if (current_ >= static_cast<int>(items_.size())) current_ = 0;
    Watch();
    if (pollChanged && polling_) ApplyPoll();
    if (changedAny) emit changed();
}

void CTicker::Watch() {
    // A replaced file is a new file: the watch of the old one ends with it, and the
    // folder's watch is what sees the new one arrive.
    std::set<QString> want;
    for (const auto& d : docs_) {
        if (d.file.empty()) continue;
        QFileInfo info(QString::fromStdString(d.file));
        if (info.exists()) want.insert(info.absoluteFilePath());
        // A folder that does not exist yet is watched through the nearest one that does, so
        // that its making is seen without a poll.
        QString folder = info.absolutePath();
        while (!QFileInfo(folder).isDir()) {
            QString up = QFileInfo(folder).absolutePath();
            if (up == folder) break;
            folder = up;
        }
        if (QFileInfo(folder).isDir()) want.insert(folder);
    }
    QStringList drop;
    for (const QString& p : watcher_.files() + watcher_.directories())
        if (!want.count(p)) drop << p;
    if (!drop.isEmpty()) watcher_.removePaths(drop);
    QStringList add;
    QStringList have = watcher_.files() + watcher_.directories();
    for (const QString& p : want)
        if (!have.contains(p)) add << p;
    if (!add.isEmpty()) watcher_.addPaths(add);
}

void CTicker::SetLayout(std::vector<int> itemExtents, int viewExtent) {
    prefix_.clear();
    int64_t end = 0;
    for (int e : itemExtents) {
        end += std::max(e, 1);  // an empty item must not make the row end where it starts
        prefix_.push_back(end);
    }
    viewExtent_ = std::max(viewExtent, 0);
    WrapOffset();
}

void CTicker::WrapOffset() {
    int64_t row = cycle();
    if (row <= 0) {
        offset_ = 0;
        return;
    }
    // Copy k of the row begins at viewExtent - offset + k * row; once the first copy has
    // left the strip the second one is in its place.
    if (offset_ >= viewExtent_ + row) offset_ = viewExtent_ + (offset_ - viewExtent_) % row;
}

void CTicker::Tick() {
    if (paused_ || items_.empty()) return;
    if (display_.scrollType == TickerDisplay::Static) {
        if (++staticTicks_ >= std::max(1, kStaticTicksAtSpeed1 / display_.scrollSpeed)) {
            staticTicks_ = 0;
            current_ = (current_ + 1) % static_cast<int>(items_.size());
        }
        return;
    }
    if (prefix_.empty()) return;
    offset_ += display_.scrollSpeed;
    WrapOffset();
}

std::vector<CTicker::Placement> CTicker::Visible() const {
    std::vector<Placement> out;
    if (display_.scrollType == TickerDisplay::Static) {
        if (!items_.empty()) out.push_back({current_, 0});
        return out;
    }
    int64_t row = cycle();
    if (row <= 0) return out;
    // Until the window lays out a changed list again, only the items both sides know.
    const size_t count = std::min(prefix_.size(), items_.size());
    for (int64_t start = viewExtent_ - offset_; start < viewExtent_; start += row) {
        if (start + row <= 0) continue;
        auto first = std::upper_bound(prefix_.begin(), prefix_.end(), -start) - prefix_.begin();
        for (size_t i = static_cast<size_t>(first); i < count; ++i) {
            int64_t pos = start + (i ? prefix_[i - 1] : 0);
            if (pos >= viewExtent_) break;
            out.push_back({static_cast<int>(i), pos});
        }
    }
    return out;
}

int CTicker::ItemAt(int64_t pos) const {
    if (pos < 0 || pos >= viewExtent_ || items_.empty()) return -1;
    if (display_.scrollType == TickerDisplay::Static) return current_;
    int64_t row = cycle();
    if (row <= 0) return -1;
    int64_t c = pos - (viewExtent_ - offset_);
    if (c < 0) return -1;  // before the first copy has come in
    c %= row;
    auto i = std::upper_bound(prefix_.begin(), prefix_.end(), c) - prefix_.begin();
    return i < static_cast<int64_t>(items_.size()) ? static_cast<int>(i) : -1;
}
