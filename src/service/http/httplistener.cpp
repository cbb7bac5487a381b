#include "service/http/httplistener.h"

#include <QSslConfiguration>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <utility>

#include <sys/socket.h>
#include <unistd.h>

namespace quorvel::service {

namespace {

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 413:
        return "Content Too Large";
    case 431:
        return "Request Header Fields Too Large";
    case 505:
        return "HTTP Version Not Supported";
    default:
        return "Status";
    }
}

HttpListener::Answer plainText(int status, const QByteArray& text)
{
    return {status, "text/plain; charset=utf-8", {}, text};
}

// Hands over every accepted connection at once, as a TLS socket when configured, and leaves the handshake
// to the listener: the toolkit's TLS server shakes hands one connection at a time and stops accepting for
// good once a client closes before its handshake ends.
class Acceptor final : public QTcpServer {
public:
    using QTcpServer::QTcpServer;
    std::optional<QSslConfiguration> tls;

protected:
    void incomingConnection(qintptr descriptor) override
    {
        if (!tls)
            return QTcpServer::incomingConnection(descriptor);
        auto* socket = new QSslSocket(this);
        socket->setSslConfiguration(*tls);
        if (!socket->setSocketDescriptor(descriptor)) {
            ::close(int(descriptor));
            delete socket;
            return;
        }
        addPendingConnection(socket);
    }
};

} // namespace

HttpListener::HttpListener(HttpLimits limits, QObject* parent) : QObject(parent), limits_(limits)
{
    clock_.start();
    budget_ = double(limits_.answerBytesPerSecond) / 10;
    queueTimer_ = new QTimer(this);
    queueTimer_->setSingleShot(true);
    connect(queueTimer_, &QTimer::timeout, this, &HttpListener::serveQueued);
    setUp(new Acceptor(this));
}

void HttpListener::setTls(const QSslConfiguration& configuration)
{
    static_cast<Acceptor*>(server_)->tls = configuration;
}

void HttpListener::setAuthorization(Verdict verdict, QByteArray realm)
{
    verdict_ = std::move(verdict);
    realm_ = std::move(realm);
}

void HttpListener::resumeWaiting()
{
    QList<QTcpSocket*> waiting;
    for (const auto& [socket, c] : connections_)
        if (c.awaitingVerdict)
            waiting.append(socket);
    for (QTcpSocket* socket : waiting) {
        Connection& c = connections_.at(socket);
        c.awaitingVerdict = false;
        c.phase = Connection::Phase::Receiving;
        serve(socket, true);
    }
}

void HttpListener::setUp(QTcpServer* server)
{
    server_ = server;
    server_->setListenBacklogSize(limits_.listenBacklog);
    // One connection a turn of the event loop: the ones accepted before get their requests read between
    // two, so that a burst of newcomers makes room among the quiet, not among those just about to ask.
    server_->setMaxPendingConnections(1);
    connect(server_, &QTcpServer::pendingConnectionAvailable, this, &HttpListener::acceptPending,
            Qt::QueuedConnection);
    // The server pauses on an error such as no descriptor left and would never accept again by itself.
    connect(server_, &QTcpServer::acceptError, this,
            [this] { QTimer::singleShot(limits_.acceptRetryMs, server_, &QTcpServer::resumeAccepting); });
}

void HttpListener::addRoute(const QByteArray& path, Handler handler)
{
    routes_.insert(path, std::move(handler));
}

HttpListener::Bound HttpListener::listen(const QHostAddress& address, quint16 port)
{
    if (!server_->listen(address, port))
        return {0, server_->errorString()};
    return {server_->serverPort(), {}};
}

void HttpListener::acceptPending()
{
    if (QTcpSocket* socket = server_->nextPendingConnection())
        admit(socket);
}

void HttpListener::admit(QTcpSocket* socket)
{
    const QHostAddress peer = socket->peerAddress();
    const auto fromPeer = std::count_if(connections_.begin(), connections_.end(),
                                        [&](const auto& entry) { return entry.second.peer == peer; });
    if (fromPeer >= limits_.maxPerAddress)
        makeRoom(&peer);
    if (int(connections_.size()) >= limits_.maxConnections)
        makeRoom(nullptr);

    // The socket reads no further than one head ahead; what the client sends beyond waits in the kernel.
    socket->setReadBufferSize(limits_.maxHeadBytes);
    socket->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, limits_.sendBufferBytes);
    Connection& c = connections_[socket];
    c.peer = peer;
    c.lastHeardMs = clock_.elapsed();
    c.deadline = new QTimer(socket);
    c.deadline->setSingleShot(true);
    c.deadline->start(limits_.idleTimeoutMs);
    connect(c.deadline, &QTimer::timeout, this, [this, socket] { close(socket); });
    connect(socket, &QTcpSocket::readyRead, this, [this, socket] { serve(socket, false); });
    connect(socket, &QTcpSocket::disconnected, this, [this, socket] { close(socket); });
    auto* tls = qobject_cast<QSslSocket*>(socket);
    if (!tls) {
        connect(socket, &QTcpSocket::bytesWritten, this, [this, socket] { written(socket); });
        return serve(socket, false);
    }
    // The handshake counts against the caps like any connection and must end within the head's time-out;
    // one that fails or is abandoned closes only its own connection.
    c.phase = Connection::Phase::Handshaking;
    c.deadline->start(limits_.headTimeoutMs);
    connect(tls, &QSslSocket::encrypted, this, [this, tls] { shookHands(tls); });
    connect(tls, &QSslSocket::errorOccurred, this, [this, tls] { close(tls); });
    // Written means taken by the kernel: a TLS socket tells bytesWritten once it has encrypted the bytes,
    // before it hands them on, and closing then would lose them.
    connect(tls, &QSslSocket::encryptedBytesWritten, this, [this, tls] { written(tls); });
    tls->startServerEncryption();
}

void HttpListener::shookHands(QTcpSocket* socket)
{
    const auto found = connections_.find(socket);
    if (found == connections_.end())
        return;
    found->second.phase = Connection::Phase::Waiting;
    found->second.deadline->start(limits_.idleTimeoutMs);
    serve(socket, false);
}

void HttpListener::makeRoom(const QHostAddress* of)
{
    // An answer on its way, or a request waiting its turn, is a request served, and closing it would waste
    // it: such connections go last, and then the quietest first.
    const auto rank = [](const Connection& c) {
        return std::pair(c.phase == Connection::Phase::Answering || c.queued, c.lastHeardMs);
    };
    auto victim = connections_.end();
    for (auto it = connections_.begin(); it != connections_.end(); ++it)
        if ((!of || it->second.peer == *of) &&
            (victim == connections_.end() || rank(it->second) < rank(victim->second)))
            victim = it;
    if (victim != connections_.end())
        close(victim->first);
}

void HttpListener::serve(QTcpSocket* socket, bool resumed)
{
    const auto found = connections_.find(socket);
    if (found == connections_.end())
        return;
    Connection& c = found->second;
    if (c.phase == Connection::Phase::Lingering) {
        c.lingered += socket->read(socket->bytesAvailable()).size();
        if (c.lingered > limits_.lingerBytes)
            close(socket);
        return;
    }
    // Back-pressure: nothing more is read while the last answer has not left or the next waits its turn.
    if (c.phase == Connection::Phase::Answering || c.phase == Connection::Phase::Handshaking || c.queued)
        return;
    const QByteArray fresh = socket->read(limits_.maxHeadBytes - c.pending.size());
    if (!fresh.isEmpty())
        c.lastHeardMs = clock_.elapsed();
    c.pending += fresh;
    if (c.pending.isEmpty())
        return;
    if (c.phase == Connection::Phase::Waiting) {
        // The whole head must come within its time-out, however it trickles in.
        c.phase = Connection::Phase::Receiving;
        c.deadline->start(limits_.headTimeoutMs);
    }
    // A head ends at an empty line: until one has come, only the bytes not looked at yet are searched, so
    // that a head sent a line a packet costs its length once, not once a line.
    const qsizetype from = std::clamp<qsizetype>(c.scanned - 2, 0, c.pending.size());
    c.scanned = c.pending.size();
    const QByteArrayView unseen = QByteArrayView(c.pending).sliced(from);
    if (!resumed && !unseen.contains("\n\n") && !unseen.contains("\n\r\n") &&
        c.pending.size() < limits_.maxHeadBytes)
        return;

    using Outcome = ParsedRequestHead::Outcome;
    const ParsedRequestHead parsed = parseRequestHead(c.pending, limits_.maxHeadBytes);
    if (parsed.outcome != Outcome::Incomplete && !takeTurn(socket, c))
        return;
    switch (parsed.outcome) {
    case Outcome::Incomplete:
        return;
    case Outcome::TooLarge:
        return refuse(socket, c, 431);
    case Outcome::Malformed:
        return refuse(socket, c, 400);
    case Outcome::UnsupportedVersion:
        return refuse(socket, c, 505);
    case Outcome::Complete:
        break;
    }
    // A body is never read: the route table has nothing that takes one.
    if (parsed.head.hasBody)
        return refuse(socket, c, 413);
    if (verdict_) {
        const std::optional<bool> allowed = verdict_(parsed.head.header("authorization"), c.peer);
        if (!allowed) {
            // Not read further until the check is done; the head stays for serve() to take again.
            c.awaitingVerdict = true;
            c.phase = Connection::Phase::Answering;
            c.deadline->start(limits_.headTimeoutMs);
            return;
        }
        if (!*allowed) {
            c.pending.remove(0, parsed.length);
            c.scanned = 0;
            Answer answer = plainText(401, "A login is needed here\n");
            answer.headers.emplaceBack("WWW-Authenticate",
                                       "Basic realm=\"" + realm_ + "\", charset=\"UTF-8\"");
            return send(socket, c, answer, &parsed.head, !parsed.head.keepAlive);
        }
    }
    c.pending.remove(0, parsed.length);
    c.scanned = 0;
    send(socket, c, route(parsed.head), &parsed.head, !parsed.head.keepAlive);
}

void HttpListener::refillBudget()
{
    const qint64 now = clock_.elapsed();
    // At most a tenth of a second's worth saved up: a burst after a quiet while stays short.
    budget_ = std::min(budget_ + double(now - budgetAtMs_) * double(limits_.answerBytesPerSecond) / 1000,
                       double(limits_.answerBytesPerSecond) / 10);
    budgetAtMs_ = now;
}

bool HttpListener::takeTurn(QTcpSocket* socket, Connection& c)
{
    refillBudget();
    if (std::exchange(c.granted, false) || (queue_.empty() && budget_ >= 0))
        return true;
    // Waiting on the listener, not on the client: no time-out runs meanwhile.
    c.queued = true;
    c.deadline->stop();
    queue_.push_back(socket);
    if (!queueTimer_->isActive())
        queueTimer_->start(
            int(std::ceil(std::max(-budget_, 0.0) * 1000 / double(limits_.answerBytesPerSecond))) + 1);
    return false;
}

void HttpListener::serveQueued()
{
    const qint64 now = clock_.elapsed();
    budget_ += double(now - budgetAtMs_) * double(limits_.answerBytesPerSecond) / 1000;
    budgetAtMs_ = now;
    while (!queue_.empty() && budget_ >= 0) {
        QTcpSocket* socket = queue_.front();
        queue_.pop_front();
        Connection& c = connections_.at(socket);
        c.queued = false;
        c.granted = true;
        serve(socket, true);
    }
    if (!queue_.empty())
        queueTimer_->start(int(std::ceil(-budget_ * 1000 / double(limits_.answerBytesPerSecond))) + 1);
}

HttpListener::Answer HttpListener::route(const HttpRequestHead& head) const
{
    const auto handler = routes_.constFind(head.path);
    if (handler == routes_.cend()) {
        QList<QByteArray> paths = routes_.keys();
        std::sort(paths.begin(), paths.end());
        return plainText(404, "Not found; this server has " + paths.join(", ") + '\n');
    }
    if (head.method != "GET" && head.method != "HEAD") {
        Answer answer = plainText(405, "Only GET and HEAD are served here\n");
        answer.headers.emplaceBack("Allow", "GET, HEAD");
        return answer;
    }
    return (*handler)(head);
}

void HttpListener::send(QTcpSocket* socket, Connection& c, const Answer& answer, const HttpRequestHead* head,
                        bool close)
{
    const bool headOnly = head && head->method == "HEAD";
    const bool streamed = bool(answer.producer);
    const bool chunked = streamed && head && head->minorVersion == 1;
    // Without chunks, a streamed body ends where the connection does.
    if (streamed && !chunked && !headOnly)
        close = true;
    QByteArray bytes = "HTTP/1.1 " + QByteArray::number(answer.status) + ' ' + reasonPhrase(answer.status) +
                       "\r\nContent-Type: " + answer.contentType + "\r\n";
    if (chunked)
        bytes += "Transfer-Encoding: chunked\r\n";
    else if (!streamed)
        bytes += "Content-Length: " + QByteArray::number(answer.body.size()) + "\r\n";
    for (const auto& [name, value] : answer.headers)
        bytes += name + ": " + value + "\r\n";
    for (const auto& [name, value] : common_)
        bytes += name + ": " + value + "\r\n";
    if (close)
        bytes += "Connection: close\r\n";
    else if (head && head->minorVersion == 0)
        bytes += "Connection: keep-alive\r\n";
    bytes += "\r\n";
    c.phase = Connection::Phase::Answering;
    c.closeAfter = close;
    c.deadline->start(limits_.writeTimeoutMs);
    socket->write(bytes);
    qsizetype sent = bytes.size() + limits_.answerOverheadBytes;
    // Written on its own, a rendered body stays one buffer shared by every client it is on its way to.
    if (!headOnly && !answer.body.isEmpty()) {
        socket->write(answer.body);
        sent += answer.body.size();
    }
    budget_ -= double(sent);
    if (streamed && !headOnly) {
        c.producer = answer.producer;
        c.chunked = chunked;
        pump(socket, c);
    }
}

namespace {
// A stream behind waiting requests looks again this much later.
constexpr int QueuedStreamWaitMs = 10;
} // namespace

void HttpListener::pump(QTcpSocket* socket, Connection& c)
{
    while (c.producer && !c.streamWaiting && unsent(socket) < limits_.streamHeldBytes) {
        refillBudget();
        if (budget_ < 0 || !queue_.empty()) {
            // Counted like every answer's bytes, so that a long stream cannot hold up the loop, and behind
            // the requests that wait, so that a page or a scrape is not held up by an export.
            c.streamWaiting = true;
            QTimer::singleShot(
                int(std::ceil(std::max(-budget_, 0.0) * 1000 / double(limits_.answerBytesPerSecond))) +
                    (queue_.empty() ? 1 : QueuedStreamWaitMs),
                socket, [this, socket] {
                    const auto found = connections_.find(socket);
                    if (found == connections_.end())
                        return;
                    found->second.streamWaiting = false;
                    pump(socket, found->second);
                });
            return;
        }
        const std::optional<QByteArray> chunk = c.producer();
        if (!chunk)
            return close(socket);
        // A client that takes the chunks keeps the connection; one that does not is dropped in time.
        c.deadline->start(limits_.writeTimeoutMs);
        if (chunk->isEmpty()) {
            c.producer = nullptr;
            if (c.chunked)
                socket->write("0\r\n\r\n");
            // Nothing left to leave, no bytesWritten to come: the answer ends here.
            if (unsent(socket) == 0)
                QMetaObject::invokeMethod(
                    socket, [this, socket] { written(socket); }, Qt::QueuedConnection);
            return;
        }
        if (c.chunked)
            socket->write(QByteArray::number(chunk->size(), 16) + "\r\n");
        socket->write(*chunk);
        if (c.chunked)
            socket->write("\r\n");
        budget_ -= double(chunk->size());
    }
}

void HttpListener::refuse(QTcpSocket* socket, Connection& c, int status)
{
    c.pending.clear();
    send(socket, c, plainText(status, reasonPhrase(status) + '\n'), nullptr, true);
}

void HttpListener::written(QTcpSocket* socket)
{
    const auto found = connections_.find(socket);
    if (found == connections_.end())
        return;
    Connection& c = found->second;
    if (c.producer) {
        c.lastHeardMs = clock_.elapsed();
        return pump(socket, c);
    }
    if (unsent(socket) > 0 || c.phase != Connection::Phase::Answering)
        return;
    c.lastHeardMs = clock_.elapsed();
    if (c.closeAfter)
        return linger(socket, c);
    c.phase = Connection::Phase::Waiting;
    c.deadline->start(limits_.idleTimeoutMs);
    // The next pipelined request, if there is one, at the loop's next turn: one request a connection a
    // turn, so that a client that pipelines takes its turn like the others and the sweep its own.
    QMetaObject::invokeMethod(
        this, [this, socket] { serve(socket, true); }, Qt::QueuedConnection);
}

qint64 HttpListener::unsent(const QTcpSocket* socket)
{
    const auto* tls = qobject_cast<const QSslSocket*>(socket);
    return socket->bytesToWrite() + (tls ? tls->encryptedBytesToWrite() : 0);
}

// Ends the sending side and drops what the client still sends for a while: the client reads the whole
// answer and then the end, where closing with its bytes unread would send a reset instead.
void HttpListener::linger(QTcpSocket* socket, Connection& c)
{
    c.phase = Connection::Phase::Lingering;
    c.pending.clear();
    ::shutdown(int(socket->socketDescriptor()), SHUT_WR);
    c.deadline->start(limits_.lingerMs);
    serve(socket, false);
}

void HttpListener::close(QTcpSocket* socket)
{
    if (connections_.erase(socket) == 0)
        return;
    std::erase(queue_, socket);
    socket->disconnect(this);
    socket->abort();
    socket->deleteLater();
}

} // namespace quorvel::service
