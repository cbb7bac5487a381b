#pragma once

#include "runtime/messagetext.h"

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

    friend bool operator==(const ListedSensor&, const ListedSensor&) = default;
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

// The families a list takes: an adapter's pages serve DS18B20s; a bus or a server every thermometer the
// kernel's driver serves (DS18S20 10, DS1822 22, DS18B20 28, DS1825 3B, DS28EA00 42).
enum class RomFamilies { Ds18b20, AnyThermometer };
[[nodiscard]] bool isThermometerFamily(std::uint8_t family);

// A sensor's ROM code as a person may have copied it, in the adapter's form (sixteen upper-case digits,
// the CRC first, the family code last), or why it is not one. Taken are the adapter's form, in either
// case, its eight bytes separated by single blanks, the form "28-000001234567" of Linux's 1-Wire driver
// (family code, dash, the serial number most significant digit first) and the form "28.67C6697351FF" of a
// 1-Wire server (family code, dot, the serial number's bytes in bus order); the CRC of the last two is
// computed.
struct RomCodeReading {
    std::optional<QString> romCode;
    QString problem;
};
[[nodiscard]] RomCodeReading readRomCode(QStringView text, RomFamilies families = RomFamilies::Ds18b20);
// The other way round: a ROM code in the adapter's form as Linux names its folder ("28-000001234567",
// lower case) and as a 1-Wire server names it ("28.674523010000").
[[nodiscard]] QString linuxId(const QString& romCode);
[[nodiscard]] QString serverId(const QString& romCode);
// ROM codes in the adapter's form in ID order (family code, then serial number), each once: the order a
// bus or a server lists its sensors in.
[[nodiscard]] QStringList inIdOrder(QStringList romCodes);

using runtime::escapedForMessage;

// Why a sensor's name cannot be taken, or nothing: a name stands in journal lines, labels and the alarm
// command's environment, so it is one line that reads as written: no control character (NUL among them),
// no line or paragraph separator, no direction control that would reorder the text after it.
[[nodiscard]] std::optional<QString> sensorNameProblem(QStringView name);

// Where bytes stop being UTF-8 (a bad lead byte, a missing continuation, an overlong form, a surrogate,
// beyond U+10FFFF), or -1 when they are all UTF-8.
[[nodiscard]] qsizetype firstNonUtf8Byte(QByteArrayView bytes);

// A sensor list: UTF-8, one sensor a line (the ROM code, then optionally blanks and a name); blank lines
// and lines whose first non-blank character is '#' are ignored. Between 1 and MaxListedSensors sensors,
// each ROM code at most once, each name at most MaxSensorNameLength characters. At most
// MaxToldBadLines bad lines are told, then how many more there are. fileName only names the file in the
// messages.
inline constexpr int MaxListedSensors = 100;
inline constexpr int MaxSensorNameLength = 100;
inline constexpr int MaxToldBadLines = runtime::MaxToldFaults;
[[nodiscard]] SensorListResult parseSensorList(const QByteArray& text, const QString& fileName,
                                               RomFamilies families = RomFamilies::Ds18b20);

// A list of 100 sensors, each with the longest name in four-byte characters, is about 43 KB; 1 MiB leaves
// room for comments twenty times that and is read in a few milliseconds, while a file mistaken for the
// list (a log, an image) is refused before it is read and decoded whole.
inline constexpr qint64 MaxSensorListBytes = 1024 * 1024;
// The same for a file: one that is missing, cannot be read or is not a regular file (a FIFO, a device, a
// folder) gives NoInput, without waiting for a writer; one larger than MaxSensorListBytes gives BadData.
[[nodiscard]] SensorListResult readSensorList(const QString& path,
                                              RomFamilies families = RomFamilies::Ds18b20);

// The sensors the settings' SensorList key names, in list order; none when the key is absent. A list
// that cannot be used gives a message for a message box that names the setting, the file and its first
// bad line.
struct SensorListSetting {
    std::optional<QList<ListedSensor>> sensors;
    QString error;
};
[[nodiscard]] SensorListSetting loadSensorListSetting();

} // namespace quorvel::acquisition
