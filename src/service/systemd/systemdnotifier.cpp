#include "service/systemd/systemdnotifier.h"

#include <systemd/sd-daemon.h>

#include <algorithm>

namespace quorvel::service {

SystemdNotifier::SystemdNotifier(QObject* parent) : QObject(parent)
{
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) > 0 && usec > 0) {
        connect(&watchdog_, &QTimer::timeout, this, [] { notify("WATCHDOG=1"); });
        watchdog_.start(static_cast<int>(std::clamp<uint64_t>(usec / 2000, 1, 3'600'000)));
    }
}

void SystemdNotifier::ready()
{
    if (ready_)
        return;
    ready_ = true;
    notify("READY=1");
}

void SystemdNotifier::status(const QString& text)
{
    notify("STATUS=" + text.toUtf8());
}

void SystemdNotifier::stopping()
{
    watchdog_.stop();
    notify("STOPPING=1");
}

void SystemdNotifier::notify(const QByteArray& state)
{
    // No manager listening is not an error of ours: the result is only informative.
    sd_notify(0, state.constData());
}

} // namespace quorvel::service
