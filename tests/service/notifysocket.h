#pragma once

#include <QFile>
#include <QSocketNotifier>
#include <QString>
#include <QStringList>

#include <cstring>
#include <memory>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace quorvel::testing {

// A datagram socket of the test's own standing in for the service manager's (NOTIFY_SOCKET): keeps every
// message the service sends, read in the event loop.
class NotifySocket {
public:
    explicit NotifySocket(const QString& path) : path_(path)
    {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const QByteArray native = QFile::encodeName(path);
        if (fd_ < 0 || native.size() >= qsizetype(sizeof address.sun_path))
            return;
        std::memcpy(address.sun_path, native.constData(), size_t(native.size()));
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            return;
        notifier_ = std::make_unique<QSocketNotifier>(fd_, QSocketNotifier::Read);
        QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] {
            char buffer[4096];
            for (ssize_t n; (n = ::recv(fd_, buffer, sizeof buffer, 0)) > 0;)
                messages << QString::fromUtf8(buffer, n);
        });
    }
    ~NotifySocket()
    {
        notifier_.reset();
        if (fd_ >= 0)
            ::close(fd_);
    }
    NotifySocket(const NotifySocket&) = delete;
    NotifySocket& operator=(const NotifySocket&) = delete;

    [[nodiscard]] bool isListening() const { return notifier_ != nullptr; }
    [[nodiscard]] const QString& path() const { return path_; }

    QStringList messages;

private:
    QString path_;
    int fd_ = -1;
    std::unique_ptr<QSocketNotifier> notifier_;
};

} // namespace quorvel::testing
