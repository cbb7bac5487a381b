#include "acquisition/webpagecomponent.h"

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

WebPageComponent::WebPageComponent(QObject* parent, int timeoutMs)
    : PageComponent(parent), m_http(new HttpConnection(this)), m_deadline(new QTimer(this)),
      m_timeoutMs(std::max(timeoutMs, 1))
{
    m_deadline->setSingleShot(true);
    // A coarse timer may fire up to 5 % early; the deadline is a promise to the adapter's slow pages.
    m_deadline->setTimerType(Qt::PreciseTimer);
    connect(m_deadline, &QTimer::timeout, this, &WebPageComponent::onDeadline);
    connect(m_http, &HttpConnection::answered, this, &WebPageComponent::onAnswered);
    connect(m_http, &HttpConnection::failed, this, &WebPageComponent::onFailed);
}

WebPageComponent::~WebPageComponent() = default;

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
    m_http->setSocketFactory(std::move(factory));
}

void WebPageComponent::Navigate(const QString& url)
{
    m_http->abandon();
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
    m_url = url;
    m_http->send(url.host(), effectivePort(url),
                 "GET " + target + " HTTP/1.1\r\nHost: " + hostHeader(url) +
                     "\r\nUser-Agent: Quorvel-3/1.0\r\n"
                     // Identity keeps the size cap counting the bytes on the wire.
                     "Accept-Encoding: identity\r\nConnection: keep-alive\r\n\r\n",
                 m_maxBodyBytes);
}

void WebPageComponent::onAnswered()
{
    m_answerPending = true;
    const HttpResponseParser& answer = m_http->answer();
    const int status = answer.status();
    if (isFollowedRedirect(status)) {
        followRedirect(answer);
        return;
    }
    if (status >= 400) {
        fail(QStringLiteral("HTTP %1 %2")
                 .arg(status)
                 .arg(QString::fromLatin1(answer.reasonPhrase()))
                 .trimmed());
        return;
    }
    if (status >= 300) {
        fail(QStringLiteral("Redirect refused (HTTP %1)").arg(status));
        return;
    }
    // Encoded bytes are never taken for a page, whatever the request asked for.
    const HttpResponseParser::Decoded decoded = answer.decodedBody();
    using Outcome = HttpResponseParser::Decoded::Outcome;
    switch (decoded.outcome) {
    case Outcome::Decoded:
        complete(HtmlDocument(decoded.body, charsetOf(answer.header("content-type"))));
        return;
    case Outcome::Unsupported:
        fail(QStringLiteral("The adapter's answer was encoded (%1), which cannot be read")
                 .arg(QString::fromLatin1(decoded.coding)));
        return;
    case Outcome::Corrupt:
        fail(QStringLiteral("The adapter's answer was encoded (%1) but could not be decoded")
                 .arg(QString::fromLatin1(decoded.coding)));
        return;
    case Outcome::TooLarge:
        fail(HttpConnection::tooLargeReason(answer.maxBodySize()));
        return;
    }
}

void WebPageComponent::onFailed(const QString& reason, bool answerStarted)
{
    m_answerPending = m_answerPending || answerStarted;
    fail(reason);
}

// The answer is the connection's until the next request, so all of it that counts is read first.
void WebPageComponent::followRedirect(const HttpResponseParser& answer)
{
    const QString location = QString::fromUtf8(answer.header("location"));
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
    m_answerPending = m_answerPending || m_http->answerStarted();
    fail(m_answerPending
             ? QStringLiteral("The adapter did not send the whole page within %1")
                   .arg(secondsText(m_timeoutMs))
             : QStringLiteral("The adapter did not answer within %1").arg(secondsText(m_timeoutMs)));
}

void WebPageComponent::failLater(const QString& reason)
{
    QMetaObject::invokeMethod(
        this,
        [this, reason, navigation = m_navigation] {
            if (navigation == m_navigation)
                fail(reason);
        },
        Qt::QueuedConnection);
}

void WebPageComponent::fail(const QString& reason)
{
    m_http->abandon();
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

} // namespace quorvel::acquisition
