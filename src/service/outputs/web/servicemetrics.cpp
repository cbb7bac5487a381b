#include "service/outputs/web/servicemetrics.h"

#include "service/outputs/outputnames.h"
#include "service/outputs/web/statustexts.h"
#include "service/state/statestore.h"

#include "runtime/conversions.h"

#include <QDateTime>
#include <QLocale>

#include <optional>

namespace quorvel::service {

namespace {

QByteArray family(const names::MetricFamily& family)
{
    return QByteArray("# HELP ") + family.name + ' ' + family.help + "\n# TYPE " + family.name + ' ' +
           family.type + '\n';
}

// A label value as the text format wants it: UTF-8 with backslash and double quote escaped, and what
// would act unseen in a name, line feeds too, shown as U+FFFD as on the page.
QByteArray labelValue(const QString& text)
{
    QByteArray out;
    for (const char c : statuspage::visible(text).toUtf8()) {
        if (c == '\\' || c == '"')
            out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out;
}

} // namespace

ServiceMetrics::ServiceMetrics(const StateStore& store, QString version)
    : store_(store), version_(std::move(version))
{
}

QByteArray ServiceMetrics::exposition() const
{
    return exposition(QDateTime::currentSecsSinceEpoch());
}

QByteArray ServiceMetrics::exposition(qint64 now) const
{
    QByteArray out;
    out.reserve(4096 + 600 * store_.sensorCount());
    const auto sourceLabel = [](const QString& source) {
        return names::SourceLabel + QByteArray("=\"") + labelValue(source) + '"';
    };
    const auto labels = [&](const SensorState& sensor) {
        return sourceLabel(sensor.source) + ",sensor=\"" + QByteArray::number(sensor.slot + 1) + "\",rom=\"" +
               sensor.romCode.toLatin1() + "\",name=\"" + labelValue(sensor.name) + '"';
    };
    // A family with one sample line per sensor of every source, where sample() has one.
    const auto perSensor = [&](const names::MetricFamily& metric, const auto& sample) {
        out += family(metric);
        for (const auto& source : store_.sources())
            for (const SensorState& sensor : source->sensors)
                if (const std::optional<QByteArray> value = sample(sensor))
                    out += metric.name + ('{' + labels(sensor)) + "} " + *value + '\n';
    };
    // A family with a sample per sensor and value of one more label: each value with its machine label.
    const auto perSensorAndLabel = [&](const names::MetricFamily& metric, const char* key, const auto& values,
                                       const auto& sample) {
        out += family(metric);
        for (const auto& source : store_.sources())
            for (const SensorState& sensor : source->sensors)
                for (const auto& [value, label] : values)
                    out += metric.name + ('{' + labels(sensor)) + ',' + key + "=\"" +
                           QByteArray(label.data(), qsizetype(label.size())) + "\"} " +
                           sample(sensor, value) + '\n';
    };
    // A family of one sample without labels.
    const auto single = [&](const names::MetricFamily& metric, const QByteArray& value) {
        out += family(metric) + metric.name + ' ' + value + '\n';
    };
    // A family with one sample per source.
    const auto perSource = [&](const names::MetricFamily& metric, const auto& sample) {
        out += family(metric);
        for (const auto& source : store_.sources())
            out += metric.name + ('{' + sourceLabel(source->name)) + "} " + sample(*source) + '\n';
    };

    perSensor(names::SensorTemperature, [](const SensorState& sensor) -> std::optional<QByteArray> {
        if (!sensor.recorded)
            return std::nullopt;
        return runtime::singleToText(*sensor.recorded, QLocale::c()).toLatin1();
    });
    perSensor(names::SensorLastSuccess, [](const SensorState& sensor) -> std::optional<QByteArray> {
        if (!sensor.lastSuccess.isValid())
            return std::nullopt;
        return QByteArray::number(double(sensor.lastSuccess.toMSecsSinceEpoch()) / 1000.0, 'f', 3);
    });
    perSensor(names::SensorFailures, [](const SensorState& sensor) -> std::optional<QByteArray> {
        return QByteArray::number(sensor.failuresInRow);
    });

    perSensorAndLabel(names::SensorReads, "result", acquisition::ReadOutcomeLabels,
                      [](const SensorState& sensor, acquisition::ReadOutcome outcome) {
                          return QByteArray::number(sensor.reads[std::size_t(outcome)]);
                      });
    perSensorAndLabel(names::SensorAlarm, "state", AlarmStateLabels,
                      [](const SensorState& sensor, AlarmState state) {
                          return QByteArray(sensor.alarm.state() == state ? "1" : "0");
                      });
    out += family(names::SensorInfo);
    for (const auto& source : store_.sources())
        for (const SensorState& sensor : source->sensors)
            out += names::SensorInfo.name + ('{' + sourceLabel(source->name)) + ",rom=\"" +
                   sensor.romCode.toLatin1() + "\",id=\"" + labelValue(sensor.id) + "\",power=\"" +
                   statuspage::powerLabel(sensor.facts).toLatin1() + "\",resolution=\"" +
                   (sensor.facts.resolution ? QByteArray::number(*sensor.facts.resolution) : QByteArray()) +
                   "\"} 1\n";

    perSource(names::SourceReachable,
              [](const SourceState& source) { return QByteArray(source.reachable() ? "1" : "0"); });
    perSource(names::Sweeps, [](const SourceState& source) { return QByteArray::number(source.sweeps); });
    perSource(names::SweepOverruns,
              [](const SourceState& source) { return QByteArray::number(source.sweepOverruns); });
    out += family(names::SourceInfo);
    for (const auto& source : store_.sources())
        out += names::SourceInfo.name + ('{' + sourceLabel(source->name)) + ",kind=\"" +
               labelValue(source->kind) + "\",bulk_conversion=\"" +
               (source->bulkConversion ? (*source->bulkConversion ? "on" : "off") : "") + "\"} 1\n";
    // The bus's health: only what is known, so that a dashboard tells "never listed" from "none found".
    const QDateTime at = QDateTime::fromSecsSinceEpoch(now);
    out += family(names::SourceFailureRatio);
    for (const auto& source : store_.sources())
        if (const std::optional<double> ratio = source->health.failures.ratio(at))
            out += names::SourceFailureRatio.name + ('{' + sourceLabel(source->name)) + "} " +
                   QByteArray::number(*ratio, 'g', 6) + '\n';
    out += family(names::SourceRecoveries);
    for (const auto& source : store_.sources())
        for (const auto& [key, count] : source->health.recoveries)
            out += names::SourceRecoveries.name + ('{' + sourceLabel(source->name)) + ",step=\"" +
                   labelValue(key.first) + "\",result=\"" + labelValue(key.second) + "\"} " +
                   QByteArray::number(count) + '\n';
    const auto perListedSource = [&](const names::MetricFamily& metric, QStringList BusHealth::*devices) {
        out += family(metric);
        for (const auto& source : store_.sources())
            if (source->health.searched.isValid())
                out += metric.name + ('{' + sourceLabel(source->name)) + "} " +
                       QByteArray::number((source->health.*devices).size()) + '\n';
    };
    perListedSource(names::SourceDevices, &BusHealth::devices);
    perListedSource(names::SourceGhosts, &BusHealth::ghosts);
    perSource(names::LogRecords,
              [](const SourceState& source) { return QByteArray::number(source.recordsWritten); });
    perSource(names::LogWriteErrors,
              [](const SourceState& source) { return QByteArray::number(source.recordsLost); });
    perSource(names::LogStalled, [](const SourceState& source) {
        return QByteArray(source.logStalledSince.isValid() ? "1" : "0");
    });
    out += family(names::BuildInfo) + names::BuildInfo.name + "{version=\"" + version_.toLatin1() + "\"} 1\n";
    if (const StateStore::MqttLink& mqtt = store_.mqtt(); mqtt.enabled) {
        single(names::MqttConnected, mqtt.connected ? "1" : "0");
        single(names::MqttPublished, QByteArray::number(mqtt.published));
        single(names::MqttConnectionFailures, QByteArray::number(mqtt.connectionFailures));
    }
    // Only where outputs are configured, as MQTT's only where it publishes.
    const auto outputLabel = [](const OutputLink& output) {
        return names::OutputLabel + QByteArray("=\"") + labelValue(output.name) + '"';
    };
    const auto perOutput = [&](const names::MetricFamily& metric, const auto& sample) {
        if (store_.outputs().isEmpty())
            return;
        out += family(metric);
        for (const OutputLink& output : store_.outputs())
            for (const auto& [label, value] : sample(output))
                out += metric.name + ('{' + outputLabel(output)) + label + "} " + QByteArray::number(value) +
                       '\n';
    };
    using Samples = QList<std::pair<QByteArray, qint64>>;
    perOutput(names::OutputLines, [](const OutputLink& output) {
        return Samples{{",result=\"sent\"", qint64(output.sent)},
                       {",result=\"dropped\"", qint64(output.dropped)},
                       {",result=\"lost\"", qint64(output.lost)}};
    });
    perOutput(names::OutputBacklog, [](const OutputLink& output) { return Samples{{{}, output.backlog}}; });
    perOutput(names::OutputOldestUnsent, [now](const OutputLink& output) {
        return Samples{{{}, output.oldestUnsent ? std::max<qint64>(0, now - *output.oldestUnsent) : 0}};
    });
    perOutput(names::OutputUp, [](const OutputLink& output) { return Samples{{{}, output.up ? 1 : 0}}; });
    return out;
}

} // namespace quorvel::service
