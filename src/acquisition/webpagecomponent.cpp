#include "acquisition/webpagecomponent.h"

#include <QNetworkProxy>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <utility>

namespace quorvel::acquisition {

namespace {

bool isFollowedRedirect(int status)
{
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// Only plain HTTP is loaded, so an address without a port means 80.
int effectivePort(const QUrl& url)
{
    return url.port(80);
}

QByteArray charsetOf(const QByteArray& contentType)
{
    for (const QByteArray& field : contentType.split(';')) {
        const QByteArray param = field.trimmed();
        if (!param.toLower().startsWith("charset="))
            continue;
        QByteArray value = param.mid(8).trimmed();
        if (value.size() >= 2 && (value.startsWith('"') || value.startsWith('\'')) &&
            value.back() == value.front())
            value = value.mid(1, value.size() - 2);
        return value;
    }
    return {};
}

// The path and query of an address exactly as written, for the request line: the adapter compares the
// sensor address byte for byte, escapes included. Only what cannot go on a request line at all (blanks,
// control and non-ASCII characters) is escaped, as UTF-8.
QByteArray verbatimTarget(QStringView pathAndRest)
{
    const qsizetype fragment = pathAndRest.indexOf(u'#');
    if (fragment >= 0)
        pathAndRest = pathAndRest.first(fragment);
    QByteArray target;
    if (pathAndRest.isEmpty() || pathAndRest.front() != u'/')
        target += '/';
    for (const char c : pathAndRest.toUtf8()) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte > 0x20 && byte < 0x7f)
            target += c;
        else
            target += '%' + QByteArray::number(byte, 16).rightJustified(2, '0').toUpper();
    }
    return target;
}

// The request target of an absolute address: everything after the authority.
QByteArray requestTargetOf(QStringView url)
{
    const qsizetype authority = url.indexOf(u"://") + 3;
    qsizetype end = authority;
    while (end < url.size() && url[end] != u'/' && url[end] != u'?' && url[end] != u'#')
        ++end;
    return verbatimTarget(url.sliced(end));
}

QByteArray hostHeader(const QUrl& url)
{
    QByteArray host = url.host(QUrl::FullyEncoded).toLatin1();
    if (host.contains(':'))
        host = '[' + host + ']';
    if (url.port() != -1)
        host += ':' + QByteArray::number(url.port());
    return host;
}

QString secondsText(int ms)
{
    const QString number = QString::number(ms / 1000.0);
    return number + (ms == 1000 ? QStringLiteral(" second") : QStringLiteral(" seconds"));
}

} // namespace

WebPageComponent::Busy::Busy(WebPageComponent& page) : m_page(page)
{
    ++m_page.m_busy;
}

// Signals that came in meanwhile are handled from the event loop, after the outermost call returned.
WebPageComponent::Busy::~Busy()
{
    if (--m_page.m_busy != 0 || m_page.m_deferred.isEmpty() || m_page.m_deferredPosted)
        return;
    m_page.m_deferredPosted = true;
    QMetaObject::invokeMethod(
        &m_page, [page = &m_page] { page->runDeferredSignals(); }, Qt::QueuedConnection);
}

WebPageComponent::WebPageComponent(QObject* parent, int timeoutMs)
    : PageComponent(parent), m_socketFactory([](QObject* owner) { return new QTcpSocket(owner); }),
      m_deadline(new QTimer(this)), m_timeoutMs(std::max(timeoutMs, 1))
{
    m_deadline->setSingleShot(true);
    // A coarse timer may fire up to 5 % early; the deadline is a promise to the adapter's slow pages.
    m_deadline->setTimerType(Qt::PreciseTimer);
    connect(m_deadline, &QTimer::timeout, this, [this] {
        const Busy busy(*this);
        onDeadline();
    });
}

WebPageComponent::~WebPageComponent()
{
    dropConnection();
}

void WebPageComponent::setTimeout(int ms)
{
    m_timeoutMs = std::max(ms, 1);
}

void WebPageComponent::setMaxBodySize(qint64 bytes)
{
    m_maxBodyBytes = std::max<qint64>(bytes, 0);
}

void WebPageComponent::setSocketFactory(SocketFactory factory)
{
    m_socketFactory = std::move(factory);
}

void WebPageComponent::onSocketSignal(quint64 connection, Handler handler)
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

void WebPageComponent::runDeferredSignals()
{
    while (!m_deferred.isEmpty() && m_busy == 0) {
        const auto [connection, handler] = m_deferred.takeFirst();
        onSocketSignal(connection, handler);
    }
    m_deferredPosted = false;
}

void WebPageComponent::Navigate(const QString& url)
{
    const Busy busy(*this);
    abandonRequest();
    m_deadline->stop();
    ++m_navigation;
    m_document = std::make_unique<HtmlDocument>();
    m_state = Loading;
    m_answerPending = false;
    m_redirects = 0;

    const QString text = url.trimmed();
    const QUrl parsed(text, QUrl::StrictMode);
    if (text.isEmpty() || !parsed.isValid() || parsed.host().isEmpty()) {
        failLater(QStringLiteral("The address is not valid"));
        return;
    }
    // The adapter serves plain HTTP only.
    if (parsed.scheme() != u"http") {
        failLater(QStringLiteral("Unsupported address scheme"));
        return;
    }
    m_originalUrl = parsed;
    m_deadline->start(m_timeoutMs);
    m_inNavigate = true;
    startRequest(parsed, requestTargetOf(text));
    m_inNavigate = false;
}

void WebPageComponent::startRequest(const QUrl& url, const QByteArray& target)
{
    const QString host = url.host().toLower();
    const int port = effectivePort(url);
    if (m_socket && (host != m_socketHost || port != m_socketPort ||
                     m_socket->state() != QAbstractSocket::ConnectedState))
        dropConnection();
    m_url = url;
    m_request = "GET " + target + " HTTP/1.1\r\nHost: " + hostHeader(url) +
                "\r\nUser-Agent: Quorvel-3/1.0\r\n"
                // Identity keeps the size cap counting the bytes on the wire.
                "Accept-Encoding: identity\r\nConnection: keep-alive\r\n\r\n";
    m_retried = false;
    if (!m_socket)
        openConnection();
    sendRequest();
}

void WebPageComponent::openConnection()
{
    QTcpSocket* socket = m_socketFactory(this);
    // The adapter sits next to the logger: a system proxy would only be a detour or a leak.
    socket->setProxy(QNetworkProxy::NoProxy);
    const quint64 connection = ++m_lastConnection;
    const auto handle = [this, connection](Handler handler) {
        return [this, connection, handler] { onSocketSignal(connection, handler); };
    };
    connect(socket, &QTcpSocket::connected, this, handle(&WebPageComponent::onConnected));
    connect(socket, &QTcpSocket::readyRead, this, handle(&WebPageComponent::onReadyRead));
    connect(socket, &QTcpSocket::disconnected, this, handle(&WebPageComponent::onConnectionEnded));
    connect(socket, &QTcpSocket::errorOccurred, this, handle(&WebPageComponent::onConnectionEnded));
    m_socket = socket;
    m_connection = connection;
    m_socketHost = m_url.host().toLower();
    m_socketPort = effectivePort(m_url);
    m_socketServed = false;
    socket->connectToHost(m_url.host(), quint16(m_socketPort));
}

// Written at once on an open connection, else by onConnected().
void WebPageComponent::sendRequest()
{
    m_parser = HttpResponseParser(m_maxBodyBytes);
    m_inFlight = true;
    m_answerBytes = false;
    m_reusedSocket = m_socketServed;
    if (m_socket && m_socket->state() == QAbstractSocket::ConnectedState)
        m_socket->write(m_request);
}

void WebPageComponent::onConnected()
{
    // Requests and answers are single small writes; Nagle would hold each back for a delayed ACK.
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    if (m_inFlight)
        m_socket->write(m_request);
}

void WebPageComponent::onReadyRead()
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
bool WebPageComponent::readAnswer(const QByteArray& bytes)
{
    m_answerBytes = true;
    const qsizetype used = m_parser.feed(bytes);
    if (m_parser.hasStatus())
        m_answerPending = true;
    if (m_parser.isFailed()) {
        fail(m_parser.failure() == HttpResponseParser::Failure::TooLarge
                 ? oversizeReason()
                 : QStringLiteral("The adapter's answer was not valid HTTP"));
        return false;
    }
    if (m_parser.isComplete()) {
        finishAnswer(used == bytes.size());
        return false;
    }
    return true;
}

void WebPageComponent::onConnectionEnded()
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
    if (m_reusedSocket && !m_answerBytes && !m_retried) {
        m_retried = true;
        openConnection();
        sendRequest();
        return;
    }
    m_inFlight = false;
    if (closedByPeer) {
        fail(m_answerPending
                 ? QStringLiteral("The adapter closed the connection before the page was complete")
                 : QStringLiteral("The adapter closed the connection without an answer"));
    } else {
        fail(connectionErrorReason(error, errorText));
    }
}

void WebPageComponent::finishAnswer(bool connectionUsable)
{
    m_inFlight = false;
    if (connectionUsable && m_parser.keepAlive() && m_socket &&
        m_socket->state() == QAbstractSocket::ConnectedState)
        m_socketServed = true;
    else
        dropConnection();

    const int status = m_parser.status();
    if (isFollowedRedirect(status)) {
        followRedirect();
        return;
    }
    if (status >= 400) {
        fail(QStringLiteral("HTTP %1 %2")
                 .arg(status)
                 .arg(QString::fromLatin1(m_parser.reasonPhrase()))
                 .trimmed());
        return;
    }
    if (status >= 300) {
        fail(QStringLiteral("Redirect refused (HTTP %1)").arg(status));
        return;
    }
    HtmlDocument document(m_parser.body(), charsetOf(m_parser.header("content-type")));
    m_parser.reset();
    complete(std::move(document));
}

void WebPageComponent::followRedirect()
{
    const QString location = QString::fromUtf8(m_parser.header("location"));
    const QUrl relative(location, QUrl::StrictMode);
    const QUrl target = location.isEmpty() || !relative.isValid() ? QUrl() : m_url.resolved(relative);

    if (target.isEmpty() || !target.isValid()) {
        fail(QStringLiteral("Redirect without a valid address refused"));
        return;
    }
    if (target.scheme() != m_originalUrl.scheme()) {
        fail(QStringLiteral("Redirect to another scheme refused"));
        return;
    }
    if (target.host().compare(m_originalUrl.host(), Qt::CaseInsensitive) != 0) {
        fail(QStringLiteral("Redirect to another host refused"));
        return;
    }
    if (effectivePort(target) != effectivePort(m_originalUrl)) {
        fail(QStringLiteral("Redirect to another port refused"));
        return;
    }
    if (m_redirects >= maxRedirects) {
        fail(QStringLiteral("Too many redirects (more than %1)").arg(maxRedirects));
        return;
    }
    ++m_redirects;
    // An address or an absolute path goes out as written; anything else has to be resolved first.
    QByteArray path;
    if (!relative.scheme().isEmpty())
        path = requestTargetOf(location);
    else if (location.startsWith(u'/') && !location.startsWith(QStringLiteral("//")))
        path = verbatimTarget(location);
    else
        path = verbatimTarget(QString::fromLatin1(
            target.toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority | QUrl::RemoveFragment)));
    startRequest(target, path);
}

void WebPageComponent::onDeadline()
{
    if (m_state != Loading)
        return;
    fail(m_answerPending
             ? QStringLiteral("The adapter did not send the whole page within %1")
                   .arg(secondsText(m_timeoutMs))
             : QStringLiteral("The adapter did not answer within %1").arg(secondsText(m_timeoutMs)));
}

// Signals are cut first: aborting emits some at once, and no signal of an old connection may reach the
// current load.
void WebPageComponent::dropConnection()
{
    if (!m_socket)
        return;
    QTcpSocket* socket = std::exchange(m_socket, nullptr);
    m_connection = 0;
    socket->disconnect(this);
    socket->abort();
    socket->deleteLater();
    m_socketServed = false;
}

// An answer still on its way would arrive into the next request, so its connection goes with it.
void WebPageComponent::abandonRequest()
{
    if (!m_inFlight)
        return;
    m_inFlight = false;
    dropConnection();
}

void WebPageComponent::failLater(const QString& reason)
{
    QMetaObject::invokeMethod(
        this,
        [this, reason, navigation = m_navigation] {
            const Busy busy(*this);
            if (navigation == m_navigation)
                fail(reason);
        },
        Qt::QueuedConnection);
}

void WebPageComponent::fail(const QString& reason)
{
    abandonRequest();
    // Navigate returns before its load completes, also when the load fails at once.
    if (m_inNavigate) {
        failLater(reason);
        return;
    }
    complete(HtmlDocument::errorPage(reason));
}

void WebPageComponent::complete(HtmlDocument document)
{
    if (m_state != Loading)
        return;
    m_deadline->stop();
    m_document = std::make_unique<HtmlDocument>(std::move(document));
    m_gotAnswer = m_answerPending;
    m_state = Complete;
    // Last: a receiver may start the next navigation from here.
    emit completed();
}

QString WebPageComponent::oversizeReason() const
{
    if (m_maxBodyBytes > 0 && m_maxBodyBytes % 1048576 == 0)
        return QStringLiteral("The answer was larger than %1 MiB").arg(m_maxBodyBytes / 1048576);
    return QStringLiteral("The answer was larger than %1 bytes").arg(m_maxBodyBytes);
}

QString WebPageComponent::connectionErrorReason(QAbstractSocket::SocketError error, const QString& text)
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
