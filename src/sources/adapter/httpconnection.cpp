#include "httpconnection.h"

#include <QNetworkProxy>
#include <QTcpSocket>

#include <utility>

namespace quorvel::acquisition {

HttpConnection::Busy::Busy(HttpConnection& connection) : connection_(connection)
{
    ++connection_.busy_;
}

// Signals that came in meanwhile are handled from the event loop, after the outermost call returned.
HttpConnection::Busy::~Busy()
{
    if (--connection_.busy_ != 0 || connection_.deferred_.isEmpty() || connection_.deferredPosted_)
        return;
    connection_.deferredPosted_ = true;
    QMetaObject::invokeMethod(
        &connection_, [connection = &connection_] { connection->runDeferredSignals(); },
        Qt::QueuedConnection);
}

HttpConnection::HttpConnection(QObject* parent)
    : QObject(parent), socketFactory_([](QObject* owner) { return new QTcpSocket(owner); })
{
}

HttpConnection::~HttpConnection()
{
    dropConnection();
}

void HttpConnection::setSocketFactory(SocketFactory factory)
{
    socketFactory_ = std::move(factory);
}

void HttpConnection::onSocketSignal(quint64 connection, Handler handler)
{
    // A signal of a connection dropped since it was sent, or queued behind its drop.
    if (connection != connection_)
        return;
    if (busy_ > 0) {
        deferred_.append({connection, handler});
        return;
    }
    const Busy busy(*this);
    (this->*handler)();
}

void HttpConnection::runDeferredSignals()
{
    while (!deferred_.isEmpty() && busy_ == 0) {
        const auto [connection, handler] = deferred_.takeFirst();
        onSocketSignal(connection, handler);
    }
    deferredPosted_ = false;
}

void HttpConnection::send(const QString& host, int port, const QByteArray& request, qint64 maxBodyBytes)
{
    const Busy busy(*this);
    abandon();
    const QString lowerHost = host.toLower();
    if (socket_ &&
        (lowerHost != host_ || port != port_ || socket_->state() != QAbstractSocket::ConnectedState))
        dropConnection();
    request_ = request;
    parser_ = HttpResponseParser(maxBodyBytes);
    retried_ = false;
    if (!socket_) {
        host_ = lowerHost;
        port_ = port;
        openConnection();
    }
    sendRequest();
}

void HttpConnection::abandon()
{
    if (!inFlight_)
        return;
    const Busy busy(*this);
    inFlight_ = false;
    dropConnection();
}

void HttpConnection::openConnection()
{
    QTcpSocket* socket = socketFactory_(this);
    // The adapter sits next to the logger: a system proxy would only be a detour or a leak.
    socket->setProxy(QNetworkProxy::NoProxy);
    const quint64 connection = ++lastConnection_;
    const auto handle = [this, connection](Handler handler) {
        return [this, connection, handler] { onSocketSignal(connection, handler); };
    };
    connect(socket, &QTcpSocket::connected, this, handle(&HttpConnection::onConnected));
    connect(socket, &QTcpSocket::readyRead, this, handle(&HttpConnection::onReadyRead));
    connect(socket, &QTcpSocket::disconnected, this, handle(&HttpConnection::onConnectionEnded));
    connect(socket, &QTcpSocket::errorOccurred, this, handle(&HttpConnection::onConnectionEnded));
    socket_ = socket;
    connection_ = connection;
    served_ = false;
    socket->connectToHost(host_, quint16(port_));
}

// Written at once on an open connection, else by onConnected().
void HttpConnection::sendRequest()
{
    inFlight_ = true;
    answerBytes_ = false;
    reused_ = served_;
    if (socket_ && socket_->state() == QAbstractSocket::ConnectedState)
        writeRequest();
}

void HttpConnection::onConnected()
{
    // Requests and answers are single small writes; Nagle would hold each back for a delayed ACK.
    socket_->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    if (inFlight_)
        writeRequest();
}

// Handed to the system at once, not on the socket's next write notification: one pass of the event loop
// less for every page.
void HttpConnection::writeRequest()
{
    socket_->write(request_);
    socket_->flush();
}

void HttpConnection::onReadyRead()
{
    const QByteArray bytes = socket_->readAll();
    if (bytes.isEmpty())
        return;
    // Bytes nobody asked for: the connection is out of step and no use for the next request.
    if (!inFlight_) {
        dropConnection();
        return;
    }
    readAnswer(bytes);
}

// Returns whether the answer is still open: neither complete nor failed.
bool HttpConnection::readAnswer(const QByteArray& bytes)
{
    answerBytes_ = true;
    const qsizetype used = parser_.feed(bytes);
    if (parser_.isFailed()) {
        fail(parser_.failure() == HttpResponseParser::Failure::TooLarge
                 ? tooLargeReason(parser_.maxBodySize())
                 : QStringLiteral("The adapter's answer was not valid HTTP"));
        return false;
    }
    if (parser_.isComplete()) {
        finishAnswer(used == bytes.size());
        return false;
    }
    return true;
}

void HttpConnection::onConnectionEnded()
{
    const QAbstractSocket::SocketError error = socket_->error();
    const QString errorText = socket_->errorString();
    const QByteArray rest = socket_->isOpen() ? socket_->readAll() : QByteArray();
    dropConnection();
    if (!inFlight_)
        return;
    if (!rest.isEmpty() && !readAnswer(rest))
        return;

    const bool closedByPeer =
        error == QAbstractSocket::RemoteHostClosedError || error == QAbstractSocket::UnknownSocketError;
    if (closedByPeer) {
        parser_.finish();
        if (parser_.isComplete()) {
            finishAnswer(false);
            return;
        }
    }
    // A kept-alive connection may be closed by the adapter at any time, also just as a request goes out;
    // once any byte of the answer came, the request may have done its work and is not repeated.
    if (reused_ && !answerBytes_ && !retried_) {
        retried_ = true;
        parser_.reset();
        openConnection();
        sendRequest();
        return;
    }
    if (closedByPeer) {
        fail(parser_.hasStatus()
                 ? QStringLiteral("The adapter closed the connection before the page was complete")
                 : QStringLiteral("The adapter closed the connection without an answer"));
    } else {
        fail(connectionErrorReason(error, errorText));
    }
}

// Last in every handler that reaches it: a receiver may send the next request from here.
void HttpConnection::finishAnswer(bool connectionUsable)
{
    inFlight_ = false;
    if (connectionUsable && parser_.keepAlive() && socket_ &&
        socket_->state() == QAbstractSocket::ConnectedState)
        served_ = true;
    else
        dropConnection();
    emit answered();
}

// Last in every handler that reaches it, as finishAnswer().
void HttpConnection::fail(const QString& reason)
{
    inFlight_ = false;
    dropConnection();
    emit failed(reason, parser_.hasStatus());
}

// Signals are cut first: aborting emits some at once, and no signal of an old connection may reach the
// current request.
void HttpConnection::dropConnection()
{
    if (!socket_)
        return;
    QTcpSocket* socket = std::exchange(socket_, nullptr);
    connection_ = 0;
    socket->disconnect(this);
    socket->abort();
    socket->deleteLater();
    served_ = false;
}

QString HttpConnection::tooLargeReason(qint64 maxBodyBytes)
{
    if (maxBodyBytes > 0 && maxBodyBytes % 1048576 == 0)
        return QStringLiteral("The answer was larger than %1 MiB").arg(maxBodyBytes / 1048576);
    return QStringLiteral("The answer was larger than %1 bytes").arg(maxBodyBytes);
}

QString HttpConnection::connectionErrorReason(QAbstractSocket::SocketError error, const QString& text)
{
    switch (error) {
    case QAbstractSocket::ConnectionRefusedError:
        return QStringLiteral("Connection refused");
    case QAbstractSocket::HostNotFoundError:
        return QStringLiteral("Host not found");
    case QAbstractSocket::SocketTimeoutError:
        return QStringLiteral("The connection timed out");
    default:
        return text;
    }
}

} // namespace quorvel::acquisition
