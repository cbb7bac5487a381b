#pragma once

#include "acquisition/sensorreader.h"

#include <QByteArrayView>

namespace quorvel::acquisition {

// What the kernel's w1_therm driver gives for one sensor, as an answer. Its `w1_slave` file reads
//   72 01 4b 46 7f ff 0e 10 57 : crc=57 YES
//   72 01 4b 46 7f ff 0e 10 57 t=23125
// (the scratchpad's nine bytes, whether their CRC held, then the temperature in millidegrees); its
// `temperature` file (from Linux 5.9) only the millidegrees. An 85 °C power-on value is Ok here: the
// sensor table decides what it is; a number no thermometer gives is a read error. What a failed conversion
// (127.9375 °C) or a dead bus (a scratchpad of all ones) leaves is implausible, the signature named.
[[nodiscard]] SensorAnswer readW1SlaveText(QByteArrayView text);
[[nodiscard]] SensorAnswer readTemperatureText(QByteArrayView text);
// What a failed open or read of those files means, by its errno: the sensor's folder gone is an unplugged
// sensor, anything else a read error.
[[nodiscard]] SensorAnswer answerForErrno(int error);

} // namespace quorvel::acquisition
