#pragma once

#include <QMap>
#include <QString>

#include <optional>
#include <utility>

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

    // What its readings are believed within (keys max_step, range) and the resolution it converts at (key
    // resolution); nothing: the source's default for them, else none (the range: its kind's default).
    std::optional<double> maxStep = std::nullopt;
    std::optional<std::pair<double, double>> range = std::nullopt;
    std::optional<int> resolution = std::nullopt;

    [[nodiscard]] bool hasLimits() const { return low.has_value() || high.has_value(); }
    friend bool operator==(const SensorSettings&, const SensorSettings&) = default;
};

// What a source sets for all its sensors (the same keys beside its name), a sensor's own key winning.
struct SensorDefaults {
    std::optional<double> maxStep = std::nullopt;
    std::optional<std::pair<double, double>> range = std::nullopt;
    std::optional<int> resolution = std::nullopt;
    // Writes a resolution into a sensor's EEPROM too, where it holds another (key save_resolution).
    bool saveResolution = false;

    friend bool operator==(const SensorDefaults&, const SensorDefaults&) = default;
};

// Per ROM code as the sensor list spells it; a sensor without an entry has the defaults.
using SensorSettingsMap = QMap<QString, SensorSettings>;

} // namespace quorvel::service
