#pragma once

// The ticker of a Lumetta display event: the titles and texts of the documents that the
// event keeps up to date, scrolled along a strip. This is everything but the drawing: it
// reads the event's documents and display values, keeps the scroll state, says which item
// lies under a point of the strip, and reads the documents again when they change. The
// window draws what it is told and reports how wide (or tall) it drew each item.
//
// Display values of the event, and what this ticker makes of them:
//   RefreshRate  seconds between two checks of the documents, besides the file watch
//                (which sees most changes at once); 0 leaves the watch alone; at most a day
//   ScrollSpeed  pixels per step of the strip (a step every kTickMs); 1 to 40
//   FontSize     1 to 7, from small to very large (as HTML font sizes)
//   ScrollType   0 one item at a time, each standing still for a while; 1 right to left,
//                without end; 2 bottom to top, without end; any other value is 1
//   Zoom         percent applied to the font size; 25 to 400
//   OnTop        not 0: the strip stays above other windows

#include <QFileSystemWatcher>
#include <QObject>
#include <QTimer>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/Registry.h"

struct TickerItem {
    std::string title;      // UTF-8, one line
    std::string text;       // UTF-8, one line, at most kTextLimit bytes
    std::string link;       // what a click opens; empty: nothing
    bool available = true;  // false: the title and text say why the document is not shown
};

struct TickerDisplay {
    enum Scroll { Static = 0, Horizontal = 1, Vertical = 2 };
    int refreshSeconds = 10;  // 0: no polling
    int scrollSpeed = 2;      // pixels per tick
    int fontSize = 1;         // 1..7
    Scroll scrollType = Horizontal;
    int zoom = 100;  // percent
    bool onTop = false;

    // The point size of the item text for the font size and zoom.
    double PointSize() const;
};

class CTicker : public QObject {
    Q_OBJECT
public:
    // One step of the strip; the window's animation timer calls Tick at this period.
    static constexpr int kTickMs = 30;
    // How many bytes of a stored document are looked at: the title and the first words
    // are near its top, and a document of any size must not stall the strip.
    static constexpr int64_t kReadLimit = 256 * 1024;
    // Bytes of text shown for one document.
    static constexpr size_t kTextLimit = 2000;
    // Longest title shown, in bytes.
    static constexpr size_t kTitleLimit = 300;
    // Documents shown; an event listing more shows the first ones.
    static constexpr int kMaxItems = 500;
    // With ScrollType 0, how long one item stands at ScrollSpeed 1 (halved at 2, ...).
    static constexpr int kStaticTicksAtSpeed1 = 12000 / kTickMs;

    explicit CTicker(std::string eventName, QObject* parent = nullptr);

    // Whether name is a Lumetta display event of the settings store; else a reason for a
    // command line ("there is no event named ..." / "... is not a Lumetta display").
    static bool CheckEvent(const std::string& name, std::string* error);

    // Reads the event's values and documents now, and watches the documents.
    void Load();
    // Starts the poll of RefreshRate (the file watch runs from Load on).
    void StartPolling();
    bool polling() const { return poll_.isActive(); }

    const std::string& eventName() const { return event_; }
    const std::vector<TickerItem>& items() const { return items_; }
    const TickerDisplay& display() const { return display_; }
    // What the strip says when the event lists no document.
    static std::string EmptyText() { return "No documents for this ticker yet."; }

    // Scroll state. The view reports the extent of each item along the scroll direction
    // (its gap included) and of the strip itself; items are then laid end to end and the
    // row is repeated without end, entering at the far edge of the strip.
    void SetLayout(std::vector<int> itemExtents, int viewExtent);
    void Tick();
    void SetPaused(bool paused) { paused_ = paused; }
    bool paused() const { return paused_; }
    int64_t offset() const { return offset_; }
    // ScrollType 0: the item on show.
    int current() const { return current_; }

    struct Placement {
        int item;
        int64_t position;  // of the item's leading edge along the strip
    };
    // The items to draw, with where each begins.
    std::vector<Placement> Visible() const;
    // The item under position pos along the strip, or -1.
    int ItemAt(int64_t pos) const;

    // One stored document as the ticker shows it (a whole HTTP response, or a bare body).
    static TickerItem ItemFromDocument(const std::string& bytes, const std::string& link);
    // The address a click on a document opens, from its Url value.
    static std::string LinkOf(const std::string& url);

signals:
    // The items or the display values changed: lay them out again.
    void changed();

private:
    // The poll follows RefreshRate once the owner has asked for it.
    void ApplyPoll();
    struct Signature {
        bool exists = false;
        int64_t size = 0, mtime = 0, inode = 0;
        bool operator==(const Signature&) const = default;
    };
    struct Document {
        std::string file, url;
        std::string fetched;  // where the last run got the document, when it said
        Signature seen;
    };
    static Signature SignatureOf(const std::string& file);
    // Reads the event again and the documents that changed; emits changed when anything
    // shown did.
    void Reload();
    TickerItem ReadItem(const Document& doc) const;
    void Watch();
    void WrapOffset();
    int64_t cycle() const { return prefix_.empty() ? 0 : prefix_.back(); }

    std::string event_;
    TickerDisplay display_;
    std::vector<Document> docs_;
    std::vector<TickerItem> items_;
    QFileSystemWatcher watcher_;
    QTimer settle_;  // gathers a burst of file events into one reload
    QTimer poll_;
    bool polling_ = false;  // the owner asked for the RefreshRate poll

    std::vector<int64_t> prefix_;  // prefix_[i]: end of item i along the row
    int viewExtent_ = 0;
    int64_t offset_ = 0;
    int current_ = 0;
    int staticTicks_ = 0;
    bool paused_ = false;
};
