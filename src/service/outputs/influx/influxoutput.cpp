#include "influxoutput.h"

#include "service/history/outbox.h"
#include "service/outputs/influx/influxrequest.h"
#include "service/outputs/influx/lineprotocol.h"

#include <QElapsedTimer>
#include <QLocale>
#include <QRandomGenerator>
#include <QTimer>

#include <algorithm>

namespace quorvel::service::influx {

using history::OutboxPosition;
using history::OutboxRow;

namespace {

QString grouped(qint64 count)
{
    return QLocale(QLocale::English).toString(count);
}

// "3 min 12 s": how long an outage lasted.
QString duration(qint64 seconds)
{
    const auto two = [](qint64 big, const char* bigUnit, qint64 small, const char* smallUnit) {
        QString text = QStringLiteral("%1 %2").arg(big).arg(QLatin1String(bigUnit));
        return small == 0 ? text : text + QStringLiteral(" %1 %2").arg(small).arg(QLatin1String(smallUnit));
    };
    if (seconds < 60)
        return QStringLiteral("%1 s").arg(std::max<qint64>(0, seconds));
    if (seconds < 3600)
        return two(seconds / 60, "min", seconds % 60, "s");
    if (seconds < 86400)
        return two(seconds / 3600, "h", seconds / 60 % 60, "min");
    return two(seconds / 86400, "d", seconds / 3600 % 24, "h");
}

// "3 h": an age, in its largest unit only.
QString age(qint64 seconds)
{
    if (seconds < 60)
        return QStringLiteral("%1 s").arg(std::max<qint64>(0, seconds));
    if (seconds < 3600)
        return QStringLiteral("%1 min").arg(seconds / 60);
    if (seconds < 86400)
        return QStringLiteral("%1 h").arg(seconds / 3600);
    return QStringLiteral("%1 d").arg(seconds / 86400);
}

QString utcText(qint64 time)
{
    return QDateTime::fromSecsSinceEpoch(time, Qt::UTC).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

} // namespace

class InfluxOutput::Private {
public:
    enum class Trouble { None, Down, Stopped };

    Private(InfluxOutput& q, history::Outbox& outbox, QString host)
        : q_(q), outbox_(outbox), shape_{q.settings_.measurement, std::move(host), q.settings_.tags},
          request_(q.settings_, Timing{}.deadlineMs), batch_(std::max(1, q.settings_.batch)),
          clock_([] { return QDateTime::currentDateTimeUtc(); }),
          jitter_([] { return 0.8 + QRandomGenerator::global()->bounded(0.4); })
    {
        wait_.setSingleShot(true);
        QObject::connect(&wait_, &QTimer::timeout, &q_, [this] { next(); });
        QObject::connect(&request_, &InfluxRequest::answered, &q_,
                         [this](const InfluxAnswer& answer) { onAnswer(answer); });
        QObject::connect(&outbox_, &history::Outbox::samplesWritten, &q_, [this](qint64 rows) {
            status().backlog += rows;
            writtenSinceRead_ += rows;
            next();
            publish();
        });
        QObject::connect(
            &outbox_, &history::Outbox::samplesLost, &q_,
            [this](const QString& output, qint64 rows, qint64 from, qint64 to, OutboxPosition resumeAfter) {
                if (output == name())
                    onLost(rows, from, to, resumeAfter);
            });
        sinceStart_.start();
        status().name = name();
        status().target = request_.target();
        told_ = status();
    }

    void start()
    {
        cursor_ = outbox_.cursor(name());
        status().backlog = outbox_.countUnsent(cursor_);
        next();
        publish();
    }

    // Sends the next batch unless one is out or a wait runs.
    void next()
    {
        if (request_.busy() || wait_.isActive())
            return;
        if (pending_.isEmpty()) {
            if (readShort_ && writtenSinceRead_ == 0)
                return;
            pending_ = outbox_.unsent(cursor_, batch_);
            readShort_ = pending_.size() < batch_;
            writtenSinceRead_ = 0;
            segments_.clear();
            if (pending_.isEmpty()) {
                status().backlog = 0;
                return;
            }
        }
        // Catching up, each request waits for the one before to have had its share of backfill_rate.
        if (lastLines_ > 0) {
            const qint64 due =
                lastStartMs_ + qint64(lastLines_) * 1000 / std::max(1, q_.settings_.backfillRate);
            const qint64 left = due - sinceStart_.elapsed();
            if (left > 0) {
                wait_.start(int(left));
                return;
            }
        }
        inFlight_ =
            segments_.isEmpty() ? int(std::min<qsizetype>(batch_, pending_.size())) : segments_.last();
        QByteArray body;
        for (qsizetype i = 0; i < inFlight_; ++i)
            body += sampleLine(shape_, pending_.at(i).sample);
        lastStartMs_ = sinceStart_.elapsed();
        lastLines_ = inFlight_;
        requestStarted_ = clock_();
        request_.post(body);
    }

    void onAnswer(const InfluxAnswer& answer)
    {
        const int lines = std::exchange(inFlight_, 0);
        using Kind = InfluxAnswer::Kind;
        switch (answer.kind) {
        case Kind::Done:
            recovered();
            failures_ = 0;
            status().up = true;
            acknowledge(lines, true);
            break;
        case Kind::BadLines:
            if (lines == 1) {
                if (!toldBadLine_)
                    tell(QStringLiteral(
                             "the database refused a line, which is dropped (so is any later one it "
                             "refuses): %1")
                             .arg(answer.firstLine.isEmpty() ? answer.reason : answer.firstLine));
                toldBadLine_ = true;
                acknowledge(1, false);
            } else {
                split(lines);
            }
            break;
        case Kind::TooLarge:
            if (!toldTooLarge_)
                tell(QStringLiteral("the database found %1 lines too large a request: %2 at most from now on")
                         .arg(grouped(lines))
                         .arg(grouped(std::max(1, lines / 2))));
            toldTooLarge_ = true;
            batch_ = std::max(1, std::min(batch_, lines / 2));
            if (lines == 1)
                acknowledge(1, false);
            else if (!segments_.isEmpty())
                split(lines);
            break;
        case Kind::Refused:
            stopped(answer);
            wait_.start(timing_.stoppedRetryMs);
            break;
        case Kind::Wait:
        case Kind::Failed:
            down(answer.reason);
            // A server's wish is kept up to the longest backoff, never longer: a typo there must not silence
            // the output for days.
            wait_.start(
                int(std::min<qint64>(answer.retryAfterMs.value_or(backoff()), timing_.backoffLastMs)));
            break;
        }
        next();
        publish();
    }

    // The front lines are in (or dropped): the cursor moves past them and is kept.
    void acknowledge(int lines, bool sent)
    {
        const OutboxPosition last = pending_.at(lines - 1).position;
        pending_.remove(0, lines);
        if (!segments_.isEmpty())
            segments_.removeLast();
        (sent ? status().sent : status().dropped) += quint64(lines);
        status().backlog = std::max<qint64>(0, status().backlog - lines);
        cursor_ = std::max(cursor_, last);
        outbox_.saveCursor(name(), cursor_);
        dropBehindCursor();
        if (pending_.isEmpty() && readShort_)
            status().backlog = writtenSinceRead_;
    }

    // A request of several lines had a bad one (or was too large): its halves go one after the other.
    void split(int lines)
    {
        if (!segments_.isEmpty())
            segments_.removeLast();
        segments_.append(lines - lines / 2);
        segments_.append(lines / 2);
    }

    void onLost(qint64 rows, qint64 from, qint64 to, OutboxPosition resumeAfter)
    {
        status().lost += quint64(rows);
        status().backlog = std::max<qint64>(0, status().backlog - rows);
        cursor_ = std::max(cursor_, resumeAfter);
        if (inFlight_ == 0)
            dropBehindCursor();
        QString text = QStringLiteral("%1 lines were never sent and are gone from the store (%2 to %3 UTC)")
                           .arg(grouped(rows), utcText(from), utcText(to));
        if (!keepSamples_.isEmpty())
            text += QStringLiteral(": keep_samples is %1").arg(keepSamples_);
        tell(text);
        next();
        publish();
    }

    // Rows the store folded away while they were in hand are not sent.
    void dropBehindCursor()
    {
        qsizetype behind = 0;
        while (behind < pending_.size() && pending_.at(behind).position <= cursor_)
            ++behind;
        if (behind == 0)
            return;
        pending_.remove(0, behind);
        segments_.clear();
    }

    void down(const QString& reason)
    {
        ++failures_;
        status().up = false;
        if (trouble_ == Trouble::None) {
            troubleSince_ = requestStarted_;
            tell(QStringLiteral("cannot write to %1: %2; the samples wait in the store")
                     .arg(request_.target(), reason));
        }
        trouble_ = Trouble::Down;
        troubleReason_ = reason;
    }

    void stopped(const InfluxAnswer& answer)
    {
        status().up = false;
        const QString reason = answer.firstLine.isEmpty()
                                   ? answer.reason
                                   : QStringLiteral("%1: %2").arg(answer.reason, answer.firstLine);
        if (trouble_ != Trouble::Stopped)
            tell(QStringLiteral(
                     "%1 refused the lines (%2); tried again every %3, the samples wait in the store")
                     .arg(request_.target(), reason, duration(timing_.stoppedRetryMs / 1000)));
        if (trouble_ == Trouble::None)
            troubleSince_ = requestStarted_;
        trouble_ = Trouble::Stopped;
        troubleReason_ = reason;
    }

    void recovered()
    {
        if (trouble_ == Trouble::None)
            return;
        tell(QStringLiteral("written again after %1: %2 lines waited")
                 .arg(duration(troubleSince_.secsTo(clock_())), grouped(status().backlog)));
        trouble_ = Trouble::None;
    }

    [[nodiscard]] int backoff() const
    {
        qint64 ms = timing_.backoffFirstMs;
        for (int i = 1; i < failures_ && ms < timing_.backoffLastMs; ++i)
            ms *= 2;
        return int(double(std::min<qint64>(ms, timing_.backoffLastMs)) * jitter_());
    }

    void publish()
    {
        OutputLink& link = status();
        link.oldestUnsent =
            pending_.isEmpty() ? std::nullopt : std::optional<qint64>(pending_.first().position.time);
        const QString wait = QStringLiteral("%1 lines wait").arg(grouped(link.backlog));
        switch (trouble_) {
        case Trouble::Stopped:
            link.state = QStringLiteral("stopped: %1").arg(troubleReason_);
            break;
        case Trouble::Down:
            link.state =
                QStringLiteral("down since %1 (%2): %3")
                    .arg(troubleSince_.toLocalTime().toString(QStringLiteral("HH:mm")), troubleReason_, wait);
            break;
        case Trouble::None:
            if (readShort_ || !link.oldestUnsent)
                link.state = QStringLiteral("caught up");
            else
                link.state =
                    QStringLiteral("catching up: %1 lines, the oldest from %2 ago")
                        .arg(grouped(link.backlog), age(clock_().toSecsSinceEpoch() - *link.oldestUnsent));
            break;
        }
        // The counts change before this, so the comparison is with what was told last.
        if (link == told_)
            return;
        told_ = link;
        emit q_.statusChanged();
    }

    void tell(const QString& text) { emit q_.notice(QStringLiteral("influx %1: %2").arg(name(), text)); }
    [[nodiscard]] const QString& name() const { return q_.settings_.name; }
    OutputLink& status() { return q_.status_; }

    InfluxOutput& q_;
    history::Outbox& outbox_;
    LineShape shape_;
    InfluxRequest request_;
    int batch_;
    std::function<QDateTime()> clock_;
    std::function<double()> jitter_;
    Timing timing_;
    QString keepSamples_;
    QTimer wait_;
    QElapsedTimer sinceStart_;
    qint64 lastStartMs_ = 0;
    int lastLines_ = 0;

    OutboxPosition cursor_;
    // The batch in hand, oldest first: all that is held in memory.
    QList<OutboxRow> pending_;
    // While a 400 is narrowed down: the sizes of the front parts still to send, the next one last.
    QList<int> segments_;
    int inFlight_ = 0;
    bool readShort_ = false;
    qint64 writtenSinceRead_ = 0;
    int failures_ = 0;
    Trouble trouble_ = Trouble::None;
    // An outage began as the first request it failed was sent, not as its deadline ran out.
    QDateTime requestStarted_;
    QDateTime troubleSince_;
    QString troubleReason_;
    bool toldBadLine_ = false;
    bool toldTooLarge_ = false;
    OutputLink told_;
};

InfluxOutput::InfluxOutput(InfluxSettings settings, QString host, history::Outbox& outbox, QObject* parent)
    : QObject(parent), settings_(std::move(settings)),
      d_(std::make_unique<Private>(*this, outbox, std::move(host)))
{
}

InfluxOutput::~InfluxOutput() = default;

void InfluxOutput::start()
{
    d_->start();
}

void InfluxOutput::setClock(std::function<QDateTime()> clock)
{
    d_->clock_ = clock;
    d_->request_.setNow(std::move(clock));
}

void InfluxOutput::setTiming(const Timing& timing)
{
    d_->timing_ = timing;
    d_->request_.setDeadline(timing.deadlineMs);
}

void InfluxOutput::setJitter(std::function<double()> factor)
{
    d_->jitter_ = std::move(factor);
}

void InfluxOutput::setKeepSamples(const QString& text)
{
    d_->keepSamples_ = text;
}

} // namespace quorvel::service::influx
