#include "service/outputs/web/statusjson.h"

#include "service/history/historystore.h"
#include "service/outputs/outputnames.h"
#include "service/outputs/web/historyjson.h"
#include "service/outputs/web/statustexts.h"
#include "service/state/statestore.h"

#include "acquisition/readoutcome.h"
#include "runtime/conversions.h"
#include "runtime/localeformats.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace quorvel::service::statuspage {

namespace {

QJsonValue timeOrNull(const QDateTime& when)
{
    return when.isValid() ? QJsonValue(runtime::isoWithOffset(when)) : QJsonValue(QJsonValue::Null);
}

QJsonValue limitOrNull(const std::optional<double>& limit)
{
    return limit ? QJsonValue(*limit) : QJsonValue(QJsonValue::Null);
}

// A reading as the log and the page say it: 4.1, not 4.099999904632568.
QJsonValue readingOrNull(const std::optional<float>& reading)
{
    return reading ? QJsonValue(runtime::singleAsDouble(*reading)) : QJsonValue(QJsonValue::Null);
}

// What the page's script shows of a source, as the page itself shows it; the sensors in the order of the
// source's.
QJsonObject pageTexts(const SourceState& source, const QDateTime& now)
{
    QJsonArray sensors;
    for (const SensorState& sensor : source.sensors) {
        const RowLook look = rowLook(sensor);
        sensors.append(QJsonObject{
            {QStringLiteral("temperature"), visible(temperatureCell(sensor))},
            {QStringLiteral("age"), visible(ageText(sensor.lastSuccess, now))},
            {QStringLiteral("result"), visible(resultText(sensor))},
            {QStringLiteral("failures"), QString::number(sensor.failuresInRow)},
            {QStringLiteral("facts"), visible(factsText(sensor))},
            {QStringLiteral("alarm"), visible(alarmText(sensor))},
            {QStringLiteral("row_class"), look.row},
            {QStringLiteral("age_class"), look.age},
            {QStringLiteral("result_class"), look.result},
            {QStringLiteral("stale_mark"), look.staleMark},
            {QStringLiteral("alarm_mark"), look.alarmMark},
        });
    }
    return QJsonObject{
        {QStringLiteral("reachable"), visible(reachableText(source))},
        {QStringLiteral("reachable_class"), reachableClass(source)},
        {QStringLiteral("log_counts"), visible(logCountsText(source))},
        {QStringLiteral("health"), visible(healthText(source, now))},
        {QStringLiteral("ghosts"), visible(ghostsText(source))},
        {QStringLiteral("down"), visible(downText(source, now))},
        {QStringLiteral("sensors"), sensors},
    };
}

// A source's bus health as data; devices and ghosts null until the bus was first listed.
QJsonObject healthJson(const BusHealth& health, const QDateTime& now)
{
    const auto listed = [&](const QStringList& ids) {
        return health.searched.isValid() ? QJsonValue(QJsonArray::fromStringList(ids))
                                         : QJsonValue(QJsonValue::Null);
    };
    const std::optional<double> ratio = health.failures.ratio(now);
    QJsonValue last = QJsonValue::Null;
    if (const std::optional<RecoveryAttempt>& attempt = health.lastRecovery)
        last = QJsonObject{
            {QStringLiteral("time"), timeOrNull(attempt->when)},
            {QStringLiteral("step"), attempt->step},
            {QStringLiteral("result"),
             attempt->result.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(attempt->result)},
            {QStringLiteral("detail"), attempt->detail},
        };
    return QJsonObject{
        {QStringLiteral("devices"), listed(health.devices)},
        {QStringLiteral("ghosts"), listed(health.ghosts)},
        {QStringLiteral("failure_ratio"), ratio ? QJsonValue(*ratio) : QJsonValue(QJsonValue::Null)},
        {QStringLiteral("down_since"), timeOrNull(health.downSince)},
        {QStringLiteral("last_recovery"), last},
    };
}

// The page's head: its time and the list of alarms.
QJsonObject pageHead(const StateStore& store, const QDateTime& now)
{
    QJsonArray alarms;
    for (const AlarmLine& line : alarmLines(store))
        alarms.append(QJsonObject{
            {QStringLiteral("anchor"), visible(line.anchor)},
            {QStringLiteral("sensor"), visible(line.sensor)},
            {QStringLiteral("alarm"), visible(line.alarm)},
        });
    return QJsonObject{{QStringLiteral("shown"), visible(shownText(store, now))},
                       {QStringLiteral("alarms"), alarms}};
}

} // namespace

QByteArray readingsJson(const StateStore& store, const QDateTime& now, const history::HistoryStore* history)
{
    QJsonArray sources;
    for (const auto& source : store.sources()) {
        QJsonArray sensors;
        for (const SensorState& sensor : source->sensors) {
            QJsonObject fields{
                {QStringLiteral("slot"), sensor.slot + 1},
                {QStringLiteral("rom"), sensor.romCode},
                {QStringLiteral("id"), sensor.id},
                {QStringLiteral("name"), sensor.name},
                {QStringLiteral("temperature"), readingOrNull(sensor.goodValue)},
                {QStringLiteral("result"),
                 sensor.lastOutcome ? QJsonValue(acquisition::readOutcomeLabel(*sensor.lastOutcome))
                                    : QJsonValue(QJsonValue::Null)},
                {QStringLiteral("reason"), sensor.lastReason},
                {QLatin1String(names::LastSuccess), timeOrNull(sensor.lastSuccess)},
                {QLatin1String(names::ConsecutiveFailures), double(sensor.failuresInRow)},
                {QStringLiteral("stale"), sensor.stale},
                {QLatin1String(names::RawTemperature), readingOrNull(sensor.goodRaw)},
                {QLatin1String(names::Alarm), alarmLabel(sensor.alarm.state())},
                {QLatin1String(names::AlarmSince), timeOrNull(sensor.alarm.since())},
                {QLatin1String(names::LowLimit), limitOrNull(sensor.alarm.settings().low)},
                {QLatin1String(names::HighLimit), limitOrNull(sensor.alarm.settings().high)},
                {QStringLiteral("power"),
                 sensor.facts.parasite ? QJsonValue(powerLabel(sensor.facts)) : QJsonValue(QJsonValue::Null)},
                {QStringLiteral("resolution"), sensor.facts.resolution ? QJsonValue(*sensor.facts.resolution)
                                                                       : QJsonValue(QJsonValue::Null)},
            };
            if (const auto today = history ? history->today(sensor.romCode) : std::nullopt)
                fields.insert(QStringLiteral("today"),
                              QJsonObject{{QStringLiteral("min"), milliValue(today->min)},
                                          {QStringLiteral("max"), milliValue(today->max)},
                                          {QStringLiteral("mean"), milliValue(today->mean)}});
            sensors.append(fields);
        }
        sources.append(QJsonObject{
            {QStringLiteral("name"), source->name},
            {QStringLiteral("kind"), source->kind},
            {QStringLiteral("address"), source->address},
            {QStringLiteral("reachable"), source->reachable()},
            {QStringLiteral("unreachable_since"), timeOrNull(source->reachability.since())},
            {QStringLiteral("reason"),
             source->reachable() ? QJsonValue(QJsonValue::Null) : QJsonValue(source->reachability.reason())},
            {QStringLiteral("log"),
             QJsonObject{{QStringLiteral("path"), source->logPath.isEmpty() ? QJsonValue(QJsonValue::Null)
                                                                            : QJsonValue(source->logPath)},
                         {QStringLiteral("records_written"), double(source->recordsWritten)},
                         {QStringLiteral("records_lost"), double(source->recordsLost)},
                         {QStringLiteral("notice"), source->logNotice}}},
            {QStringLiteral("health"), healthJson(source->health, now)},
            {QStringLiteral("sensors"), sensors},
            {QStringLiteral("page"), pageTexts(*source, now)},
        });
    }
    const QJsonObject root{
        {QStringLiteral("version"), ReadingsSchemaVersion},
        {QStringLiteral("generated"), runtime::isoWithOffset(now)},
        {QStringLiteral("stale_after_seconds"), store.staleAfterSeconds()},
        {QStringLiteral("sources"), sources},
        {QStringLiteral("page"), pageHead(store, now)},
    };
    return QJsonDocument(root).toJson(QJsonDocument::Compact);
}

} // namespace quorvel::service::statuspage
