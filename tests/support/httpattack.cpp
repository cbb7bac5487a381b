#include "httpattack.h"

#include <QSslSocket>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace quorvel::testing {

namespace {

using Clock = std::chrono::steady_clock;

qint64 msSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Waits ms or until a stop is asked for; false when asked.
bool pause(const std::stop_token& stop, int ms)
{
    std::mutex mutex;
    std::condition_variable_any wake;
    std::unique_lock lock(mutex);
    wake.wait_for(lock, stop, std::chrono::milliseconds(ms), [] { return false; });
    return !stop.stop_requested();
}

// A connection to 127.0.0.1:port from 127.0.0.<source> (0: the system's choice); -1 when refused.
int connectTo(quint16 port, int source = 0)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const timeval limit{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit); // connect honours it
    sockaddr_in address{};
    address.sin_family = AF_INET;
    if (source > 0) {
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK - 1 + unsigned(source));
        ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    }
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool peerGone(short revents)
{
    return revents & (POLLRDHUP | POLLHUP | POLLERR);
}

// Sends all of data without blocking past a stop; false once the peer closed or reset the connection.
bool sendAll(int fd, QByteArrayView data, const std::stop_token& stop)
{
    for (qsizetype sent = 0; sent < data.size() && !stop.stop_requested();) {
        const ssize_t n =
            ::send(fd, data.data() + sent, size_t(data.size() - sent), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += n;
            continue;
        }
        if (errno != EAGAIN)
            return false;
        pollfd watch{fd, POLLOUT | POLLRDHUP, 0};
        if (::poll(&watch, 1, 100) > 0 && peerGone(watch.revents))
            return false;
    }
    return true;
}

// What arrives until the peer ends the connection, the time is up or a stop is asked for; ended says
// whether the peer ended it.
QByteArray readUntilEnd(int fd, Clock::time_point deadline, const std::stop_token& stop, bool& ended)
{
    QByteArray data;
    ended = false;
    char buffer[16384];
    for (qint64 left; (left = -msSince(deadline)) > 0 && !stop.stop_requested();) {
        pollfd watch{fd, POLLIN, 0};
        if (::poll(&watch, 1, int(std::min<qint64>(left, 100))) <= 0)
            continue;
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            ended = true;
            break;
        }
        data.append(buffer, n);
    }
    return data;
}

int statusOf(const QByteArray& answer)
{
    return answer.startsWith("HTTP/1.") ? answer.mid(9, 3).toInt() : 0;
}

const QByteArray Get = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";

} // namespace

HttpAttack::HttpAttack(quint16 port, AttackShape shape)
    : port_(port), shape_(shape), thread_([this](const std::stop_token& stop) { run(stop); })
{
}

void HttpAttack::stop()
{
    thread_.request_stop();
    if (thread_.joinable())
        thread_.join();
}

void HttpAttack::run(const std::stop_token& stop)
{
    switch (shape_.kind) {
    case AttackShape::Kind::PipelinedUnread: {
        const int fd = connectTo(port_);
        bool open = fd >= 0 && sendAll(fd, Get.repeated(shape_.count), stop);
        while (open && !stop.stop_requested()) {
            pollfd watch{fd, POLLRDHUP, 0};
            open = !(::poll(&watch, 1, 100) > 0 && peerGone(watch.revents));
        }
        counts_.closedByServer += open ? 0 : 1;
        ::close(fd);
        break;
    }
    case AttackShape::Kind::HugeHeader: {
        const int fd = connectTo(port_);
        const QByteArray filler(65536, 'a');
        bool open = fd >= 0 && sendAll(fd, "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Filler: ", stop);
        for (qint64 sent = 0; open && sent < shape_.bytes; sent += filler.size())
            open =
                sendAll(fd, QByteArrayView(filler).first(std::min(filler.size(), shape_.bytes - sent)), stop);
        open = open && sendAll(fd, "\r\n\r\n", stop);
        bool ended = false;
        const QByteArray answer = readUntilEnd(fd, Clock::now() + std::chrono::seconds(5), stop, ended);
        counts_.lastStatus = statusOf(answer);
        counts_.answers += statusOf(answer) ? 1 : 0;
        counts_.closedByServer += (ended || !open) ? 1 : 0;
        ::close(fd);
        break;
    }
    case AttackShape::Kind::SlowBytes: {
        struct Held {
            int fd = -1;
            Clock::time_point opened;
            qsizetype sent = 0;
        };
        std::vector<Held> held(size_t(shape_.count));
        const auto open = [&](size_t i) {
            held[i] = {connectTo(port_, 2 + int(i) % shape_.addresses), Clock::now(), 0};
        };
        const auto closed = [&](Held& h) {
            ++counts_.closedByServer;
            counts_.longestHeldMs = std::max(counts_.longestHeldMs.load(), msSince(h.opened));
            ::close(h.fd);
            h.fd = -1;
        };
        for (size_t i = 0; i < held.size(); ++i)
            open(i);
        const int round = shape_.intervalMs > 0 ? shape_.intervalMs : 100;
        while (!stop.stop_requested()) {
            for (size_t i = 0; i < held.size(); ++i) {
                Held& h = held[i];
                if (h.fd < 0)
                    open(i);
                const char byte = Get[h.sent % Get.size()];
                if (h.fd >= 0 && shape_.intervalMs > 0 &&
                    ::send(h.fd, &byte, 1, MSG_NOSIGNAL | MSG_DONTWAIT) != 1 && errno != EAGAIN)
                    closed(h);
                ++h.sent;
            }
            // Until the next round, look for the connections the listener closed once a slice: a wake at
            // each closure would cost this client more than it costs the listener.
            const int slice = std::clamp(round / 5, 1, 100);
            for (const Clock::time_point next = Clock::now() + std::chrono::milliseconds(round);
                 Clock::now() < next && pause(stop, std::min(slice, int(-msSince(next)) + 1));) {
                std::vector<pollfd> watch;
                for (const Held& h : held)
                    watch.push_back({h.fd, POLLRDHUP, 0});
                if (::poll(watch.data(), watch.size(), 0) <= 0)
                    continue;
                for (size_t i = 0; i < held.size(); ++i)
                    if (held[i].fd >= 0 && peerGone(watch[i].revents))
                        closed(held[i]);
            }
        }
        for (const Held& h : held) {
            if (h.fd >= 0) {
                counts_.longestHeldMs = std::max(counts_.longestHeldMs.load(), msSince(h.opened));
                ::close(h.fd);
            }
        }
        break;
    }
    case AttackShape::Kind::Http10:
        for (int i = 0; i < shape_.count && !stop.stop_requested(); ++i) {
            const int fd = connectTo(port_);
            if (fd < 0 || !sendAll(fd, "GET /metrics HTTP/1.0\r\n\r\n", stop)) {
                ::close(fd);
                continue;
            }
            bool ended = false;
            const QByteArray answer = readUntilEnd(fd, Clock::now() + std::chrono::seconds(1), stop, ended);
            counts_.lastStatus = statusOf(answer);
            counts_.answers += statusOf(answer) ? 1 : 0;
            counts_.closedAfterAnswer += ended && statusOf(answer) ? 1 : 0;
            ::close(fd);
            if (shape_.intervalMs > 0 && !pause(stop, shape_.intervalMs))
                break;
        }
        break;
    case AttackShape::Kind::HeadsUnread: {
        const QByteArray heads = ("HEAD " + QByteArray(shape_.path) + " HTTP/1.1\r\n\r\n").repeated(2000);
        std::vector<int> held;
        for (int i = 0; i < shape_.count; ++i)
            if (const int fd = connectTo(port_); fd >= 0) {
                ::send(fd, heads.constData(), size_t(heads.size()), MSG_NOSIGNAL | MSG_DONTWAIT);
                held.push_back(fd);
            }
        while (pause(stop, 100)) {
        }
        for (const int fd : held)
            ::close(fd);
        break;
    }
    case AttackShape::Kind::Flood:
        flood(stop);
        break;
    case AttackShape::Kind::ClosedAtOnce:
        for (int i = 0; i < shape_.count && !stop.stop_requested(); ++i) {
            const int fd = connectTo(port_);
            if (fd >= 0 && i % 2 == 1) {
                const linger reset{1, 0};
                ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
            }
            ::close(fd);
        }
        break;
    }
}

// Each connection has one GET out at a time and sends the next once the answer is in whole: as much as a
// well-formed client can ask, with nothing left unread.
void HttpAttack::flood(const std::stop_token& stop)
{
    const QByteArray request = "GET " + QByteArray(shape_.path) + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    struct Client {
        int fd = -1;
        QByteArray got;
    };
    std::vector<Client> clients(size_t(shape_.count));
    const auto ask = [&](Client& c) {
        if (c.fd < 0)
            c.fd = connectTo(port_, 2);
        c.got.clear();
        if (c.fd >= 0 && !sendAll(c.fd, request, stop)) {
            ::close(c.fd);
            c.fd = -1;
        }
    };
    for (Client& c : clients)
        ask(c);
    char buffer[65536];
    while (!stop.stop_requested()) {
        std::vector<pollfd> watch;
        for (const Client& c : clients)
            watch.push_back({c.fd, POLLIN, 0});
        if (::poll(watch.data(), watch.size(), 100) <= 0)
            continue;
        for (size_t i = 0; i < clients.size(); ++i) {
            Client& c = clients[i];
            if (c.fd < 0 || !(watch[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            const ssize_t n = ::recv(c.fd, buffer, sizeof buffer, 0);
            if (n <= 0) {
                ++counts_.closedByServer;
                ::close(c.fd);
                c.fd = -1;
                ask(c);
                continue;
            }
            c.got.append(buffer, n);
            counts_.bytesRead += n;
            const qsizetype headEnd = c.got.indexOf("\r\n\r\n");
            if (headEnd < 0)
                continue;
            const qsizetype lengthAt = c.got.indexOf("Content-Length: ");
            const qsizetype length = lengthAt >= 0 && lengthAt < headEnd
                                         ? c.got.mid(lengthAt + 16, 12).split('\r').first().toLongLong()
                                         : 0;
            if (c.got.size() < headEnd + 4 + length)
                continue;
            counts_.lastStatus = statusOf(c.got);
            ++counts_.answers;
            ask(c);
        }
    }
    for (const Client& c : clients)
        if (c.fd >= 0)
            ::close(c.fd);
}

namespace {

// One GET over TLS as the scraper sends it: the answer, and whether the server ended the connection.
QByteArray getOverTls(quint16 port, const QByteArray& request, Clock::time_point deadline, bool& ended)
{
    QSslSocket socket;
    socket.setPeerVerifyMode(QSslSocket::VerifyNone);
    socket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), port);
    QByteArray got;
    ended = false;
    if (!socket.waitForEncrypted(int(std::max<qint64>(0, -msSince(deadline)))))
        return got;
    socket.write(request);
    while (msSince(deadline) < 0 && socket.state() == QAbstractSocket::ConnectedState) {
        socket.waitForReadyRead(int(std::min<qint64>(-msSince(deadline), 100)));
        got += socket.readAll();
    }
    got += socket.readAll();
    ended = socket.state() != QAbstractSocket::ConnectedState;
    return got;
}

} // namespace

GoodScraper::GoodScraper(quint16 port, QByteArray path, int intervalMs, bool tls)
    : thread_([this, port, path, intervalMs, tls](const std::stop_token& stop) {
          const QByteArray request =
              "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
          do {
              const Clock::time_point start = Clock::now();
              const Clock::time_point deadline = start + std::chrono::seconds(5);
              bool ended = false;
              const int fd = tls ? -1 : connectTo(port);
              const bool sent = tls || (fd >= 0 && sendAll(fd, request, stop));
              const QByteArray got = !sent ? QByteArray()
                                     : tls ? getOverTls(port, request, deadline, ended)
                                           : readUntilEnd(fd, deadline, stop, ended);
              const bool ok = sent && statusOf(got) == 200 && ended;
              const auto us = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start);
              slowestUs_ = std::max(slowestUs_.load(), qint64(us.count()));
              ++(ok ? answers_ : failures_);
              if (fd >= 0)
                  ::close(fd);
          } while (pause(stop, intervalMs));
      })
{
}

} // namespace quorvel::testing
