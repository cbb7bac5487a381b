#include "influxrequest.h"

#include "service/outputs/influx/lineprotocol.h"

#include <QLocale>
#include <QNetworkReply>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QUrlQuery>

namespace quorvel::service::influx {

namespace {

// A server's error body can be long (a whole batch echoed back); the journal takes a line of it.
constexpr qsizetype FirstLineMax = 200;

QString firstLineOf(const QByteArray& body)
{
    const QByteArray trimmed = body.trimmed();
    const qsizetype end = trimmed.indexOf('\n');
    QString line = QString::fromUtf8(end < 0 ? trimmed : trimmed.left(end)).trimmed();
    if (line.size() > FirstLineMax)
        line = line.left(FirstLineMax) + QStringLiteral("…");
    return line;
}

QString transportText(QNetworkReply::NetworkError error, const QString& fallback)
{
    switch (error) {
    case QNetworkReply::ConnectionRefusedError:
        return QStringLiteral("connection refused");
    case QNetworkReply::HostNotFoundError:
        return QStringLiteral("host not found");
    case QNetworkReply::RemoteHostClosedError:
        return QStringLiteral("connection closed");
    case QNetworkReply::TimeoutError:
        return QStringLiteral("timed out");
    case QNetworkReply::SslHandshakeFailedError:
        return QStringLiteral("TLS handshake failed");
    default:
        return fallback;
    }
}

QUrl writeUrl(const InfluxSettings& settings)
{
    // Credentials go in a header only: a URL turns up in error texts.
    QUrl url = settings.url;
    url.setUserInfo({});
    QString path = url.path();
    while (path.endsWith(QLatin1Char('/')))
        path.chop(1);
    QUrlQuery query;
    if (settings.api == Api::V1) {
        path += QStringLiteral("/write");
        query.addQueryItem(QStringLiteral("db"), settings.database);
    } else {
        path += QStringLiteral("/api/v2/write");
        query.addQueryItem(QStringLiteral("org"), settings.org);
        query.addQueryItem(QStringLiteral("bucket"), settings.bucket);
    }
    query.addQueryItem(QStringLiteral("precision"), QStringLiteral("s"));
    url.setPath(path);
    url.setQuery(query);
    return url;
}

} // namespace

std::optional<qint64> retryAfterMs(const QByteArray& value, const QDateTime& now)
{
    const QByteArray text = value.trimmed();
    bool isNumber = false;
    const qint64 seconds = text.toLongLong(&isNumber);
    if (isNumber)
        return seconds < 0 ? std::nullopt : std::optional<qint64>(seconds * 1000);
    QDateTime when =
        QLocale::c().toDateTime(QString::fromLatin1(text), QStringLiteral("ddd, dd MMM yyyy HH:mm:ss 'GMT'"));
    if (!when.isValid())
        return std::nullopt;
    when.setTimeSpec(Qt::UTC);
    return std::max<qint64>(0, now.msecsTo(when));
}

InfluxAnswer classifyAnswer(int status, const QString& reasonPhrase, const QByteArray& body,
                            const QString& transportError)
{
    InfluxAnswer answer;
    answer.firstLine = firstLineOf(body);
    if (status <= 0) {
        answer.reason = transportError;
        return answer;
    }
    answer.reason = reasonPhrase.isEmpty() ? QString::number(status)
                                           : QStringLiteral("%1 %2").arg(status).arg(reasonPhrase);
    using Kind = InfluxAnswer::Kind;
    if (status >= 200 && status < 300)
        answer.kind = Kind::Done;
    else if (status == 400)
        answer.kind = Kind::BadLines;
    else if (status == 401 || status == 403 || status == 404)
        answer.kind = Kind::Refused;
    else if (status == 413)
        answer.kind = Kind::TooLarge;
    else if (status == 429 || status == 503)
        answer.kind = Kind::Wait;
    else
        answer.kind = Kind::Failed;
    return answer;
}

InfluxRequest::InfluxRequest(const InfluxSettings& settings, int deadlineMs, QObject* parent)
    : QObject(parent), request_(writeUrl(settings)), gzip_(settings.gzip), deadlineMs_(deadlineMs),
      now_([] { return QDateTime::currentDateTimeUtc(); })
{
    request_.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("text/plain; charset=utf-8"));
    if (gzip_)
        request_.setRawHeader("Content-Encoding", "gzip");
    if (!settings.token.isEmpty())
        request_.setRawHeader("Authorization", "Token " + settings.token.toUtf8());
    else if (!settings.user.isEmpty())
        request_.setRawHeader("Authorization",
                              "Basic " +
                                  (settings.user + QLatin1Char(':') + settings.password).toUtf8().toBase64());
    if (!settings.cafile.isEmpty()) {
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.addCaCertificates(QSslCertificate::fromPath(settings.cafile));
        request_.setSslConfiguration(tls);
    }
    deadline_.setSingleShot(true);
    connect(&deadline_, &QTimer::timeout, this, [this] {
        timedOut_ = true;
        if (reply_)
            reply_->abort();
    });
}

InfluxRequest::~InfluxRequest()
{
    if (reply_) {
        reply_->disconnect(this);
        reply_->abort();
    }
}

QString InfluxRequest::target() const
{
    return request_.url().toString(QUrl::RemoveUserInfo | QUrl::RemoveQuery);
}

void InfluxRequest::post(const QByteArray& lines)
{
    timedOut_ = false;
    tooLong_ = false;
    reply_ = manager_.post(request_, gzip_ ? gzipped(lines) : lines);
    connect(reply_, &QNetworkReply::finished, this, &InfluxRequest::finish);
    connect(reply_, &QNetworkReply::downloadProgress, this, [this](qint64 received, qint64) {
        if (received <= MaxAnswerBytes || !reply_)
            return;
        tooLong_ = true;
        reply_->abort();
    });
    deadline_.start(deadlineMs_);
}

void InfluxRequest::finish()
{
    QNetworkReply* reply = reply_;
    if (!reply)
        return;
    reply_.clear();
    reply->deleteLater();
    deadline_.stop();
    const bool cut = timedOut_ || tooLong_;
    const int status = cut ? 0 : reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    QString transport = transportText(reply->error(), reply->errorString());
    if (timedOut_)
        transport = QStringLiteral("no answer within %1 s").arg(deadlineMs_ / 1000.0);
    else if (tooLong_)
        transport = QStringLiteral("an answer longer than %1 KiB").arg(MaxAnswerBytes / 1024);
    InfluxAnswer answer =
        classifyAnswer(status, reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString(),
                       cut ? QByteArray() : reply->read(MaxAnswerBytes), transport);
    if (answer.kind == InfluxAnswer::Kind::Wait)
        answer.retryAfterMs = retryAfterMs(reply->rawHeader("Retry-After"), now_());
    emit answered(answer);
}

} // namespace quorvel::service::influx
