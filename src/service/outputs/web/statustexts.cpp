#include "service/outputs/web/statustexts.h"

#include "service/state/outputlink.h"
#include "service/state/sensorstate.h"
#include "service/state/statestore.h"

#include "acquisition/readoutcome.h"
#include "runtime/conversions.h"
#include "runtime/localeformats.h"

#include <QLocale>

#include <algorithm>
#include <cmath>

namespace quorvel::service::statuspage {

bool actsUnseen(char32_t c)
{
    return c < 0x20 || (c >= 0x7f && c <= 0x9f) || c == 0x061c || c == 0x200e || c == 0x200f ||
           (c >= 0x202a && c <= 0x202e) || (c >= 0x2066 && c <= 0x2069);
}

QString visible(QString text)
{
    for (QChar& c : text)
        if (actsUnseen(c.unicode()))
            c = QChar::ReplacementCharacter;
    return text;
}

QString escapeHtml(const QString& text)
{
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        switch (c.unicode()) {
        case '&':
            out += QLatin1String("&amp;");
            break;
        case '<':
            out += QLatin1String("&lt;");
            break;
        case '>':
            out += QLatin1String("&gt;");
            break;
        case '"':
            out += QLatin1String("&quot;");
            break;
        case '\'':
            out += QLatin1String("&#39;");
            break;
        default:
            out += actsUnseen(c.unicode()) ? QChar(QChar::ReplacementCharacter) : c;
        }
    }
    return out;
}

QString ageText(const QDateTime& then, const QDateTime& now)
{
    if (!then.isValid())
        return QStringLiteral("never");
    const qint64 s = std::max<qint64>(0, then.secsTo(now));
    if (s < 120)
        return QStringLiteral("%1 s ago").arg(s);
    if (s < 7200)
        return QStringLiteral("%1 min ago").arg(std::llround(double(s) / 60));
    if (s < 172800)
        return QStringLiteral("%1 h ago").arg(std::llround(double(s) / 3600));
    return QStringLiteral("%1 d ago").arg(std::llround(double(s) / 86400));
}

QString valueText(float value)
{
    return runtime::singleToText(value, QLocale::c());
}

QString temperatureCell(const SensorState& sensor)
{
    if (sensor.lastOutcome == acquisition::ReadOutcome::PowerOnReset)
        return QStringLiteral("power-on reset");
    return sensor.goodValue ? valueText(*sensor.goodValue) + QStringLiteral(" \u00b0C")
                            : QStringLiteral("\u2014");
}

QString localTime(const QDateTime& when)
{
    return when.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

QString alarmText(const SensorState& sensor)
{
    return alarmLabel(sensor.alarm.state()) + QStringLiteral(" since ") + localTime(sensor.alarm.since());
}

QString resultText(const SensorState& sensor)
{
    if (!sensor.lastOutcome)
        return QStringLiteral("not read yet");
    const QString label = acquisition::readOutcomeLabel(*sensor.lastOutcome);
    return sensor.lastReason.isEmpty() ? label : label + QStringLiteral(": ") + sensor.lastReason;
}

QString powerLabel(const acquisition::SensorFacts& facts)
{
    if (!facts.parasite)
        return {};
    return *facts.parasite ? QStringLiteral("parasite") : QStringLiteral("external");
}

QString factsText(const SensorState& sensor)
{
    QStringList parts;
    if (const QString power = powerLabel(sensor.facts); !power.isEmpty())
        parts << power + QStringLiteral(" power");
    if (sensor.facts.resolution)
        parts << QStringLiteral("%1 bits").arg(*sensor.facts.resolution);
    // The row names the sensor already.
    if (QString problem = sensor.facts.problem; !problem.isEmpty())
        parts << (problem.startsWith(sensor.id + u' ') ? problem.sliced(sensor.id.size() + 1) : problem);
    return parts.join(QStringLiteral(", "));
}

QString shownText(const StateStore& store, const QDateTime& now)
{
    return QStringLiteral(
               "Shown %1, %2 as every time on this page and in the chart; a sensor with no good read "
               "for %3 s is stale.")
        .arg(localTime(now), runtime::localZoneText(now))
        .arg(store.staleAfterSeconds());
}

RowLook rowLook(const SensorState& sensor)
{
    const AlarmState alarm = sensor.alarm.state();
    return RowLook{
        alarm == AlarmState::Ok ? QString() : QStringLiteral("alarm"),
        sensor.stale ? QStringLiteral("num bad") : QStringLiteral("num"),
        sensor.lastOutcome == acquisition::ReadOutcome::Ok ? QStringLiteral("ok") : QStringLiteral("warn"),
        sensor.stale,
        alarm != AlarmState::Ok && alarm != AlarmState::Stale,
    };
}

QList<AlarmLine> alarmLines(const StateStore& store)
{
    const bool one = store.sources().size() == 1;
    QList<AlarmLine> lines;
    for (const auto& source : store.sources())
        for (const SensorState& sensor : source->sensors)
            if (sensor.alarm.state() != AlarmState::Ok)
                lines.append(
                    {QStringLiteral("#sensor-%1-%2").arg(source->name, QString::number(sensor.slot + 1)),
                     one ? sensor.displayName() : source->name + u' ' + sensor.displayName(),
                     alarmText(sensor)});
    return lines;
}

QString reachableClass(const SourceState& source)
{
    return source.reachable() ? QStringLiteral("ok") : QStringLiteral("bad");
}

QString reachableText(const SourceState& source)
{
    if (source.reachable())
        return QStringLiteral("answers");
    return QStringLiteral("does not answer since %1: %2")
        .arg(localTime(source.reachability.since()), source.reachability.reason());
}

QString healthText(const SourceState& source, const QDateTime& now)
{
    const BusHealth& health = source.health;
    QStringList parts;
    if (health.searched.isValid())
        parts << runtime::countText(health.devices.size(), "device") + QStringLiteral(" found");
    if (const std::optional<double> ratio = health.failures.ratio(now))
        parts << QStringLiteral("%1 % of reads failed in the last 10 min")
                     .arg(QString::number(std::round(*ratio * 1000) / 10));
    else
        parts << QStringLiteral("no read in the last 10 min");
    if (const std::optional<RecoveryAttempt>& last = health.lastRecovery) {
        QString text = QStringLiteral("last recovery %1: %2, %3")
                           .arg(localTime(last->when), last->step,
                                last->result.isEmpty() ? QStringLiteral("under way")
                                                       : QString(last->result).replace(u'_', u' '));
        if (!last->detail.isEmpty())
            text += QStringLiteral(" (%1)").arg(last->detail);
        parts << text;
    }
    return parts.join(QStringLiteral("; "));
}

QString ghostsText(const SourceState& source)
{
    return ghostsNotice(source.health.ghosts);
}

QString downText(const SourceState& source, const QDateTime& now)
{
    const QDateTime& since = source.health.downSince;
    if (!since.isValid())
        return {};
    return QStringLiteral("down since %1 (%2)")
        .arg(localTime(since), ageText(since, now).chopped(4)); // "12 min", without " ago"
}

QString logCountsText(const SourceState& source)
{
    return QStringLiteral("%1 written, %2 lost")
        .arg(runtime::countText(qint64(source.recordsWritten), "record"),
             QString::number(source.recordsLost));
}

QString outputText(const OutputLink& output)
{
    // The state's words are the output's own, its backlog and since when included.
    return visible(QStringLiteral("influx %1: %2").arg(output.name, output.state));
}

} // namespace quorvel::service::statuspage
