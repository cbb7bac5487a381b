#include "acquisition/httpconnection.h"

#include <QNetworkProxy>
#include <QTcpSocket>

#include <utility>

namespace quorvel::acquisition {

HttpConnection::Busy::Busy(HttpConnection& connection) : m_connection(connection)
{
    ++m_connection.m_busy;
}

// Signals that came in meanwhile are handled from the event loop, after the outermost call returned.
HttpConnection::Busy::~Busy()
{
    if (--m_connection.m_busy != 0 || m_connection.m_deferred.isEmpty() || m_connection.m_deferredPosted)
        return;
    m_connection.m_deferredPosted = true;
    QMetaObject::invokeMethod(
        &m_connection, [connection = &m_connection] { connection->runDeferredSignals(); },
        Qt::QueuedConnection);
}

HttpConnection::HttpConnection(QObject* parent)
    : QObject(parent), m_socketFactory([](QObject* owner) { return new QTcpSocket(owner); })
{
}

HttpConnection::~HttpConnection()
{
    dropConnection();
}

void HttpConnection::setSocketFactory(SocketFactory factory)
{
    m_socketFactory = std::move(factory);
}

void HttpConnection::onSocketSignal(quint64 connection, Handler handler)
{
    // A signal of a connection dropped since it was sent, or queued behind its drop.
    if (connection != m_connection)
        return;
    if (m_busy > 0) {
        m_deferred.append({connection, handler});
        return;
    }
    const Busy busy(*this);
    (this->*handler)();
}

void HttpConnection::runDeferredSignals()
{
    while (!m_deferred.isEmpty() && m_busy == 0) {
        const auto [connection, handler] = m_deferred.takeFirst();
        onSocketSignal(connection, handler);
    }
    m_deferredPosted = false;
}

void HttpConnection::send(const QString& host, int port, const QByteArray& request, qint64 maxBodyBytes)
{
    const Busy busy(*this);
    abandon();
    const QString lowerHost = host.toLower();
    if (m_socket &&
        (lowerHost != m_host || port != m_port || m_socket->state() != QAbstractSocket::ConnectedState))
        dropConnection();
    m_request = request;
    m_parser = HttpResponseParser(maxBodyBytes);
    m_retried = false;
    if (!m_socket) {
        m_host = lowerHost;
        m_port = port;
        openConnection();
    }
    sendRequest();
}

void HttpConnection::abandon()
{
    if (!m_inFlight)
        return;
    const Busy busy(*this);
    m_inFlight = false;
    dropConnection();
}

void HttpConnection::openConnection()
{
    QTcpSocket* socket = m_socketFactory(this);
    // The adapter sits next to the logger: a system proxy would only be a detour or a leak.
    socket->setProxy(QNetworkProxy::NoProxy);
    const quint64 connection = ++m_lastConnection;
    const auto handle = [this, connection](Handler handler) {
        return [this, connection, handler] { onSocketSignal(connection, handler); };
    };
    connect(socket, &QTcpSocket::connected, this, handle(&HttpConnection::onConnected));
    connect(socket, &QTcpSocket::readyRead, this, handle(&HttpConnection::onReadyRead));
    connect(socket, &QTcpSocket::disconnected, this, handle(&HttpConnection::onConnectionEnded));
    connect(socket, &QTcpSocket::errorOccurred, this, handle(&HttpConnection::onConnectionEnded));
    m_socket = socket;
    m_connection = connection;
    m_served = false;
    socket->connectToHost(m_host, quint16(m_port));
}

// Written at once on an open connection, else by onConnected().
void HttpConnection::sendRequest()
{
    m_inFlight = true;
    m_answerBytes = false;
    m_reused = m_served;
    if (m_socket && m_socket->state() == QAbstractSocket::ConnectedState)
        m_socket->write(m_request);
}

void HttpConnection::onConnected()
{
    // Requests and answers are single small writes; Nagle would hold each back for a delayed ACK.
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    if (m_inFlight)
        m_socket->write(m_request);
}

void HttpConnection::onReadyRead()
{
    const QByteArray bytes = m_socket->readAll();
    if (bytes.isEmpty())
        return;
    // Bytes nobody asked for: the connection is out of step and no use for the next request.
    if (!m_inFlight) {
        dropConnection();
        return;
    }
    readAnswer(bytes);
}

// Returns whether the answer is still open: neither complete nor failed.
bool HttpConnection::readAnswer(const QByteArray& bytes)
{
    m_answerBytes = true;
    const qsizetype used = m_parser.feed(bytes);
    if (m_parser.isFailed()) {
        fail(m_parser.failure() == HttpResponseParser::Failure::TooLarge
                 ? tooLargeReason(m_parser.maxBodySize())
                 : QStringLiteral("The adapter's answer was not valid HTTP"));
        return false;
    }
    if (m_parser.isComplete()) {
        finishAnswer(used == bytes.size());
        return false;
    }
    return true;
}

void HttpConnection::onConnectionEnded()
{
    const QAbstractSocket::SocketError error = m_socket->error();
    const QString errorText = m_socket->errorString();
    const QByteArray rest = m_socket->isOpen() ? m_socket->readAll() : QByteArray();
    dropConnection();
    if (!m_inFlight)
        return;
    if (!rest.isEmpty() && !readAnswer(rest))
        return;

    const bool closedByPeer =
        error == QAbstractSocket::RemoteHostClosedError || error == QAbstractSocket::UnknownSocketError;
    if (closedByPeer) {
        m_parser.finish();
        if (m_parser.isComplete()) {
            finishAnswer(false);
            return;
        }
    }
    // A kept-alive connection may be closed by the adapter at any time, also just as a request goes out;
    // once any byte of the answer came, the request may have done its work and is not repeated.
    if (m_reused && !m_answerBytes && !m_retried) {
        m_retried = true;
        m_parser.reset();
        openConnection();
        sendRequest();
        return;
    }
    if (closedByPeer) {
        fail(m_parser.hasStatus()
                 ? QStringLiteral("The adapter closed the connection before the page was complete")
                 : QStringLiteral("The adapter closed the connection without an answer"));
    } else {
        fail(connectionErrorReason(error, errorText));
    }
}

// Last in every handler that reaches it: a receiver may send the next request from here.
void HttpConnection::finishAnswer(bool connectionUsable)
{
    m_inFlight = false;
    if (connectionUsable && m_parser.keepAlive() && m_socket &&
        m_socket->state() == QAbstractSocket::ConnectedState)
        m_served = true;
    else
        dropConnection();
    emit answered();
}

// Last in every handler that reaches it, as finishAnswer().
void HttpConnection::fail(const QString& reason)
{
    m_inFlight = false;
    dropConnection();
    emit failed(reason, m_parser.hasStatus());
}

// Signals are cut first: aborting emits some at once, and no signal of an old connection may reach the
// current request.
void HttpConnection::dropConnection()
{
    if (!m_socket)
        return;
    QTcpSocket* socket = std::exchange(m_socket, nullptr);
    m_connection = 0;
    socket->disconnect(this);
    socket->abort();
    socket->deleteLater();
    m_served = false;
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
