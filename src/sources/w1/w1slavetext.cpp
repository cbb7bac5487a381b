#include "w1slavetext.h"

#include "acquisition/sensorlist.h"

#include <QList>

#include <algorithm>
#include <optional>

#include <cerrno>
#include <cmath>
#include <cstring>

namespace quorvel::acquisition {

namespace {

constexpr int ScratchpadBytes = 9;
// Every thermometer the driver serves counts in steps of 1/64 °C or coarser (1/16 for a DS18B20 at 12 bits),
// while the driver divides down to whole millidegrees and drops the rest (-0.0625 becomes -62).
// Rounding to the step gives the sensor's own value back.
constexpr double StepsPerDegree = 64.0;
// A conversion that failed for want of power leaves 0x07FF with the count byte 0x0C: 127.9375 °C.
constexpr int FailedConversionLow = 0xff;
constexpr int FailedConversionHigh = 0x07;
constexpr int FailedConversionCount = 0x0c;
constexpr long long FailedConversionMillidegrees = 127937; // as the driver truncates 127.9375
const QString AllOnes =
    QStringLiteral("scratchpad all ones: no sensor drove the bus (disconnected or a dead bus)");

SensorAnswer readError(const QString& why)
{
    return {ReadOutcome::ReadError, 0, why};
}

// Since Linux 5.9 the driver retries a failed CRC check itself and, when every try failed or the sensor did
// not answer, gives a read of nothing rather than an error: "crc=… NO" is older kernels' way of saying so.
const QString EmptyRead =
    QStringLiteral("empty read: the sensor failed its CRC check on every try or did not answer");

// Millidegrees ("23125", after "t=" or in the temperature file) as degrees; nothing when no whole number.
std::optional<float> degreesOf(QByteArrayView millidegrees)
{
    bool ok = false;
    const long long milli = millidegrees.trimmed().toLongLong(&ok);
    if (!ok)
        return std::nullopt;
    return static_cast<float>(std::round(double(milli) * StepsPerDegree / 1000.0) / StepsPerDegree);
}

// The nine bytes at the start of a line, each two hexadecimal digits and a blank; nothing otherwise.
std::optional<QList<int>> scratchpadOf(QByteArrayView line)
{
    QList<int> bytes;
    for (int i = 0; i < ScratchpadBytes; ++i) {
        if (line.size() < 3 * (i + 1) || line[3 * i + 2] != ' ')
            return std::nullopt;
        bool ok = false;
        const int byte = line.sliced(3 * i, 2).toInt(&ok, 16);
        if (!ok)
            return std::nullopt;
        bytes.append(byte);
    }
    return bytes;
}

// At most a line's start, control characters escaped, so a message stays one line.
QString shown(QByteArrayView text)
{
    return escapedForMessage(QString::fromLatin1(text.first(std::min<qsizetype>(text.size(), 80))).trimmed());
}

} // namespace

SensorAnswer readW1SlaveText(QByteArrayView text)
{
    if (text.trimmed().isEmpty())
        return readError(EmptyRead);
    const qsizetype end = text.indexOf('\n');
    if (end < 0)
        return readError(QStringLiteral("truncated read: \"%1\"").arg(shown(text)));
    const QByteArrayView first = text.first(end);
    const QByteArrayView second = text.sliced(end + 1);
    const auto scratchpad = scratchpadOf(first);
    const qsizetype crcAt = first.indexOf(": crc=");
    if (!scratchpad || crcAt != 3 * ScratchpadBytes)
        return readError(QStringLiteral("garbled read: \"%1\"").arg(shown(first)));
    const QByteArrayView verdict = first.sliced(crcAt + 6).trimmed();
    // Nine ones pass or fail the CRC by chance of the driver's retries; either way nobody answered.
    if (std::all_of(scratchpad->cbegin(), scratchpad->cend(), [](int byte) { return byte == 0xff; }))
        return {verdict.endsWith(" NO") ? ReadOutcome::CrcError : ReadOutcome::Implausible, 0, AllOnes};
    if (verdict.endsWith(" NO"))
        return {ReadOutcome::CrcError, 0, QStringLiteral("CRC check failed: %1").arg(shown(first))};
    if (!verdict.endsWith(" YES"))
        return readError(QStringLiteral("garbled read: \"%1\"").arg(shown(first)));
    if (std::all_of(scratchpad->cbegin(), scratchpad->cend(), [](int byte) { return byte == 0; }))
        return {ReadOutcome::ZeroScratchpad, 0,
                QStringLiteral("scratchpad all zeros: nothing drove the bus (a short or no pull-up?)")};
    if (scratchpad->at(0) == FailedConversionLow && scratchpad->at(1) == FailedConversionHigh &&
        scratchpad->at(6) == FailedConversionCount)
        return {ReadOutcome::Implausible, 0, failedConversionReason()};
    const qsizetype valueAt = second.indexOf("t=");
    if (valueAt < 0 || !scratchpadOf(second))
        return readError(QStringLiteral("truncated read: no \"t=\" after \"%1\"").arg(shown(first)));
    const auto degrees = degreesOf(second.sliced(valueAt + 2));
    if (!degrees)
        return readError(QStringLiteral("garbled temperature: \"%1\"").arg(shown(second)));
    return temperatureAnswer(*degrees);
}

SensorAnswer readTemperatureText(QByteArrayView text)
{
    if (text.trimmed().isEmpty())
        return readError(EmptyRead);
    if (text.trimmed().toLongLong() == FailedConversionMillidegrees)
        return {ReadOutcome::Implausible, 0, failedConversionReason()};
    const auto degrees = degreesOf(text);
    if (!degrees)
        return readError(QStringLiteral("garbled temperature: \"%1\"").arg(shown(text)));
    return temperatureAnswer(*degrees);
}

SensorAnswer answerForErrno(int error)
{
    if (error == ENOENT || error == ENODEV)
        return {ReadOutcome::NoSensor, 0, QStringLiteral("unplugged: the sensor is not on the bus")};
    return readError(QString::fromLocal8Bit(std::strerror(error)));
}

} // namespace quorvel::acquisition
