#include "service/outputs/servicemetrics.h"

#include "service/state/statestore.h"

#include "runtime/conversions.h"

#include <QLocale>

#include <optional>

namespace quorvel::service {

namespace {

QByteArray family(const char* name, const char* type, const char* help)
{
    return QByteArray("# HELP ") + name + ' ' + help + "\n# TYPE " + name + ' ' + type + '\n';
}

// A label value as the text format wants it: UTF-8 with backslash, double quote and line feed escaped.
QByteArray labelValue(const QString& text)
{
    QByteArray out;
    for (const char c : text.toUtf8()) {
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
    QByteArray out;
    out.reserve(4096 + 600 * store_.sensorCount());
    const auto labels = [](const SensorState& sensor) {
        return QByteArray("sensor=\"") + QByteArray::number(sensor.slot + 1) + "\",rom=\"" +
               sensor.romCode.toLatin1() + "\",name=\"" + labelValue(sensor.name) + '"';
    };
    // One sample line per sensor of every source, where sample() has one.
    const auto perSensor = [&](const char* name, const auto& sample) {
        for (const auto& source : store_.sources())
            for (const SensorState& sensor : source->sensors)
                if (const std::optional<QByteArray> value = sample(sensor))
                    out += name + ('{' + labels(sensor)) + "} " + *value + '\n';
    };

    out +=
        family("quorvel_sensor_temperature_celsius", "gauge",
               "The sensor's reading as the last log record holds it (kept from before when a read failed).");
    perSensor("quorvel_sensor_temperature_celsius",
              [](const SensorState& sensor) -> std::optional<QByteArray> {
                  if (!sensor.recorded)
                      return std::nullopt;
                  return runtime::singleToText(*sensor.recorded, QLocale::c()).toLatin1();
              });

    out += family("quorvel_sensor_last_success_timestamp_seconds", "gauge",
                  "Unix time of the sensor's last good read.");
    perSensor("quorvel_sensor_last_success_timestamp_seconds",
              [](const SensorState& sensor) -> std::optional<QByteArray> {
                  if (!sensor.lastSuccess.isValid())
                      return std::nullopt;
                  return QByteArray::number(double(sensor.lastSuccess.toMSecsSinceEpoch()) / 1000.0, 'f', 3);
              });

    out += family("quorvel_sensor_consecutive_failures", "gauge",
                  "Failed reads of the sensor since its last good one.");
    perSensor("quorvel_sensor_consecutive_failures",
              [](const SensorState& sensor) -> std::optional<QByteArray> {
                  return QByteArray::number(sensor.failuresInRow);
              });

    out += family("quorvel_sensor_reads_total", "counter", "Sensor page loads by their result.");
    for (const auto& source : store_.sources())
        for (const SensorState& sensor : source->sensors)
            for (const auto& [outcome, label] : acquisition::ReadOutcomeLabels)
                out += "quorvel_sensor_reads_total{" + labels(sensor) + ",result=\"" +
                       QByteArray(label.data(), qsizetype(label.size())) + "\"} " +
                       QByteArray::number(sensor.reads[std::size_t(outcome)]) + '\n';

    out += family("quorvel_sweeps_total", "counter", "Completed sweeps over the sensor table.");
    out += "quorvel_sweeps_total " + QByteArray::number(store_.sweeps()) + '\n';
    out += family("quorvel_log_records_total", "counter", "Log records written.");
    out += "quorvel_log_records_total " + QByteArray::number(store_.recordsWritten()) + '\n';
    out += family("quorvel_log_write_errors_total", "counter", "Log records that could not be written.");
    out += "quorvel_log_write_errors_total " + QByteArray::number(store_.recordsLost()) + '\n';
    out += family("quorvel_build_info", "gauge", "The program's version, as a label; always 1.");
    out += "quorvel_build_info{version=\"" + version_.toLatin1() + "\"} 1\n";
    if (const StateStore::MqttLink& mqtt = store_.mqtt(); mqtt.enabled) {
        out += family("quorvel_mqtt_connected", "gauge", "1 while connected to the MQTT broker, else 0.");
        out += "quorvel_mqtt_connected " + QByteArray(mqtt.connected ? "1" : "0") + '\n';
        out += family("quorvel_mqtt_messages_published_total", "counter",
                      "MQTT messages handed to the broker's connection.");
        out += "quorvel_mqtt_messages_published_total " + QByteArray::number(mqtt.published) + '\n';
        out += family("quorvel_mqtt_connection_failures_total", "counter",
                      "Attempts to connect to the MQTT broker that failed or were refused.");
        out += "quorvel_mqtt_connection_failures_total " + QByteArray::number(mqtt.connectionFailures) + '\n';
    }
    return out;
}

} // namespace quorvel::service
