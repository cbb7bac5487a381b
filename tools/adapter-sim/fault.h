#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QStringView>

#include <optional>

namespace quorvel::adaptersim {

enum class FaultKind {
    None,
    Missing,
    Dashes,
    Value,
    NoValue,
    Garbage,
    Status500,
    Close,
    Silent,
    Drip,
    Huge,
    RedirectOtherHost,
    RedirectSame,
    RedirectLoop,
    // One page reading 85, the DS18B20's power-on value; then the fault is gone and the drift goes on.
    PowerOnReset,
    // From the drift's present value, each page reads ARG degrees more (0.5 without one) than the last,
    // up to 125: a sensor that warms past any limit.
    Rise,
};

struct Fault {
    FaultKind kind = FaultKind::None;
    // The Value kind's VALUE attribute text, inserted verbatim; the Rise kind's step.
    QByteArray arg;
    // The Rise kind's last reading in sixteenths of a degree; nothing before its first page.
    std::optional<int> risen;
};

// A fault for one sensor, or for every sensor when sensor is AllSensors.
struct SensorFault {
    static constexpr int AllSensors = 0;
    int sensor = AllSensors;
    Fault fault;
};

[[nodiscard]] std::optional<FaultKind> faultKindFromName(QStringView name);
[[nodiscard]] QString faultKindName(FaultKind kind);
[[nodiscard]] QStringList faultKindNames();

// Sensor text as given on the command line and the control endpoint: 1..MaxSensors or "all".
[[nodiscard]] std::optional<int> parseSensorSelector(QStringView text);

// "SENSOR:KIND[:ARG]"; ARG is everything after the second colon, so it may itself hold colons.
[[nodiscard]] std::optional<SensorFault> parseFaultOption(QStringView text);

} // namespace quorvel::adaptersim
