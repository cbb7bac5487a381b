#include "servicemetrics.h"

#include "acquisition/htmldocument.h"
#include "runtime/conversions.h"

#include <QLocale>

namespace quorvel::service {

namespace {

constexpr std::array<ReadResult, ReadResultCount> AllResults = {ReadResult::Ok, ReadResult::NoElement,
                                                                ReadResult::NotANumber, ReadResult::HttpError,
                                                                ReadResult::NoAnswer};

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

const char* readResultLabel(ReadResult result)
{
    switch (result) {
    case ReadResult::Ok:
        return "ok";
    case ReadResult::NoElement:
        return "no_element";
    case ReadResult::NotANumber:
        return "not_a_number";
    case ReadResult::HttpError:
        return "http_error";
    case ReadResult::NoAnswer:
        return "no_answer";
    }
    return "no_answer";
}

ReadResult classifyRead(const acquisition::PageDocument* document, bool gotAnswer)
{
    if (!gotAnswer)
        return ReadResult::NoAnswer;
    // The table's own reading decides success, so the metric never disagrees with the log.
    acquisition::SensorTable scratch;
    if (scratch.readAnswer(0, document))
        return ReadResult::Ok;
    const auto* html = dynamic_cast<const acquisition::HtmlDocument*>(document);
    if (!document || (html && html->errorReason()))
        return ReadResult::HttpError;
    static const QString elementId = QString::fromLatin1(acquisition::TemperatureElementId.data(),
                                                         qsizetype(acquisition::TemperatureElementId.size()));
    return document->elementValue(elementId) ? ReadResult::NotANumber : ReadResult::NoElement;
}

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

void ServiceMetrics::recordRead(int slot, ReadResult result, const QDateTime& when)
{
    if (slot < 0 || slot >= sensorCount())
        return;
    Sensor& sensor = sensors_[static_cast<std::size_t>(slot)];
    ++sensor.reads[static_cast<std::size_t>(result)];
    if (result == ReadResult::Ok) {
        sensor.lastSuccess = when;
        sensor.consecutiveFailures = 0;
    } else {
        ++sensor.consecutiveFailures;
    }
}

void ServiceMetrics::recordSweep(const acquisition::SensorReadings& readings)
{
    ++sweeps_;
    for (std::size_t i = 0; i < sensors_.size() && qsizetype(i) < readings.size(); ++i)
        sensors_[i].temperature = readings[qsizetype(i)];
}

void ServiceMetrics::recordLogWrite(bool written, qint64 failures)
{
    if (written)
        ++logRecords_;
    else
        logWriteErrors_ += static_cast<quint64>(failures > 0 ? failures : 1);
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
        out += "quorvel_sensor_temperature_celsius{" + labels(i) + "} " +
               runtime::singleToText(sensors_[std::size_t(i)].temperature, QLocale::c()).toLatin1() + '\n';

    out += family("quorvel_sensor_last_success_timestamp_seconds", "gauge",
                  "Unix time of the sensor's last good read.");
    for (int i = 0; i < sensorCount(); ++i) {
        const QDateTime& when = sensors_[std::size_t(i)].lastSuccess;
        if (when.isValid())
            out += "quorvel_sensor_last_success_timestamp_seconds{" + labels(i) + "} " +
                   QByteArray::number(double(when.toMSecsSinceEpoch()) / 1000.0, 'f', 3) + '\n';
    }

    out += family("quorvel_sensor_consecutive_failures", "gauge",
                  "Failed reads of the sensor since its last good one.");
    for (int i = 0; i < sensorCount(); ++i)
        out += "quorvel_sensor_consecutive_failures{" + labels(i) + "} " +
               QByteArray::number(sensors_[std::size_t(i)].consecutiveFailures) + '\n';

    out += family("quorvel_sensor_reads_total", "counter", "Sensor page loads by their result.");
    for (int i = 0; i < sensorCount(); ++i)
        for (const ReadResult result : AllResults)
            out += "quorvel_sensor_reads_total{" + labels(i) + ",result=\"" + readResultLabel(result) +
                   "\"} " + QByteArray::number(sensors_[std::size_t(i)].reads[std::size_t(result)]) + '\n';

    out += family("quorvel_sweeps_total", "counter", "Completed sweeps over the sensor table.");
    out += "quorvel_sweeps_total " + QByteArray::number(sweeps_) + '\n';
    out += family("quorvel_log_records_total", "counter", "Log records written.");
    out += "quorvel_log_records_total " + QByteArray::number(logRecords_) + '\n';
    out += family("quorvel_log_write_errors_total", "counter", "Log records that could not be written.");
    out += "quorvel_log_write_errors_total " + QByteArray::number(logWriteErrors_) + '\n';
    out += family("quorvel_build_info", "gauge", "The program's version, as a label; always 1.");
    out += "quorvel_build_info{version=\"" + version_.toLatin1() + "\"} 1\n";
    return out;
}

} // namespace quorvel::service
