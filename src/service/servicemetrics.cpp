#include "servicemetrics.h"

#include "statuspage.h"

#include "runtime/conversions.h"

#include <QLocale>

#include <algorithm>

namespace quorvel::service {

namespace {

QByteArray family(const char* name, const char* type, const char* help)
{
    return QByteArray("# HELP ") + name + ' ' + help + "\n# TYPE " + name + ' ' + type + '\n';
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

ServiceMetrics::ServiceMetrics(QStringList romCodes, const QStringList& names, QString version)
    : version_(std::move(version))
{
    sensors_.reserve(static_cast<std::size_t>(romCodes.size()));
    for (qsizetype i = 0; i < romCodes.size(); ++i) {
        Sensor sensor;
        sensor.rom = std::move(romCodes[i]);
        sensor.name = names.value(i);
        sensors_.push_back(std::move(sensor));
    }
}

void ServiceMetrics::recordRead(const acquisition::SensorReading& reading)
{
    if (reading.slot < 0 || reading.slot >= sensorCount())
        return;
    Sensor& sensor = sensors_[static_cast<std::size_t>(reading.slot)];
    ++sensor.reads[static_cast<std::size_t>(reading.outcome)];
    sensor.run.note(reading);
}

void ServiceMetrics::recordSweep(const acquisition::SweepReport& sweep)
{
    ++sweeps_;
    for (std::size_t i = 0; i < sensors_.size() && qsizetype(i) < sweep.readings.size(); ++i) {
        sensors_[i].temperature = sweep.readings[qsizetype(i)];
        sensors_[i].shown = sensors_[i].run.lastSuccess.isValid();
    }
    if (sweep.recordWritten.value_or(false))
        ++logRecords_;
    logWriteErrors_ += static_cast<quint64>(std::max<qint64>(sweep.recordsLost, 0));
}

QByteArray ServiceMetrics::exposition() const
{
    QByteArray out;
    out.reserve(4096 + 600 * sensorCount());
    const auto labels = [this](int slot) {
        const Sensor& sensor = sensors_[static_cast<std::size_t>(slot)];
        return QByteArray("sensor=\"") + QByteArray::number(slot + 1) + "\",rom=\"" + sensor.rom.toLatin1() +
               "\",name=\"" + labelValue(sensor.name) + '"';
    };

    out +=
        family("quorvel_sensor_temperature_celsius", "gauge",
               "The sensor's reading as the last log record holds it (kept from before when a read failed).");
    for (int i = 0; i < sensorCount(); ++i)
        if (sensors_[std::size_t(i)].shown)
            out += "quorvel_sensor_temperature_celsius{" + labels(i) + "} " +
                   runtime::singleToText(sensors_[std::size_t(i)].temperature, QLocale::c()).toLatin1() +
                   '\n';

    out += family("quorvel_sensor_last_success_timestamp_seconds", "gauge",
                  "Unix time of the sensor's last good read.");
    for (int i = 0; i < sensorCount(); ++i) {
        const QDateTime& when = sensors_[std::size_t(i)].run.lastSuccess;
        if (when.isValid())
            out += "quorvel_sensor_last_success_timestamp_seconds{" + labels(i) + "} " +
                   QByteArray::number(double(when.toMSecsSinceEpoch()) / 1000.0, 'f', 3) + '\n';
    }

    out += family("quorvel_sensor_consecutive_failures", "gauge",
                  "Failed reads of the sensor since its last good one.");
    for (int i = 0; i < sensorCount(); ++i)
        out += "quorvel_sensor_consecutive_failures{" + labels(i) + "} " +
               QByteArray::number(sensors_[std::size_t(i)].run.failuresInRow) + '\n';

    out += family("quorvel_sensor_reads_total", "counter", "Sensor page loads by their result.");
    for (int i = 0; i < sensorCount(); ++i)
        for (const auto& [outcome, label] : acquisition::ReadOutcomeLabels)
            out += "quorvel_sensor_reads_total{" + labels(i) + ",result=\"" +
                   QByteArray(label.data(), qsizetype(label.size())) + "\"} " +
                   QByteArray::number(sensors_[std::size_t(i)].reads[std::size_t(outcome)]) + '\n';

    out += family("quorvel_sweeps_total", "counter", "Completed sweeps over the sensor table.");
    out += "quorvel_sweeps_total " + QByteArray::number(sweeps_) + '\n';
    out += family("quorvel_log_records_total", "counter", "Log records written.");
    out += "quorvel_log_records_total " + QByteArray::number(logRecords_) + '\n';
    out += family("quorvel_log_write_errors_total", "counter", "Log records that could not be written.");
    out += "quorvel_log_write_errors_total " + QByteArray::number(logWriteErrors_) + '\n';
    out += family("quorvel_build_info", "gauge", "The program's version, as a label; always 1.");
    out += "quorvel_build_info{version=\"" + version_.toLatin1() + "\"} 1\n";
    if (mqtt_) {
        out += family("quorvel_mqtt_connected", "gauge", "1 while connected to the MQTT broker, else 0.");
        out += "quorvel_mqtt_connected " + QByteArray(mqttConnected_ ? "1" : "0") + '\n';
        out += family("quorvel_mqtt_messages_published_total", "counter",
                      "MQTT messages handed to the broker's connection.");
        out += "quorvel_mqtt_messages_published_total " + QByteArray::number(mqttPublished_) + '\n';
        out += family("quorvel_mqtt_connection_failures_total", "counter",
                      "Attempts to connect to the MQTT broker that failed or were refused.");
        out += "quorvel_mqtt_connection_failures_total " + QByteArray::number(mqttConnectionFailures_) + '\n';
    }
    return out;
}

} // namespace quorvel::service
