#include "sensorlist.h"

#include "runtime/regularfile.h"
#include "sensortable.h"

#include "runtime/appinfo.h"
#include "runtime/conversions.h"
#include "runtime/settingskeys.h"
#include "runtime/settingsstore.h"

#include <QHash>
#include <QStringDecoder>

#include <algorithm>
#include <array>

namespace quorvel::acquisition {

namespace {

constexpr qsizetype RomDigits = 16;
constexpr qsizetype SerialDigits = 12;
// "28 67 45 23 01 00 00 30": eight pairs and seven blanks.
constexpr qsizetype SpacedRomLength = 8 * 2 + 7;
constexpr std::uint8_t Ds18b20Family = 0x28;

bool isListedFamily(std::uint8_t family, RomFamilies families)
{
    return families == RomFamilies::AnyThermometer ? isThermometerFamily(family) : family == Ds18b20Family;
}

QString familiesText(RomFamilies families)
{
    return families == RomFamilies::AnyThermometer
               ? QStringLiteral("a temperature sensor's (10, 22, 28, 3B, 42)")
               : QStringLiteral("a DS18B20's (28)");
}

bool isHexDigit(QChar c)
{
    return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}

QString byteText(std::uint8_t byte)
{
    return QStringLiteral("%1").arg(byte, 2, 16, QLatin1Char('0')).toUpper();
}

// The first character of text that is not a hexadecimal digit, told; nothing when all are.
std::optional<QString> nonHexProblem(QStringView digits, QStringView text, const QString& what)
{
    for (const QChar c : digits)
        if (!isHexDigit(c))
            return QStringLiteral("\"%1\" is not a hexadecimal digit in %2 %3")
                .arg(escapedForMessage(QStringView(&c, 1)), what, escapedForMessage(text));
    return std::nullopt;
}

std::array<std::uint8_t, 8> bytesOf(QStringView digits)
{
    std::array<std::uint8_t, 8> bytes{};
    for (int i = 0; i < 8; ++i)
        bytes[std::size_t(i)] = static_cast<std::uint8_t>(digits.sliced(2 * i, 2).toUInt(nullptr, 16));
    return bytes;
}

bool isListedRom(const std::array<std::uint8_t, 8>& wireOrder, RomFamilies families)
{
    return isListedFamily(wireOrder[0], families) && dallasCrc8(wireOrder.data(), 7) == wireOrder[7];
}

QString adapterForm(const std::array<std::uint8_t, 8>& wireOrder)
{
    QString text;
    for (std::size_t i = 8; i-- > 0;)
        text += byteText(wireOrder[i]);
    return text;
}

// "28-000001234567" (Linux's form): the serial number is printed most significant digit first, as the
// adapter prints it between the CRC and the family code. "28.67C6697351FF" (a 1-Wire server's form): the
// serial number's bytes in bus order. Either way the CRC is computed.
RomCodeReading readFamilySerialId(const QString& text, RomFamilies families)
{
    const bool busOrder = text.at(2) == u'.';
    const QString family = text.first(2);
    const QString serial = text.sliced(3);
    const QString what = QStringLiteral("1-Wire ID");
    if (auto problem = nonHexProblem(family + serial, text, what))
        return {std::nullopt, *problem};
    if (serial.size() != SerialDigits)
        return {std::nullopt,
                QStringLiteral("a 1-Wire ID has 12 hexadecimal digits after the family code and "
                               "the %1, \"%2\" has %3")
                    .arg(busOrder ? QStringLiteral("dot") : QStringLiteral("dash"), text)
                    .arg(serial.size())};
    std::array<std::uint8_t, 8> wire{};
    wire[0] = static_cast<std::uint8_t>(family.toUInt(nullptr, 16));
    if (!isListedFamily(wire[0], families))
        return {std::nullopt, QStringLiteral("family code %1 is not %2 in 1-Wire ID %3")
                                  .arg(family, familiesText(families), text)};
    for (int i = 0; i < 6; ++i)
        wire[std::size_t(busOrder ? 1 + i : 6 - i)] =
            static_cast<std::uint8_t>(serial.sliced(2 * i, 2).toUInt(nullptr, 16));
    wire[7] = dallasCrc8(wire.data(), 7);
    return {adapterForm(wire), {}};
}

// The ROM code's text at the start of a line: the eight blank-separated pairs when the line starts so,
// else everything up to the first blank.
qsizetype romTextLength(const QString& line)
{
    bool spaced = line.size() >= SpacedRomLength &&
                  (line.size() == SpacedRomLength || line.at(SpacedRomLength).isSpace());
    for (qsizetype i = 0; spaced && i < SpacedRomLength; ++i)
        spaced = i % 3 == 2 ? line.at(i) == u' ' : isHexDigit(line.at(i));
    if (spaced)
        return SpacedRomLength;
    qsizetype end = 0;
    while (end < line.size() && !line.at(end).isSpace())
        ++end;
    return end;
}

qsizetype characterCount(const QString& text)
{
    qsizetype count = 0;
    for (const QChar c : text)
        count += c.isLowSurrogate() ? 0 : 1;
    return count;
}

SensorListResult failure(SensorListResult::Status status, const QString& message)
{
    SensorListResult result;
    result.status = status;
    result.errors.append(message);
    return result;
}

} // namespace

std::uint8_t dallasCrc8(const std::uint8_t* bytes, std::size_t count)
{
    std::uint8_t crc = 0;
    for (std::size_t i = 0; i < count; ++i) {
        std::uint8_t byte = bytes[i];
        for (int bit = 0; bit < 8; ++bit) {
            const bool mix = ((crc ^ byte) & 0x01) != 0;
            crc >>= 1;
            if (mix)
                crc ^= 0x8C;
            byte >>= 1;
        }
    }
    return crc;
}

qsizetype firstNonUtf8Byte(QByteArrayView bytes)
{
    const qsizetype n = bytes.size();
    for (qsizetype i = 0; i < n;) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        if (lead < 0x80) {
            ++i;
            continue;
        }
        int length = 0;
        char32_t least = 0;
        if ((lead & 0xE0) == 0xC0) {
            length = 2;
            least = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3;
            least = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4;
            least = 0x10000;
        } else {
            return i;
        }
        if (i + length > n)
            return i;
        char32_t code = lead & (0x7F >> length);
        for (int k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(bytes[i + k]);
            if ((next & 0xC0) != 0x80)
                return i;
            code = (code << 6) | (next & 0x3F);
        }
        if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            return i;
        i += length;
    }
    return -1;
}

std::optional<QString> sensorNameProblem(QStringView name)
{
    const QList<uint> characters = name.toUcs4();
    for (qsizetype i = 0; i < characters.size(); ++i) {
        const char32_t c = characters.at(i);
        const bool control = QChar::category(c) == QChar::Other_Control;
        const bool separator = c == 0x2028 || c == 0x2029;
        const bool direction = c == 0x061C || c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E) ||
                               (c >= 0x2066 && c <= 0x2069);
        if (control || separator || direction)
            return QStringLiteral("a name is one line, without control characters, line separators or "
                                  "direction controls: U+%1 at character %2")
                .arg(QString::number(uint(c), 16).toUpper().rightJustified(4, u'0'))
                .arg(i + 1);
    }
    return std::nullopt;
}

bool isThermometerFamily(std::uint8_t family)
{
    return family == 0x10 || family == 0x22 || family == Ds18b20Family || family == 0x3B || family == 0x42;
}

RomCodeReading readRomCode(QStringView text, RomFamilies families)
{
    const QString upper = text.toString().toUpper();
    if (upper.size() > 2 && (upper.at(2) == u'-' || upper.at(2) == u'.'))
        return readFamilySerialId(upper, families);
    QString digits = upper;
    if (digits.size() == SpacedRomLength)
        digits.remove(u' ');
    const QString what = QStringLiteral("ROM code");
    if (auto problem = nonHexProblem(digits, upper, what))
        return {std::nullopt, *problem};
    if (digits.size() != RomDigits)
        return {std::nullopt, QStringLiteral("a ROM code has 16 hexadecimal digits, \"%1\" has %2")
                                  .arg(upper)
                                  .arg(digits.size())};
    // As written: the first byte is the adapter's last.
    const std::array<std::uint8_t, 8> written = bytesOf(digits);
    std::array<std::uint8_t, 8> wire{};
    for (std::size_t i = 0; i < 8; ++i)
        wire[i] = written[7 - i];
    if (isListedRom(wire, families))
        return {digits, {}};
    // Several 1-Wire tools print the bytes in bus order, family code first.
    if (isListedRom(written, families))
        return {std::nullopt,
                QStringLiteral("ROM code %1 is written family code first; the adapter writes it "
                               "CRC first, family code last: %2")
                    .arg(upper, adapterForm(written))};
    if (!isListedFamily(wire[0], families))
        return {std::nullopt, QStringLiteral("family code %1 is not %2 in ROM code %3")
                                  .arg(byteText(wire[0]), familiesText(families), upper)};
    return {std::nullopt, QStringLiteral("CRC %1 is wrong in ROM code %2: it should be %3")
                              .arg(byteText(wire[7]), upper, byteText(dallasCrc8(wire.data(), 7)))};
}

QString linuxId(const QString& romCode)
{
    return (romCode.right(2) + u'-' + romCode.mid(2, 12)).toLower();
}

QString serverId(const QString& romCode)
{
    // The adapter's form is the bus order reversed: CRC first, family code last.
    QString out = romCode.right(2) + u'.';
    for (qsizetype i = romCode.size() - 4; i >= 2; i -= 2)
        out += romCode.mid(i, 2);
    return out;
}

QStringList inIdOrder(QStringList romCodes)
{
    // The adapter's form ends in the family code and has the serial number before it, most significant
    // digit first: ID order is the order of that rotated text.
    const auto id = [](const QString& code) { return code.right(2) + code.mid(2, 12); };
    std::sort(romCodes.begin(), romCodes.end(),
              [&](const QString& a, const QString& b) { return id(a) < id(b); });
    romCodes.erase(std::unique(romCodes.begin(), romCodes.end()), romCodes.end());
    return romCodes;
}

SensorListResult parseSensorList(const QByteArray& text, const QString& fileName, RomFamilies families)
{
    const QString file = escapedForMessage(fileName);
    if (const qsizetype bad = firstNonUtf8Byte(text); bad >= 0) {
        const qsizetype lineStart = bad == 0 ? 0 : text.lastIndexOf('\n', bad - 1) + 1;
        return failure(SensorListResult::Status::BadData,
                       QStringLiteral("%1:%2: byte %3 of the line (0x%4) is not UTF-8 text")
                           .arg(file)
                           .arg(text.first(bad).count('\n') + 1)
                           .arg(bad - lineStart + 1)
                           .arg(byteText(static_cast<std::uint8_t>(text.at(bad)))));
    }
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString decoded = utf8.decode(text);

    SensorListResult result;
    int badLines = 0;
    QHash<QString, int> lineOf;
    const QStringList lines = decoded.split(u'\n');
    for (qsizetype n = 0; n < lines.size(); ++n) {
        const QString line = lines.at(n).trimmed();
        if (line.isEmpty() || line.startsWith(u'#'))
            continue;
        const int lineNumber = int(n) + 1;
        const auto fail = [&](const QString& reason) {
            // Told up to a screenful; a file of nothing but bad lines must not flood a journal.
            if (++badLines <= MaxToldBadLines)
                result.errors.append(QStringLiteral("%1:%2: %3").arg(file).arg(lineNumber).arg(reason));
        };
        const qsizetype end = romTextLength(line);
        const RomCodeReading reading = readRomCode(QStringView(line).first(end), families);
        if (!reading.romCode) {
            fail(reading.problem);
            continue;
        }
        const QString& rom = *reading.romCode;
        const QString name = line.sliced(end).trimmed();
        if (const qsizetype length = characterCount(name); length > MaxSensorNameLength) {
            fail(QStringLiteral("a name has at most %1 characters, this one has %2")
                     .arg(MaxSensorNameLength)
                     .arg(length));
            continue;
        }
        if (const auto problem = sensorNameProblem(name)) {
            fail(*problem);
            continue;
        }
        if (const auto first = lineOf.constFind(rom); first != lineOf.constEnd()) {
            fail(QStringLiteral("ROM code %1 is listed already, on line %2").arg(rom).arg(*first));
            continue;
        }
        lineOf.insert(rom, lineNumber);
        if (result.sensors.size() == MaxListedSensors) {
            fail(QStringLiteral("more than %1 sensors").arg(MaxListedSensors));
            continue;
        }
        result.sensors.append({rom, name});
    }
    if (badLines > MaxToldBadLines)
        result.errors.append(QStringLiteral("%1: %2").arg(
            file, runtime::countText(badLines - MaxToldBadLines, "more bad line")));
    if (result.errors.isEmpty() && result.sensors.isEmpty())
        result.errors.append(QStringLiteral("%1: no sensor is listed").arg(file));
    if (!result.errors.isEmpty()) {
        result.status = SensorListResult::Status::BadData;
        result.sensors.clear();
    }
    return result;
}

SensorListResult readSensorList(const QString& path, RomFamilies families)
{
    const QString file = escapedForMessage(path);
    const runtime::RegularFileRead read = runtime::readRegularFile(path, MaxSensorListBytes);
    if (read.status == runtime::RegularFileRead::Status::NoInput)
        return failure(SensorListResult::Status::NoInput, QStringLiteral("%1: %2").arg(file, read.problem));
    if (read.status == runtime::RegularFileRead::Status::TooLarge)
        return failure(SensorListResult::Status::BadData,
                       QStringLiteral("%1: larger than a list of %2 sensors can need; a sensor list has at "
                                      "most %3 bytes (1 MiB)")
                           .arg(file)
                           .arg(MaxListedSensors)
                           .arg(MaxSensorListBytes));
    return parseSensorList(read.bytes, path, families);
}

QList<ListedSensor> builtInSensors()
{
    QList<ListedSensor> sensors;
    for (const QString& rom : builtInRomCodes())
        sensors.append({rom, {}});
    return sensors;
}

SensorListSetting loadSensorListSetting()
{
    const QString app = runtime::AppInfo::title();
    const auto path = runtime::SettingsStore::getSetting(app, runtime::settingskeys::Settings,
                                                         runtime::settingskeys::SensorList);
    if (!path)
        return {};
    const SensorListResult list = readSensorList(*path);
    if (list.status != SensorListResult::Status::Ok)
        return {std::nullopt,
                QStringLiteral("The setting \"%1\" in section [%2] of %3 names a sensor list that cannot be "
                               "used:\n%4\nThe program ends.")
                    .arg(runtime::settingskeys::SensorList, runtime::settingskeys::Settings,
                         runtime::SettingsStore::fileName(app), list.errors.value(0))};
    return {list.sensors, {}};
}

} // namespace quorvel::acquisition
