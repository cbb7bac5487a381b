#pragma once

#include <QMap>
#include <QString>

#include <optional>

namespace quorvel::service {

// What the configuration sets for one sensor beside its name: a calibration and the limits it is watched by.
struct SensorSettings {
    // Added to every reading of the sensor before anything else sees it, the log included.
    double offset = 0;
    // An alarm below low or above high; nothing: no such limit.
    std::optional<double> low;
    std::optional<double> high;
    // Seconds a limit must stay crossed before the alarm: one odd reading wakes nobody.
    int holdSeconds = 0;
    // The alarm ends only this far back inside the limit, so a reading on the edge does not flap.
    double hysteresis = 0.5;

    [[nodiscard]] bool hasLimits() const { return low.has_value() || high.has_value(); }
    friend bool operator==(const SensorSettings&, const SensorSettings&) = default;
};

// Per ROM code as the sensor list spells it; a sensor without an entry has the defaults.
using SensorSettingsMap = QMap<QString, SensorSettings>;

} // namespace quorvel::service
