#include "acquisition/webpagecomponent.h"

#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

#include <algorithm>

namespace quorvel::acquisition {

namespace {

bool isFollowedRedirect(int status)
{
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

int effectivePort(const QUrl& url)
{
    return url.port(url.scheme() == u"https" ? 443 : 80);
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

QString networkErrorReason(const QNetworkReply* reply, bool gotAnswer)
{
    switch (reply->error()) {
    case QNetworkReply::ConnectionRefusedError:
        return QStringLiteral("Connection refused");
    case QNetworkReply::RemoteHostClosedError:
        return gotAnswer ? QStringLiteral("The adapter closed the connection before the page was complete")
                         : QStringLiteral("The adapter closed the connection without an answer");
    case QNetworkReply::HostNotFoundError:
        return QStringLiteral("Host not found");
    case QNetworkReply::TimeoutError:
        return QStringLiteral("The connection timed out");
    case QNetworkReply::ProtocolUnknownError:
        return QStringLiteral("Unsupported address scheme");
    default:
        return reply->errorString();
    }
}

QString secondsText(int ms)
{
    const QString number = QString::number(ms / 1000.0);
    return number + (ms == 1000 ? QStringLiteral(" second") : QStringLiteral(" seconds"));
}

} // namespace

WebPageComponent::WebPageComponent(QObject* parent, int timeoutMs)
    : PageComponent(parent), m_network(new QNetworkAccessManager(this)), m_deadline(new QTimer(this)),
      m_timeoutMs(std::max(timeoutMs, 1))
{
    // The adapter sits next to the logger: a system proxy would only be a detour or a leak.
    m_network->setProxy(QNetworkProxy::NoProxy);
    m_network->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    m_deadline->setSingleShot(true);
    // A coarse timer may fire up to 5 % early; the deadline is a promise to the adapter's slow pages.
    m_deadline->setTimerType(Qt::PreciseTimer);
    connect(m_deadline, &QTimer::timeout, this, &WebPageComponent::onDeadline);
}

WebPageComponent::~WebPageComponent()
{
    abandonReply();
}

void WebPageComponent::setTimeout(int ms)
{
    m_timeoutMs = std::max(ms, 1);
}

void WebPageComponent::setMaxBodySize(qint64 bytes)
{
    m_maxBodyBytes = std::max<qint64>(bytes, 0);
}

void WebPageComponent::Navigate(const QString& url)
{
    abandonReply();
    m_deadline->stop();
    ++m_navigation;
    m_document = std::make_unique<HtmlDocument>();
    m_state = Loading;
    m_answerPending = false;
    m_redirects = 0;
    m_body.clear();

    const QUrl parsed(url, QUrl::StrictMode);
    if (url.trimmed().isEmpty() || !parsed.isValid() || parsed.host().isEmpty()) {
        failLater(QStringLiteral("The address is not valid"));
        return;
    }
    if (parsed.scheme() != u"http" && parsed.scheme() != u"https") {
        failLater(QStringLiteral("Unsupported address scheme"));
        return;
    }
    m_originalUrl = parsed;
    m_deadline->start(m_timeoutMs);
    startRequest(parsed);
}

void WebPageComponent::startRequest(const QUrl& url)
{
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::UserAgentHeader, QStringLiteral("Quorvel-3/1.0"));
    // Asking for identity keeps Qt from decompressing, so the size cap counts the bytes on the wire.
    request.setRawHeader("Accept-Encoding", "identity");
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    request.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Manual);
    request.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);
    request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);

    QNetworkReply* reply = m_network->get(request);
    m_reply = reply;
    connect(reply, &QNetworkReply::metaDataChanged, this, [this, reply] { onMetaDataChanged(reply); });
    connect(reply, &QNetworkReply::readyRead, this, [this, reply] { onReadyRead(reply); });
    connect(reply, &QNetworkReply::finished, this, [this, reply] { onFinished(reply); });
}

void WebPageComponent::onMetaDataChanged(QNetworkReply* reply)
{
    if (reply != m_reply)
        return;
    if (!reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid())
        return;
    m_answerPending = true;
    bool known = false;
    const qint64 length = reply->header(QNetworkRequest::ContentLengthHeader).toLongLong(&known);
    if (known && length > m_maxBodyBytes)
        fail(oversizeReason());
}

void WebPageComponent::onReadyRead(QNetworkReply* reply)
{
    if (reply != m_reply)
        return;
    if (!appendBody(reply))
        fail(oversizeReason());
}

// Reads at most one byte past the cap, so an oversized answer is never held in full.
bool WebPageComponent::appendBody(QNetworkReply* reply)
{
    m_body += reply->read(m_maxBodyBytes - m_body.size() + 1);
    return m_body.size() <= m_maxBodyBytes;
}

void WebPageComponent::onFinished(QNetworkReply* reply)
{
    if (reply != m_reply)
        return;
    const QVariant statusAttribute = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (statusAttribute.isValid())
        m_answerPending = true;
    const int status = statusAttribute.toInt();

    if (statusAttribute.isValid() && isFollowedRedirect(status)) {
        followRedirect(reply);
        return;
    }
    if (status >= 400) {
        const QString phrase = reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString();
        fail(QStringLiteral("HTTP %1 %2").arg(status).arg(phrase).trimmed());
        return;
    }
    if (status >= 300) {
        fail(QStringLiteral("Redirect refused (HTTP %1)").arg(status));
        return;
    }
    if (reply->error() != QNetworkReply::NoError) {
        fail(networkErrorReason(reply, m_answerPending));
        return;
    }
    if (!appendBody(reply)) {
        fail(oversizeReason());
        return;
    }
    const QByteArray charset = charsetOf(reply->rawHeader("Content-Type"));
    abandonReply();
    complete(HtmlDocument(m_body, charset));
}

void WebPageComponent::followRedirect(QNetworkReply* reply)
{
    QUrl target = reply->attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl();
    if (target.isEmpty())
        target = QUrl(QString::fromUtf8(reply->rawHeader("Location")), QUrl::StrictMode);
    target = reply->url().resolved(target);

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
    abandonReply();
    m_body.clear();
    startRequest(target);
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

// Disconnected before the abort, because abort() emits finished() at once and no signal of an old
// request may reach the current load.
void WebPageComponent::abandonReply()
{
    if (!m_reply)
        return;
    QNetworkReply* reply = m_reply;
    m_reply = nullptr;
    reply->disconnect(this);
    if (reply->isRunning())
        reply->abort();
    reply->deleteLater();
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
    abandonReply();
    complete(HtmlDocument::errorPage(reason));
}

void WebPageComponent::complete(HtmlDocument document)
{
    if (m_state != Loading)
        return;
    m_deadline->stop();
    m_body.clear();
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

} // namespace quorvel::acquisition
