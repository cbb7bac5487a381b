#include "service/app/checksconfig.h"

#include "service/app/recoveryconfig.h"
#include "service/app/serviceconfig.h"

#include "acquisition/sensorreader.h"

#include <cmath>

namespace quorvel::service {

namespace {

using configyaml::Entry;
using configyaml::Faults;
using configyaml::Fields;

QString number(double value)
{
    return QString::number(value, 'g', 10);
}

std::optional<acquisition::TemperatureRange> readRange(const Entry& entry, Faults& faults)
{
    const double lowest = acquisition::LowestTemperature;
    const double highest = acquisition::HighestTemperature;
    const QString expected = QStringLiteral("[low, high]: two numbers from %1 to %2 °C, low below high")
                                 .arg(number(lowest), number(highest));
    if (!entry.value.IsSequence() || entry.value.size() != 2) {
        faults.add(entry.mark(), entry.where + QStringLiteral(": expected ") + expected);
        return std::nullopt;
    }
    const auto low = readNumber(Entry{entry.key, entry.value[0], entry.where}, faults);
    const auto high = readNumber(Entry{entry.key, entry.value[1], entry.where}, faults);
    if (!low || !high)
        return std::nullopt;
    if (*low < lowest || *high > highest || !(*low < *high)) {
        faults.add(entry.mark(),
                   entry.where + QStringLiteral(": [%1, %2] is not a range from %3 to %4 °C "
                                                "with low below high")
                                     .arg(number(*low), number(*high), number(lowest), number(highest)));
        return std::nullopt;
    }
    return acquisition::TemperatureRange{*low, *high};
}

template <typename Checks> QStringList checkParts(const Checks& checks)
{
    QStringList parts;
    if (checks.maxStep)
        parts << QStringLiteral("max_step %1 °C").arg(number(*checks.maxStep));
    if (checks.range)
        parts << QStringLiteral("range %1 to %2 °C")
                     .arg(number(checks.range->first), number(checks.range->second));
    if (checks.resolution)
        parts << QStringLiteral("resolution %1 bits").arg(*checks.resolution);
    return parts;
}

} // namespace

std::optional<double> readNumber(const Entry& entry, Faults& faults)
{
    const auto text = configyaml::scalarText(entry, faults);
    if (!text)
        return std::nullopt;
    bool ok = false;
    const double value = text->trimmed().toDouble(&ok);
    if (!ok || !std::isfinite(value)) {
        faults.add(entry.mark(),
                   entry.where +
                       QStringLiteral(": \"%1\" is not a number").arg(acquisition::escapedForMessage(*text)));
        return std::nullopt;
    }
    return value;
}

template <typename Checks> void readCheckKeys(Fields& fields, Checks& checks, Faults& faults, bool& any)
{
    if (const auto entry = fields.take("max_step")) {
        any = true;
        const auto value = readNumber(*entry, faults);
        if (value && !(*value > 0 && *value <= MaxStepCelsius))
            faults.add(entry->mark(),
                       entry->where + QStringLiteral(": max_step must be above 0 and at most %1 °C")
                                          .arg(number(MaxStepCelsius)));
        else if (value)
            checks.maxStep = *value;
    }
    if (const auto entry = fields.take("range")) {
        any = true;
        checks.range = readRange(*entry, faults);
    }
    if (const auto entry = fields.take("resolution")) {
        any = true;
        checks.resolution = readWholeNumber(*entry, {LowestResolution, HighestResolution}, faults, "bits");
    }
}
template void readCheckKeys(Fields&, SensorSettings&, Faults&, bool&);
template void readCheckKeys(Fields&, SensorDefaults&, Faults&, bool&);

bool readSaveResolution(const Entry& entry, const acquisition::SourceKind& kind, Faults& faults)
{
    bool on = false;
    if (!entry.value.IsScalar() || !YAML::convert<bool>::decode(entry.value, on)) {
        faults.add(entry.mark(), entry.where + QStringLiteral(": expected true or false"));
        return false;
    }
    if (on && !kind.savesResolution) {
        faults.add(entry.mark(),
                   entry.where + QStringLiteral(": a source of kind %1 has no EEPROM to write "
                                                "(an owserver sets the resolution with each read)")
                                     .arg(QLatin1String(kind.name)));
        return false;
    }
    return on;
}

QList<acquisition::PlausibilityBounds> plausibilityBounds(const SourceConfig& source,
                                                          const QList<acquisition::ListedSensor>& sensors)
{
    const SensorDefaults& defaults = source.sensorDefaults;
    const bool datasheet = source.sourceKind().datasheetRangeByDefault;
    QList<acquisition::PlausibilityBounds> bounds;
    for (const acquisition::ListedSensor& sensor : sensors) {
        const SensorSettings own = source.settings.value(sensor.romCode);
        auto range = own.range ? own.range : defaults.range;
        if (!range && datasheet)
            range = acquisition::datasheetRange(sensor.romCode);
        bounds.append({own.maxStep ? own.maxStep : defaults.maxStep, range});
    }
    return bounds;
}

QList<std::optional<int>> resolutions(const SourceConfig& source,
                                      const QList<acquisition::ListedSensor>& sensors)
{
    QList<std::optional<int>> bits;
    for (const acquisition::ListedSensor& sensor : sensors) {
        const std::optional<int> own = source.settings.value(sensor.romCode).resolution;
        bits.append(own ? own : source.sensorDefaults.resolution);
    }
    return bits;
}

QString checksText(const SensorSettings& settings)
{
    const QStringList parts = checkParts(settings);
    return parts.isEmpty() ? QString() : QStringLiteral(", ") + parts.join(QStringLiteral(", "));
}

QStringList sourceChecksText(const ServiceConfig& config)
{
    QStringList lines;
    for (const SourceConfig& source : config.sources) {
        QStringList parts = checkParts(source.sensorDefaults);
        if (source.sensorDefaults.saveResolution)
            parts << QStringLiteral("saved into the sensors' EEPROM where it differs");
        if (!parts.isEmpty())
            lines
                << QStringLiteral("source %1: checks: %2").arg(source.name, parts.join(QStringLiteral(", ")));
        if (source.recovery != RecoverySettings{})
            lines << QStringLiteral("source %1: %2").arg(source.name, recoveryText(source.recovery));
    }
    return lines;
}

} // namespace quorvel::service
