#include "fault.h"

#include "sensortable.h"

#include <array>
#include <utility>

namespace quorvel::adaptersim {

namespace {

constexpr std::array<std::pair<FaultKind, const char*>, 16> Names = {{
    {FaultKind::None, "none"},
    {FaultKind::Missing, "missing"},
    {FaultKind::Dashes, "dashes"},
    {FaultKind::Value, "value"},
    {FaultKind::NoValue, "novalue"},
    {FaultKind::Garbage, "garbage"},
    {FaultKind::Status500, "status500"},
    {FaultKind::Close, "close"},
    {FaultKind::Silent, "silent"},
    {FaultKind::Drip, "drip"},
    {FaultKind::Huge, "huge"},
    {FaultKind::RedirectOtherHost, "redirect-other-host"},
    {FaultKind::RedirectSame, "redirect-same"},
    {FaultKind::RedirectLoop, "redirect-loop"},
    {FaultKind::PowerOnReset, "power-on-reset"},
    {FaultKind::Rise, "rise"},
}};

} // namespace

std::optional<FaultKind> faultKindFromName(QStringView name)
{
    for (const auto& [kind, text] : Names) {
        if (name == QLatin1StringView(text))
            return kind;
    }
    return std::nullopt;
}

QString faultKindName(FaultKind kind)
{
    for (const auto& [k, text] : Names) {
        if (k == kind)
            return QString::fromLatin1(text);
    }
    return {};
}

QStringList faultKindNames()
{
    QStringList names;
    for (const auto& entry : Names)
        names.append(QString::fromLatin1(entry.second));
    return names;
}

std::optional<int> parseSensorSelector(QStringView text)
{
    if (text == u"all")
        return SensorFault::AllSensors;
    bool ok = false;
    const int sensor = text.toInt(&ok);
    if (!ok || sensor < 1 || sensor > MaxSensors)
        return std::nullopt;
    return sensor;
}

std::optional<SensorFault> parseFaultOption(QStringView text)
{
    const qsizetype first = text.indexOf(u':');
    if (first < 0)
        return std::nullopt;
    const qsizetype second = text.indexOf(u':', first + 1);
    const QStringView kindText =
        second < 0 ? text.sliced(first + 1) : text.sliced(first + 1, second - first - 1);
    const auto sensor = parseSensorSelector(text.first(first));
    const auto kind = faultKindFromName(kindText);
    if (!sensor || !kind)
        return std::nullopt;
    SensorFault result;
    result.sensor = *sensor;
    result.fault.kind = *kind;
    if (second >= 0)
        result.fault.arg = text.sliced(second + 1).toUtf8();
    return result;
}

} // namespace quorvel::adaptersim
