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

// Sensor addressed by a request target (path plus its query, percent-encoding allowed anywhere in the
// query), or nullopt when it is not a sensor page of this adapter.
[[nodiscard]] std::optional<int> sensorForRequest(QByteArrayView path, QByteArrayView encodedQuery);

// Bounds of a sensor's simulated temperature, in sixteenths of a degree.
[[nodiscard]] int lowestSixteenths(int sensor);
[[nodiscard]] int highestSixteenths(int sensor);

} // namespace quorvel::adaptersim
