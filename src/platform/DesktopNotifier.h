#pragma once

// Desktop notifications: shows a message as a freedesktop notification
// (org.freedesktop.Notifications on the session bus) and reports a click on its "Open"
// action. Every call is asynchronous and bounded: without a bus, without a notification
// service, or with a service that never answers, Notify returns at once and nothing piles up.

#include <QDBusConnection>
#include <QObject>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>

class QDBusMessage;

class DesktopNotifier : public QObject {
    Q_OBJECT
public:
    // The most bytes of a message's text a notification shows (cut on a character boundary).
    static constexpr size_t kBodyMax = 1000;
    // Notifications whose "Open" is remembered until the service says they closed; older ones
    // are forgotten, so a service that never says so cannot grow the list.
    static constexpr size_t kTrackedMax = 64;
    // Calls awaiting the service's answer; past this, further notifications are dropped.
    static constexpr size_t kPendingMax = 16;
    // Notifications held while the service's capabilities are being asked.
    static constexpr size_t kQueuedMax = 16;
    // How long the service has to answer a call, in milliseconds.
    static constexpr int kCallTimeout = 10000;

    struct Note {
        std::string summary;
        std::string body;  // plain UTF-8 text; escaped here where the service reads markup
        std::string icon;  // an icon theme name
        int action = 0;    // what "Open" does with link; 0 offers no "Open"
        std::string link;
    };

    // Uses connection (the session bus, or a private one in tests). A connection that is not
    // connected sends nothing. callTimeout: how long the service has to answer, in ms.
    explicit DesktopNotifier(QDBusConnection connection, QObject* parent = nullptr,
                             int callTimeout = kCallTimeout);
    ~DesktopNotifier() override;

    // The notifier over the user's session bus, when there is one to reach. Never starts a bus.
    static std::unique_ptr<DesktopNotifier> ForSessionBus(QObject* parent = nullptr);

    // Shows note; returns at once.
    void Notify(const Note& note);

    bool connected() const { return connection_.isConnected(); }
    size_t pendingCalls() const { return pending_; }
    size_t trackedCount() const { return tracked_.size(); }
    size_t queuedCount() const { return queued_.size(); }

    // The notification body for text: line breaks as line feeds, other control bytes as
    // spaces, cut to kBodyMax bytes, and & < > escaped when markup is true.
    static std::string BodyText(const std::string& text, bool markup);

signals:
    // "Open" (or a click on the notification) of a note with an action.
    void openRequested(int action, const std::string& link);
    // The first time a call failed: why. Said once in a notifier's life.
    void unavailable(const std::string& why);

private slots:
    void OnActionInvoked(uint id, const QString& key, const QDBusMessage& message);
    void OnClosed(uint id, uint reason, const QDBusMessage& message);

private:
    struct Tracked {
        int action = 0;
        std::string link;
        QString sender;  // the service's unique name: a signal from anyone else is not its
    };
    void AskCapabilities();
    void Send(const Note& note);
    void Failed(const QString& why);
    void Forget(uint id);

    QDBusConnection connection_;
    int callTimeout_;
    enum class Caps { Unknown, Asking, Known } caps_ = Caps::Unknown;
    bool markup_ = false;
    bool toldUnavailable_ = false;
    size_t pending_ = 0;
    std::deque<Note> queued_;
    std::map<uint, Tracked> tracked_;
    std::deque<uint> trackedOrder_;  // oldest first
};
