#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

namespace quorvel::service {

// Tells the service manager how the service is doing through sd_notify: ready once, alive every half of
// the watchdog interval it asked for (from the event loop, so a hung loop stops the pings), and a status
// line. Without NOTIFY_SOCKET every call does nothing.
class SystemdNotifier : public QObject {
    Q_OBJECT
public:
    explicit SystemdNotifier(QObject* parent = nullptr);

    void ready();
    void status(const QString& text);
    void stopping();
    // Milliseconds between WATCHDOG=1 pings; 0 when the manager set no watchdog.
    [[nodiscard]] int watchdogIntervalMs() const { return watchdog_.isActive() ? watchdog_.interval() : 0; }

private:
    static void notify(const QByteArray& state);

    QTimer watchdog_;
    bool ready_ = false;
};

} // namespace quorvel::service
