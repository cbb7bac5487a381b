#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>

namespace quorvel::acquisition {

// One sensor of a list: its ROM code as requests carry it (upper case) and an optional name for people.
struct ListedSensor {
    QString romCode;
    QString name;
};

// The built-in thirteen as a list, without names.
[[nodiscard]] QList<ListedSensor> builtInSensors();

// What reading a sensor list gave: the sensors, or the reasons it cannot be used, one a line, each as
// "FILE:LINE: reason" (or "FILE: reason" for the file as a whole).
struct SensorListResult {
    enum class Status { Ok, BadData, NoInput };
    Status status = Status::Ok;
    QList<ListedSensor> sensors;
    QStringList errors;
};

// The 1-Wire CRC-8 (polynomial x^8 + x^5 + x^4 + 1, bits taken least significant first) of the bytes.
[[nodiscard]] std::uint8_t dallasCrc8(const std::uint8_t* bytes, std::size_t count);

// Why a ROM code written most significant byte first is not a DS18B20's, or nothing when it is one:
// sixteen hexadecimal digits, family code 28 and a CRC byte that matches the other seven.
[[nodiscard]] std::optional<QString> romCodeProblem(QStringView romCode);

// A sensor list: UTF-8, one sensor a line (the ROM code, then optionally blanks and a name); blank lines
// and lines whose first non-blank character is '#' are ignored. Between 1 and MaxSensors sensors, each
// ROM code at most once. fileName only names the file in the messages.
inline constexpr int MaxListedSensors = 100;
[[nodiscard]] SensorListResult parseSensorList(const QByteArray& text, const QString& fileName);
// The same for a file; one that is missing or cannot be read gives NoInput.
[[nodiscard]] SensorListResult readSensorList(const QString& path);

} // namespace quorvel::acquisition
