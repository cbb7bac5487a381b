#pragma once

#include <QString>
#include <QStringList>

namespace quorvel::acquisition {

// The kernel's 1-Wire tree names each sensor's folder "28-000001234567" (family code, dash, serial number
// most significant digit first, lower case) beside the bus masters' "w1_bus_masterN".

// Whether a folder name is a device's of any family, 00 included: two hexadecimal digits, a dash, twelve
// more.
[[nodiscard]] bool isDeviceFolder(const QString& name);

// The thermometers among a tree's folder names (families 10, 22, 28, 3B, 42, which w1_therm serves), as
// ROM codes in the adapter's form, in ID order (family, then serial number); other names are passed over.
[[nodiscard]] QStringList thermometersInTree(const QStringList& folderNames);

} // namespace quorvel::acquisition
