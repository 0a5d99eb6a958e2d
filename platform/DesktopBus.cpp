// The desktop services that live on D-Bus: notifications and the launcher
// icon's progress on the session bus, logind's sleep inhibitor on the system
// bus. A missing bus or service makes every call a quiet no-op.
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusReply>
#include <QDBusUnixFileDescriptor>
#include <QGuiApplication>
#include <QPointer>
#include <QSet>
#include <QStringList>
#include <QVariantMap>
#include <algorithm>
#include <cmath>
#include <map>

#include "platform/Services.h"

namespace platform {
namespace {

constexpr const char* kApplicationName = "MP3 Tunewright";

const QString kNotificationsService = QStringLiteral("org.freedesktop.Notifications");
const QString kNotificationsPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kNotificationsInterface = QStringLiteral("org.freedesktop.Notifications");
const QString kDefaultAction = QStringLiteral("default");

// QtDBus delivers replies and signals through the application's event loop.
bool haveApplication() {
    return QCoreApplication::instance() != nullptr;
}

// Remembers which folder each of our notifications opens and opens it when the
// server says the notification was clicked. A child of the application object,
// so it goes with it, before the bus connections are torn down at exit.
class NotificationActions : public QObject {
    Q_OBJECT
public:
    explicit NotificationActions(QObject* parent) : QObject(parent) {}

    void expect(uint id, const std::string& folder) {
        if (invokedEarly_.remove(id)) {
            open(folder);
            return;
        }
        folders_[id] = folder;
    }

public slots:
    void actionInvoked(uint id, const QString& key) {
        if (key != kDefaultAction) {
            return;
        }
        auto found = folders_.find(id);
        if (found == folders_.end()) {
            // The server may answer the click before this process has read the
            // reply that names the id; a few such ids are kept for it.
            if (invokedEarly_.size() < 16) {
                invokedEarly_.insert(id);
            }
            return;
        }
        std::string folder = found->second;
        folders_.erase(found);
        open(folder);
    }

    void notificationClosed(uint id, uint) {
        folders_.erase(id);
        invokedEarly_.remove(id);
    }

private:
    static void open(const std::string& folder) {
        if (Shell* shell = services().shell.get()) {
            shell->open(folder, ShowMode::Normal);
        }
    }

    std::map<uint, std::string> folders_;
    QSet<uint> invokedEarly_;
};

class DesktopNotifier : public Notifier {
public:
    void notify(const Notification& notification) override {
        if (!haveApplication()) {
            return;
        }
        QDBusConnection bus = QDBusConnection::sessionBus();
        if (!bus.isConnected()) {
            return;
        }
        NotificationActions* actions = actionsOn(bus);
        const QString icon = QGuiApplication::desktopFileName();
        QStringList actionList;
        if (!notification.actionFolder.empty()) {
            actionList << kDefaultAction << QStringLiteral("Open folder");
        }
        QVariantMap hints;
        if (!icon.isEmpty()) {
            hints.insert(QStringLiteral("desktop-entry"), icon);
        }
        QDBusMessage call =
            QDBusMessage::createMethodCall(kNotificationsService, kNotificationsPath,
                                           kNotificationsInterface, QStringLiteral("Notify"));
        call << QString::fromLatin1(kApplicationName) << uint(0) << icon
             << QString::fromStdString(notification.summary)
             << QString::fromStdString(notification.body) << actionList << hints << int(-1);
        QDBusPendingCall pending = bus.asyncCall(call, 5000);
        if (notification.actionFolder.empty()) {
            return;
        }
        auto* watcher = new QDBusPendingCallWatcher(pending, actions);
        const std::string folder = notification.actionFolder;
        QObject::connect(watcher, &QDBusPendingCallWatcher::finished, actions,
                         [actions, folder](QDBusPendingCallWatcher* finished) {
                             QDBusPendingReply<uint> reply = *finished;
                             if (reply.isValid()) {
                                 actions->expect(reply.value(), folder);
                             }
                             finished->deleteLater();
                         });
    }

private:
    // The receiver of the server's signals, made once per application object.
    NotificationActions* actionsOn(QDBusConnection& bus) {
        if (!actions_) {
            actions_ = new NotificationActions(QCoreApplication::instance());
            bus.connect(kNotificationsService, kNotificationsPath, kNotificationsInterface,
                        QStringLiteral("ActionInvoked"), actions_,
                        SLOT(actionInvoked(uint, QString)));
            bus.connect(kNotificationsService, kNotificationsPath, kNotificationsInterface,
                        QStringLiteral("NotificationClosed"), actions_,
                        SLOT(notificationClosed(uint, uint)));
        }
        return actions_;
    }

    QPointer<NotificationActions> actions_;
};

class DesktopTaskbarProgress : public TaskbarProgress {
public:
    void setProgress(double fraction) override {
        if (!std::isfinite(fraction)) {
            fraction = 0;
        }
        send(true, std::clamp(fraction, 0.0, 1.0));
    }

    void clear() override { send(false, 0); }

private:
    void send(bool visible, double fraction) {
        const long permille = std::lround(fraction * 1000);
        if (visible == lastVisible_ && permille == lastPermille_) {
            return;
        }
        if (!haveApplication()) {
            return;
        }
        const QString id = QGuiApplication::desktopFileName();
        QDBusConnection bus = QDBusConnection::sessionBus();
        if (id.isEmpty() || !bus.isConnected()) {
            return;
        }
        QString path = QLatin1Char('/') + id;
        path.replace(QLatin1Char('.'), QLatin1Char('/'));
        QDBusMessage signal = QDBusMessage::createSignal(
            path, QStringLiteral("com.canonical.Unity.LauncherEntry"), QStringLiteral("Update"));
        QVariantMap properties;
        properties.insert(QStringLiteral("progress"), fraction);
        properties.insert(QStringLiteral("progress-visible"), visible);
        signal << QStringLiteral("application://") + id + QStringLiteral(".desktop") << properties;
        if (bus.send(signal)) {
            lastVisible_ = visible;
            lastPermille_ = permille;
        }
    }

    // What the icon shows now: nothing at first.
    bool lastVisible_ = false;
    long lastPermille_ = 0;
};

class LogindSleepInhibitor : public SleepInhibitor {
public:
    Inhibitor inhibit(const std::string& why) override {
        if (!haveApplication()) {
            return {};
        }
        QDBusConnection bus = QDBusConnection::systemBus();
        if (!bus.isConnected()) {
            return {};
        }
        QDBusMessage call = QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
            QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("Inhibit"));
        call << QStringLiteral("sleep:idle") << QString::fromLatin1(kApplicationName)
             << QString::fromStdString(why) << QStringLiteral("block");
        QDBusReply<QDBusUnixFileDescriptor> reply = bus.call(call, QDBus::Block, 1000);
        if (!reply.isValid() || !reply.value().isValid()) {
            return {};
        }
        // The lock lasts while the descriptor is open: the handle owns the only
        // copy (Qt's is close-on-exec, so no child keeps it), and releasing it
        // closes it.
        auto descriptor = std::make_shared<QDBusUnixFileDescriptor>(reply.value());
        return Inhibitor([descriptor]() mutable { descriptor.reset(); });
    }
};

} // namespace

std::shared_ptr<Notifier> makeDesktopNotifier() {
    return std::make_shared<DesktopNotifier>();
}

std::shared_ptr<TaskbarProgress> makeDesktopTaskbarProgress() {
    return std::make_shared<DesktopTaskbarProgress>();
}

std::shared_ptr<SleepInhibitor> makeLogindSleepInhibitor() {
    return std::make_shared<LogindSleepInhibitor>();
}

} // namespace platform

#include "DesktopBus.moc"
