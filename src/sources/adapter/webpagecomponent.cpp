#include "webpagecomponent.h"

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
    : PageComponent(parent), http_(new HttpConnection(this)), timeoutMs_(std::max(timeoutMs, 1))
{
    // Precise: a coarse timer may fire up to 5 % early; the deadline is a promise to the adapter's slow
    // pages.
    setDeadlineTimer(std::make_unique<runtime::PreciseTimer>());
    connect(http_, &HttpConnection::answered, this, &WebPageComponent::onAnswered);
    connect(http_, &HttpConnection::failed, this, &WebPageComponent::onFailed);
}

WebPageComponent::~WebPageComponent() = default;

void WebPageComponent::setDeadlineTimer(std::unique_ptr<runtime::Timer> timer)
{
    deadline_ = std::move(timer);
    connect(deadline_.get(), &runtime::Timer::timeout, this, &WebPageComponent::onDeadline);
}

void WebPageComponent::setTimeout(int ms)
{
    timeoutMs_ = std::max(ms, 1);
}

void WebPageComponent::setMaxBodySize(qint64 bytes)
{
    maxBodyBytes_ = std::max<qint64>(bytes, 0);
}

void WebPageComponent::setSocketFactory(SocketFactory factory)
{
    http_->setSocketFactory(std::move(factory));
}

void WebPageComponent::Navigate(const QString& url)
{
    http_->abandon();
    deadline_->stop();
    ++navigation_;
    renderAhead_ = renderAhead_ || (document_ && document_->rendered());
    document_ = std::make_unique<HtmlDocument>();
    state_ = Loading;
    answerPending_ = false;
    redirects_ = 0;

    auto kept = requests_.constFind(url);
    if (kept == requests_.cend()) {
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
        if (requests_.size() >= MaxKeptRequests)
            requests_.clear();
        kept = requests_.insert(url, requestFor(parsed, requestTargetOf(text)));
    }
    const Request request = *kept;
    originalUrl_ = request.url;
    deadline_->start(timeoutMs_);
    inNavigate_ = true;
    startRequest(request);
    inNavigate_ = false;
}

WebPageComponent::Request WebPageComponent::requestFor(const QUrl& url, const QByteArray& target)
{
    return {url, url.host(), effectivePort(url),
            "GET " + target + " HTTP/1.1\r\nHost: " + hostHeader(url) +
                "\r\nUser-Agent: Quorvel-3/1.0\r\n"
                // Identity keeps the size cap counting the bytes on the wire.
                "Accept-Encoding: identity\r\nConnection: keep-alive\r\n\r\n"};
}

void WebPageComponent::startRequest(const Request& request)
{
    url_ = request.url;
    http_->send(request.host, request.port, request.bytes, maxBodyBytes_);
}

void WebPageComponent::onAnswered()
{
    answerPending_ = true;
    const HttpResponseParser& answer = http_->answer();
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
        complete(HtmlDocument(decoded.body, charsetOf(answer.header("content-type")),
                              HtmlDocument::ReadBudget,
                              renderAhead_ ? HtmlDocument::Rendering::Ahead : HtmlDocument::Rendering::Lazy));
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
    answerPending_ = answerPending_ || answerStarted;
    fail(reason);
}

// The answer is the connection's until the next request, so all of it that counts is read first.
void WebPageComponent::followRedirect(const HttpResponseParser& answer)
{
    const QString location = QString::fromUtf8(answer.header("location"));
    const QUrl relative(location, QUrl::StrictMode);
    const QUrl target = location.isEmpty() || !relative.isValid() ? QUrl() : url_.resolved(relative);

    if (target.isEmpty() || !target.isValid()) {
        fail(QStringLiteral("Redirect without a valid address refused"));
        return;
    }
    if (target.scheme() != originalUrl_.scheme()) {
        fail(QStringLiteral("Redirect to another scheme refused"));
        return;
    }
    if (target.host().compare(originalUrl_.host(), Qt::CaseInsensitive) != 0) {
        fail(QStringLiteral("Redirect to another host refused"));
        return;
    }
    if (effectivePort(target) != effectivePort(originalUrl_)) {
        fail(QStringLiteral("Redirect to another port refused"));
        return;
    }
    if (redirects_ >= MaxRedirects) {
        fail(QStringLiteral("Too many redirects (more than %1)").arg(MaxRedirects));
        return;
    }
    ++redirects_;
    // An address or an absolute path goes out as written; anything else has to be resolved first.
    QByteArray path;
    if (!relative.scheme().isEmpty())
        path = requestTargetOf(location);
    else if (location.startsWith(u'/') && !location.startsWith(QStringLiteral("//")))
        path = verbatimTarget(location);
    else
        path = verbatimTarget(QString::fromLatin1(
            target.toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority | QUrl::RemoveFragment)));
    startRequest(requestFor(target, path));
}

void WebPageComponent::onDeadline()
{
    if (state_ != Loading)
        return;
    answerPending_ = answerPending_ || http_->answerStarted();
    fail(
        answerPending_
            ? QStringLiteral("The adapter did not send the whole page within %1").arg(secondsText(timeoutMs_))
            : QStringLiteral("The adapter did not answer within %1").arg(secondsText(timeoutMs_)));
}

void WebPageComponent::failLater(const QString& reason)
{
    QMetaObject::invokeMethod(
        this,
        [this, reason, navigation = navigation_] {
            if (navigation == navigation_)
                fail(reason);
        },
        Qt::QueuedConnection);
}

void WebPageComponent::fail(const QString& reason)
{
    http_->abandon();
    // Navigate returns before its load completes, also when the load fails at once.
    if (inNavigate_) {
        failLater(reason);
        return;
    }
    complete(HtmlDocument::errorPage(reason));
}

void WebPageComponent::complete(HtmlDocument document)
{
    if (state_ != Loading)
        return;
    deadline_->stop();
    document_ = std::make_unique<HtmlDocument>(std::move(document));
    gotAnswer_ = answerPending_;
    state_ = Complete;
    // Last: a receiver may start the next navigation from here.
    emit completed();
}

} // namespace quorvel::acquisition
