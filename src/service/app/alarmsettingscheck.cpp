#include "service/app/alarmsettingscheck.h"

#include "service/app/checksconfig.h"

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

std::optional<QString> settingProblem(const SettingBounds& bounds, double value)
{
    const bool whole = !bounds.whole || value == std::floor(value);
    if (std::isfinite(value) && value >= bounds.low && value <= bounds.high && whole)
        return std::nullopt;
    return QStringLiteral("%1 must be a %2number from %3 to %4")
        .arg(QLatin1String(bounds.key), bounds.whole ? QStringLiteral("whole ") : QString(),
             number(bounds.low), number(bounds.high));
}

QStringList checkAlarmSettings(const ServiceConfig& config)
{
    QStringList errors;
    for (const SourceConfig& source : config.sources)
        for (auto it = source.settings.begin(); it != source.settings.end(); ++it) {
            const SensorSettings& s = it.value();
            const QString where = sensorText(source, it.key());
            for (const auto& [bounds, value] :
                 {std::pair{OffsetBounds, std::optional(s.offset)}, std::pair{LowBounds, s.low},
                  std::pair{HighBounds, s.high}, std::pair{HoldBounds, std::optional<double>(s.holdSeconds)},
                  std::pair{HysteresisBounds, std::optional(s.hysteresis)}})
                if (const auto problem = value ? settingProblem(bounds, *value) : std::nullopt)
                    errors << where + QStringLiteral(": ") + *problem;
            if (s.low && s.high && !(*s.low < *s.high))
                errors << where + QStringLiteral(": low (%1) must be below high (%2)")
                                      .arg(number(*s.low), number(*s.high));
        }
    if (!config.alarmCommand.isEmpty())
        if (const auto problem = programProblem(config.alarmCommand.front()))
            errors << QStringLiteral("alarm_command: ") + *problem;
    return errors;
}

std::optional<QString> programProblem(const QString& program)
{
    // Without a shell a bare name is still looked up in PATH, as the start will.
    const QString path =
        program.contains(QLatin1Char('/')) ? program : QStandardPaths::findExecutable(program);
    const QFileInfo file(path);
    if (program.isEmpty() || !file.isFile() || !file.isExecutable())
        return QStringLiteral("\"%1\" is not an executable file").arg(program);
    return std::nullopt;
}

QStringList alarmSettingsText(const ServiceConfig& config)
{
    QStringList lines;
    for (const SourceConfig& source : config.sources)
        for (auto it = source.settings.begin(); it != source.settings.end(); ++it) {
            const SensorSettings& s = it.value();
            lines << QStringLiteral("%1: offset %2, low %3, high %4, hold %5 s, hysteresis %6%7")
                         .arg(sensorText(source, it.key()), number(s.offset),
                              s.low ? number(*s.low) : QStringLiteral("none"),
                              s.high ? number(*s.high) : QStringLiteral("none"))
                         .arg(s.holdSeconds)
                         .arg(number(s.hysteresis), checksText(s));
        }
    if (!config.alarmCommand.isEmpty())
        lines << QStringLiteral("alarm command: %1").arg(config.alarmCommand.join(QLatin1Char(' ')));
    return lines;
}

} // namespace quorvel::service
