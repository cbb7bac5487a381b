#include "sensorlist.h"

#include "sensortable.h"

#include <QFile>
#include <QHash>
#include <QStringDecoder>

#include <array>

namespace quorvel::acquisition {

namespace {

constexpr qsizetype RomDigits = 16;

bool isHexDigit(QChar c)
{
    return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}

QString byteText(std::uint8_t byte)
{
    return QStringLiteral("%1").arg(byte, 2, 16, QLatin1Char('0')).toUpper();
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

std::optional<QString> romCodeProblem(QStringView romCode)
{
    if (romCode.size() != RomDigits)
        return QStringLiteral("a ROM code has 16 hexadecimal digits, \"%1\" has %2")
            .arg(romCode.toString())
            .arg(romCode.size());
    for (const QChar c : romCode)
        if (!isHexDigit(c))
            return QStringLiteral("\"%1\" is not a hexadecimal digit in ROM code %2")
                .arg(c)
                .arg(romCode.toString());
    // Written most significant byte first: the CRC, six bytes of serial number, the family code.
    std::array<std::uint8_t, 8> bytes{};
    for (int i = 0; i < 8; ++i)
        bytes[7 - i] = static_cast<std::uint8_t>(romCode.sliced(2 * i, 2).toUInt(nullptr, 16));
    if (bytes[0] != 0x28)
        return QStringLiteral("family code %1 is not a DS18B20's (28) in ROM code %2")
            .arg(byteText(bytes[0]), romCode.toString());
    const std::uint8_t crc = dallasCrc8(bytes.data(), 7);
    if (crc != bytes[7])
        return QStringLiteral("CRC %1 is wrong in ROM code %2: it should be %3")
            .arg(byteText(bytes[7]), romCode.toString(), byteText(crc));
    return std::nullopt;
}

SensorListResult parseSensorList(const QByteArray& text, const QString& fileName)
{
    SensorListResult result;
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString decoded = utf8.decode(text);
    if (utf8.hasError()) {
        result.status = SensorListResult::Status::BadData;
        result.errors.append(QStringLiteral("%1: the file is not UTF-8 text").arg(fileName));
        return result;
    }
    QHash<QString, int> lineOf;
    const QStringList lines = decoded.split(u'\n');
    for (qsizetype n = 0; n < lines.size(); ++n) {
        const QString line = lines.at(n).trimmed();
        if (line.isEmpty() || line.startsWith(u'#'))
            continue;
        const int lineNumber = int(n) + 1;
        const auto fail = [&](const QString& reason) {
            result.errors.append(QStringLiteral("%1:%2: %3").arg(fileName).arg(lineNumber).arg(reason));
        };
        qsizetype end = 0;
        while (end < line.size() && !line.at(end).isSpace())
            ++end;
        const QString rom = line.first(end).toUpper();
        if (const auto problem = romCodeProblem(rom)) {
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
        result.sensors.append({rom, line.sliced(end).trimmed()});
    }
    if (result.errors.isEmpty() && result.sensors.isEmpty())
        result.errors.append(QStringLiteral("%1: no sensor is listed").arg(fileName));
    if (!result.errors.isEmpty()) {
        result.status = SensorListResult::Status::BadData;
        result.sensors.clear();
    }
    return result;
}

SensorListResult readSensorList(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        SensorListResult result;
        result.status = SensorListResult::Status::NoInput;
        result.errors.append(QStringLiteral("%1: %2").arg(path, file.errorString()));
        return result;
    }
    return parseSensorList(file.readAll(), path);
}

QList<ListedSensor> builtInSensors()
{
    QList<ListedSensor> sensors;
    for (const QString& rom : builtInRomCodes())
        sensors.append({rom, {}});
    return sensors;
}

} // namespace quorvel::acquisition
