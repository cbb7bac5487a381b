#pragma once

#include "service/outputs/influx/influxsettings.h"

#include <QByteArray>
#include <QDateTime>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <functional>
#include <optional>

class QNetworkReply;

namespace quorvel::service::influx {

// What a write's answer asks of the output.
struct InfluxAnswer {
    enum class Kind {
        Done,     // 2xx: the lines are in
        BadLines, // 400: at least one line refused
        Refused,  // 401, 403, 404: the credentials or the database are wrong
        TooLarge, // 413
        Wait,     // 429, 503: come back later
        Failed,   // any other 5xx, a time-out, refused, no such host, TLS
    };
    Kind kind = Kind::Failed;
    // "401 Unauthorized", "connection refused", "timed out": never a credential.
    QString reason;
    // The first line of the body the server answered, cut short.
    QString firstLine;
    // How long the server asked to wait (429, 503), when it said.
    std::optional<qint64> retryAfterMs;
};

// Retry-After as seconds or as an HTTP date, in milliseconds from now; nothing when unreadable.
[[nodiscard]] std::optional<qint64> retryAfterMs(const QByteArray& value, const QDateTime& now);
// The answer to an HTTP status (0: none came) and, without one, to the transport's error.
[[nodiscard]] InfluxAnswer classifyAnswer(int status, const QString& reasonPhrase, const QByteArray& body,
                                          const QString& transportError);

// One output's writes: the URL and headers its api needs, one POST at a time, each cut by a deadline that
// covers the whole exchange (a server that trickles its answer gets no longer than one that is silent).
class InfluxRequest final : public QObject {
    Q_OBJECT
public:
    // An answer says what it has to in a line or two; a longer one is cut, so that a server that answers
    // without end cannot fill the memory.
    static constexpr qint64 MaxAnswerBytes = 64 * 1024;

    // deadlineMs: from a write's start to its answer's last byte.
    InfluxRequest(const InfluxSettings& settings, int deadlineMs, QObject* parent = nullptr);
    ~InfluxRequest() override;

    // The write URL without its query, as the journal and the page may show it.
    [[nodiscard]] QString target() const;
    [[nodiscard]] bool busy() const { return !reply_.isNull(); }
    void setDeadline(int ms) { deadlineMs_ = ms; }
    // The clock that dates a Retry-After.
    void setNow(std::function<QDateTime()> now) { now_ = std::move(now); }

    // The lines (gzip-compressed when the settings say); answered() follows, on the event loop.
    void post(const QByteArray& lines);

signals:
    void answered(const quorvel::service::influx::InfluxAnswer& answer);

private:
    void finish();

    QNetworkAccessManager manager_;
    QNetworkRequest request_;
    bool gzip_ = false;
    QPointer<QNetworkReply> reply_;
    QTimer deadline_;
    bool timedOut_ = false;
    bool tooLong_ = false;
    int deadlineMs_;
    std::function<QDateTime()> now_;
};

} // namespace quorvel::service::influx
