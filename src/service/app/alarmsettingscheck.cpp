#include "service/app/alarmsettingscheck.h"

#include <QFileInfo>
#include <QStandardPaths>

#include <cmath>

namespace quorvel::service {

namespace {

QString sensorText(const SourceConfig& source, const QString& rom)
{
    return QStringLiteral("source %1, sensor %2").arg(source.name, rom);
}

QString number(double value)
{
    return QString::number(value, 'g', 10);
}

} // namespace

QStringList checkAlarmSettings(const ServiceConfig& config)
{
    QStringList errors;
    for (const SourceConfig& source : config.sources)
        for (auto it = source.settings.begin(); it != source.settings.end(); ++it) {
            const SensorSettings& s = it.value();
            const QString where = sensorText(source, it.key());
            for (const std::optional<double>& value :
                 {std::optional(s.offset), s.low, s.high, std::optional(s.hysteresis)})
                if (value && !std::isfinite(*value)) {
                    errors << where + QStringLiteral(": offset, low, high and hysteresis must be numbers");
                    break;
                }
            if (s.low && s.high && !(*s.low < *s.high))
                errors << where + QStringLiteral(": low (%1) must be below high (%2)")
                                      .arg(number(*s.low), number(*s.high));
            if (s.holdSeconds < 0)
                errors << where + QStringLiteral(": hold must not be negative");
            if (s.hysteresis < 0)
                errors << where + QStringLiteral(": hysteresis must not be negative");
        }
    if (!config.alarmCommand.isEmpty()) {
        const QString program = config.alarmCommand.front();
        // Without a shell a bare name is still looked up in PATH, as the start will.
        const QString path =
            program.contains(QLatin1Char('/')) ? program : QStandardPaths::findExecutable(program);
        const QFileInfo file(path);
        if (program.isEmpty() || !file.isFile() || !file.isExecutable())
            errors << QStringLiteral("alarm_command: \"%1\" is not an executable file").arg(program);
    }
    return errors;
}

QStringList alarmSettingsText(const ServiceConfig& config)
{
    QStringList lines;
    for (const SourceConfig& source : config.sources)
        for (auto it = source.settings.begin(); it != source.settings.end(); ++it) {
            const SensorSettings& s = it.value();
            lines << QStringLiteral("%1: offset %2, low %3, high %4, hold %5 s, hysteresis %6")
                         .arg(sensorText(source, it.key()), number(s.offset),
                              s.low ? number(*s.low) : QStringLiteral("none"),
                              s.high ? number(*s.high) : QStringLiteral("none"))
                         .arg(s.holdSeconds)
                         .arg(number(s.hysteresis));
        }
    if (!config.alarmCommand.isEmpty())
        lines << QStringLiteral("alarm command: %1").arg(config.alarmCommand.join(QLatin1Char(' ')));
    return lines;
}

} // namespace quorvel::service
