#pragma once

// A private message bus and a notification service on it that records what it is asked:
// desktop notifications are tested without the user's session bus.

#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusMessage>
#include <QDeadlineTimer>
#include <QFile>
#include <QObject>
#include <QProcess>
#include <QStandardPaths>
#include <QStringList>
#include <QTemporaryDir>
#include <QVariantMap>
#include <vector>

inline const char* const kNotificationsPath = "/org/freedesktop/Notifications";
inline const char* const kNotificationsInterface = "org.freedesktop.Notifications";

// A bus of the test's own: dbus-daemon with a configuration that starts no services, ended
// (killed) with this object.
class PrivateBus {
public:
    PrivateBus() {
        const QString program = QStandardPaths::findExecutable("dbus-daemon");
        if (program.isEmpty() || !dir_.isValid()) return;
        const QString config = dir_.filePath("bus.conf");
        QFile f(config);
        if (!f.open(QIODevice::WriteOnly)) return;
        f.write(
            "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
            " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
            "<busconfig><type>session</type><listen>unix:tmpdir=/tmp</listen>"
            "<auth>EXTERNAL</auth><policy context=\"default\">"
            "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
            "<allow own=\"*\"/></policy></busconfig>\n");
        f.close();
        daemon_.start(program, {"--config-file=" + config, "--nofork", "--print-address=1"});
        if (!daemon_.waitForStarted(10000)) return;
        QByteArray out;
        QDeadlineTimer deadline(10000);
        while (!out.contains('\n') && !deadline.hasExpired() &&
               daemon_.state() == QProcess::Running) {
            daemon_.waitForReadyRead(static_cast<int>(deadline.remainingTime()));
            out += daemon_.readAllStandardOutput();
        }
        if (out.contains('\n')) address_ = QString::fromUtf8(out.left(out.indexOf('\n')));
    }
    ~PrivateBus() {
        for (const QString& name : names_) QDBusConnection::disconnectFromBus(name);
        if (daemon_.state() != QProcess::NotRunning) {
            daemon_.kill();
            daemon_.waitForFinished(5000);
        }
    }
    const QString& address() const { return address_; }
    QDBusConnection Connect() {
        static int serial = 0;
        QString name = QString("quorvane-test-%1").arg(++serial);
        names_.push_back(name);
        return QDBusConnection::connectToBus(address_, name);
    }

private:
    QTemporaryDir dir_;
    QProcess daemon_;
    QString address_;
    std::vector<QString> names_;
};

// The notification service: records what it is asked, answers as told, and can stay silent.
class RecordingNotifications : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    struct Call {
        QString app;
        uint replaces = 0;
        QString icon, summary, body;
        QStringList actions;
        int timeout = 0;
    };
    std::vector<Call> calls;
    QStringList capabilities{"actions", "body"};
    bool answerCapabilities = true;
    bool answerNotify = true;
    uint nextId = 1;

public slots:
    QStringList GetCapabilities() {
        if (!answerCapabilities) setDelayedReply(true);  // and never answered
        return capabilities;
    }
    QString GetServerInformation(QString& vendor, QString& version, QString& specVersion) {
        vendor = "test";
        version = "1";
        specVersion = "1.2";
        return "recorder";
    }
    uint Notify(const QString& app, uint replaces, const QString& icon, const QString& summary,
                const QString& body, const QStringList& actions, const QVariantMap&, int timeout) {
        calls.push_back({app, replaces, icon, summary, body, actions, timeout});
        if (!answerNotify) setDelayedReply(true);
        return nextId++;
    }
};

inline void EmitSignal(QDBusConnection& from, const char* name, uint id, const QVariant& second) {
    QDBusMessage m = QDBusMessage::createSignal(kNotificationsPath, kNotificationsInterface, name);
    m << id << second;
    from.send(m);
}
