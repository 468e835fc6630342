#include "platform/DesktopNotifier.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QStringList>
#include <QVariantMap>

#include "platform/SessionBus.h"
#include "platform/Utf8Text.h"

namespace {

const char* const kService = "org.freedesktop.Notifications";
const char* const kPath = "/org/freedesktop/Notifications";
const char* const kInterface = "org.freedesktop.Notifications";

QString Q(const std::string& s) {
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

}  // namespace

DesktopNotifier::DesktopNotifier(QDBusConnection connection, QObject* parent, int callTimeout)
    : QObject(parent), connection_(std::move(connection)), callTimeout_(callTimeout) {
    if (!connection_.isConnected()) return;
    // No sender named: naming the service would make the bus library look its owner up with
    // a call that waits. Each signal is matched to the sender of the notification instead.
    connection_.connect(QString(), kPath, kInterface, "ActionInvoked", this,
                        SLOT(OnActionInvoked(uint, QString, QDBusMessage)));
    connection_.connect(QString(), kPath, kInterface, "NotificationClosed", this,
                        SLOT(OnClosed(uint, uint, QDBusMessage)));
}

DesktopNotifier::~DesktopNotifier() {
    if (!connection_.isConnected()) return;
    connection_.disconnect(QString(), kPath, kInterface, "ActionInvoked", this,
                           SLOT(OnActionInvoked(uint, QString, QDBusMessage)));
    connection_.disconnect(QString(), kPath, kInterface, "NotificationClosed", this,
                           SLOT(OnClosed(uint, uint, QDBusMessage)));
}

std::unique_ptr<DesktopNotifier> DesktopNotifier::ForSessionBus(QObject* parent) {
    bool fromEnvironment = false;
    std::string address = SessionBusAddress(&fromEnvironment);
    if (fromEnvironment)
        return std::make_unique<DesktopNotifier>(QDBusConnection::sessionBus(), parent);
    if (!address.empty())
        return std::make_unique<DesktopNotifier>(
            QDBusConnection::connectToBus(Q(address), "quorvane-notifications"), parent);
    return std::make_unique<DesktopNotifier>(QDBusConnection(QString()), parent);
}

std::string DesktopNotifier::BodyText(const std::string& text, bool markup) {
    std::string_view cut(text);
    // A NUL would end the text early on the far side; it ends it here.
    cut = cut.substr(0, cut.find('\0'));
    cut = cut.substr(0, Utf8CutPoint(cut, kBodyMax));
    std::string out;
    out.reserve(cut.size());
    for (size_t i = 0; i < cut.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(cut[i]);
        if (c == '\r') {
            if (i + 1 < cut.size() && cut[i + 1] == '\n') ++i;
            out += '\n';
        } else if (c == '\n') {
            out += '\n';
        } else if (c < 0x20 || c == 0x7F) {
            out += ' ';
        } else if (markup && c == '&') {
            out += "&amp;";
        } else if (markup && c == '<') {
            out += "&lt;";
        } else if (markup && c == '>') {
            out += "&gt;";
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

void DesktopNotifier::Notify(const Note& note) {
    if (!connection_.isConnected()) return;
    if (caps_ == Caps::Known) {
        Send(note);
        return;
    }
    // Whether the body may carry markup decides how it is escaped: hold the note until the
    // service has said, keeping the newest few.
    if (queued_.size() >= kQueuedMax) queued_.pop_front();
    queued_.push_back(note);
    if (caps_ == Caps::Unknown) AskCapabilities();
}

void DesktopNotifier::AskCapabilities() {
    if (pending_ >= kPendingMax) {
        queued_.clear();
        return;
    }
    caps_ = Caps::Asking;
    QDBusMessage call =
        QDBusMessage::createMethodCall(kService, kPath, kInterface, "GetCapabilities");
    auto* watcher = new QDBusPendingCallWatcher(connection_.asyncCall(call, callTimeout_), this);
    ++pending_;
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        --pending_;
        QDBusPendingReply<QStringList> reply = *w;
        if (reply.isError()) {
            // Nobody shows notifications now; these are dropped, and a later note
            // asks again (a service may start in the meantime).
            caps_ = Caps::Unknown;
            queued_.clear();
            Failed(reply.error().message());
            return;
        }
        caps_ = Caps::Known;
        markup_ = reply.value().contains("body-markup");
        std::deque<Note> held;
        held.swap(queued_);
        for (const Note& n : held) Send(n);
    });
}

void DesktopNotifier::Send(const Note& note) {
    // A service that answers slowly or never cannot make calls pile up: past the bound,
    // notes are dropped until answers (or their time-outs) come back.
    if (pending_ >= kPendingMax) return;
    // A record with nothing to open offers no action: a button that does nothing is worse
    // than none.
    QStringList actions;
    if (note.action != 0)
        actions << "default"
                << "Open"
                << "open"
                << "Open";
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, "Notify");
    call << QString("Quorvane") << uint(0) << Q(note.icon) << Q(note.summary)
         << Q(BodyText(note.body, markup_)) << actions << QVariantMap() << int(-1);
    auto* watcher = new QDBusPendingCallWatcher(connection_.asyncCall(call, callTimeout_), this);
    ++pending_;
    const int action = note.action;
    const std::string link = note.link;
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, action, link](QDBusPendingCallWatcher* w) {
                w->deleteLater();
                --pending_;
                QDBusPendingReply<uint> reply = *w;
                if (reply.isError()) {
                    // Perhaps another service took the name: ask its capabilities anew,
                    // unless that question is already out.
                    if (caps_ != Caps::Asking) caps_ = Caps::Unknown;
                    Failed(reply.error().message());
                    return;
                }
                if (action == 0) return;  // nothing to open
                uint id = reply.value();
                if (tracked_.count(id)) Forget(id);
                tracked_[id] = Tracked{action, link, reply.reply().service()};
                trackedOrder_.push_back(id);
                while (tracked_.size() > kTrackedMax) Forget(trackedOrder_.front());
            });
}

void DesktopNotifier::Failed(const QString& why) {
    if (toldUnavailable_) return;
    toldUnavailable_ = true;
    emit unavailable(why.toStdString());
}

void DesktopNotifier::Forget(uint id) {
    tracked_.erase(id);
    for (auto it = trackedOrder_.begin(); it != trackedOrder_.end(); ++it) {
        if (*it == id) {
            trackedOrder_.erase(it);
            break;
        }
    }
}

void DesktopNotifier::OnActionInvoked(uint id, const QString& key, const QDBusMessage& message) {
    auto it = tracked_.find(id);
    if (it == tracked_.end() || it->second.sender != message.service()) return;
    if (key != "open" && key != "default") return;
    // Copied first: a slot may close the notification, and with it the entry.
    const int action = it->second.action;
    const std::string link = it->second.link;
    // One notification opens its link once: a service that repeats the signal (or a user's
    // second click on a notification the server keeps) must not start browser after browser.
    Forget(id);
    emit openRequested(action, link);
}

void DesktopNotifier::OnClosed(uint id, uint, const QDBusMessage& message) {
    auto it = tracked_.find(id);
    if (it == tracked_.end() || it->second.sender != message.service()) return;
    Forget(id);
}
