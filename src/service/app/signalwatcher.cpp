#include "service/app/signalwatcher.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace quorvel::service {

namespace {

int pipeFds[2] = {-1, -1};

void onSignal(int signalNumber)
{
    const int saved = errno;
    const auto byte = static_cast<unsigned char>(signalNumber);
    // A full pipe already holds a wake-up; losing a repeat of the same signal changes nothing.
    [[maybe_unused]] const ssize_t n = ::write(pipeFds[1], &byte, 1);
    errno = saved;
}

} // namespace

SignalWatcher::SignalWatcher(const QList<int>& signalNumbers, QObject* parent)
    : QObject(parent), signals_(signalNumbers)
{
    if (::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    notifier_ = new QSocketNotifier(pipeFds[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &SignalWatcher::drain);
    struct sigaction action {};
    action.sa_handler = &onSignal;
    sigemptyset(&action.sa_mask);
    // Restarted system calls: a signal never makes a write of the log fail half way.
    action.sa_flags = SA_RESTART;
    valid_ = true;
    for (const int s : signals_)
        valid_ = ::sigaction(s, &action, nullptr) == 0 && valid_;
}

SignalWatcher::~SignalWatcher()
{
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    for (const int s : signals_)
        ::sigaction(s, &action, nullptr);
    delete notifier_;
    for (int& fd : pipeFds) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
}

void SignalWatcher::drain()
{
    unsigned char bytes[64];
    ssize_t n = 0;
    while ((n = ::read(pipeFds[0], bytes, sizeof bytes)) > 0 || (n < 0 && errno == EINTR))
        for (ssize_t i = 0; i < n; ++i)
            emit received(bytes[i]);
}

} // namespace quorvel::service
