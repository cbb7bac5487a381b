#pragma once

#include "acquisition/sensortable.h"

#include <QByteArray>
#include <QByteArrayView>

#include <optional>

namespace quorvel::adaptersim {

// Sensors are numbered 1..13 in the order the logger polls them, with the logger's ROM codes.
inline constexpr int SensorCount = acquisition::SensorCount;

inline constexpr QByteArrayView SensorPath = "/1Wire/ReadDS18B20.html";

// ROM code of sensor 1..13; empty for any other number.
[[nodiscard]] QByteArray romCode(int sensor);

// Sensor number for a ROM code, compared exactly as the logger sends it.
[[nodiscard]] std::optional<int> sensorForRom(QByteArrayView rom);

// Beyond its thirteen, the simulator serves any other DS18B20 asked of it, as the next sensor number, up
// to this many sensors in all, so a logger with its own sensor list finds its sensors there.
inline constexpr int MaxSensors = SensorCount + 100;

// The ROM code a sensor page request asks for (path plus its query, percent-encoding allowed anywhere in
// the query), or nullopt when it is not a sensor page request.
[[nodiscard]] std::optional<QByteArray> romOfRequest(QByteArrayView path, QByteArrayView encodedQuery);

// Whether a ROM code is a DS18B20's as the logger sends it: sixteen upper-case hexadecimal digits ending
// in the family code 28. The CRC is the logger's to check.
[[nodiscard]] bool isDs18b20Rom(QByteArrayView rom);

// Sensor addressed by a request target (path plus its query, percent-encoding allowed anywhere in the
// query), or nullopt when it is not a sensor page of this adapter.
[[nodiscard]] std::optional<int> sensorForRequest(QByteArrayView path, QByteArrayView encodedQuery);

// Bounds of a sensor's simulated temperature, in sixteenths of a degree; sensors beyond the thirteen
// repeat their ranges.
[[nodiscard]] int lowestSixteenths(int sensor);
[[nodiscard]] int highestSixteenths(int sensor);

} // namespace quorvel::adaptersim
