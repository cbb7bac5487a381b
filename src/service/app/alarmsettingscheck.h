#pragma once

#include "service/app/serviceconfig.h"

#include <QStringList>

#include <array>
#include <optional>

namespace quorvel::service {

// What a number of a sensor's settings can mean. A temperature lies between absolute zero and the top of
// the widest converter on a bus (a thermocouple's, family 3B, 2047.75 °C); a calibration corrects a few
// degrees, so a hundred is far beyond any and keeps every corrected reading finite and short in the log; a
// hysteresis wider than that would end no alarm; a hold is whole seconds, up to a day.
struct SettingBounds {
    const char* key;
    double low;
    double high;
    bool whole;
};
inline constexpr double LowestTemperature = -273.15;
inline constexpr double HighestTemperature = 2048;
inline constexpr SettingBounds OffsetBounds{"offset", -100, 100, false};
inline constexpr SettingBounds LowBounds{"low", LowestTemperature, HighestTemperature, false};
inline constexpr SettingBounds HighBounds{"high", LowestTemperature, HighestTemperature, false};
inline constexpr SettingBounds HoldBounds{"hold", 0, 86400, true};
inline constexpr SettingBounds HysteresisBounds{"hysteresis", 0, 100, false};

// Why the value is out of its bounds (not a number, infinite, too small or large, not whole), or nothing.
[[nodiscard]] std::optional<QString> settingProblem(const SettingBounds& bounds, double value);

// Why a command's program cannot be run: it names no executable file (a bare name: none in PATH, as the
// start looks it up); nothing when it can.
[[nodiscard]] std::optional<QString> programProblem(const QString& program);

// What is wrong with the sensors' offsets and limits and the alarm command, one message each; empty when
// nothing. The configuration reader adds these to its own, so a bad limit stops the start and --check.
[[nodiscard]] QStringList checkAlarmSettings(const ServiceConfig& config);

// For --check: one line per sensor with settings, its offset and limits as they will be used.
[[nodiscard]] QStringList alarmSettingsText(const ServiceConfig& config);

} // namespace quorvel::service
