#pragma once

#include <QObject>
#include <QString>

#include <functional>

namespace quorvel::acquisition {

// Has a bus master's driver let go of its device and take it back (device: its entry in the driver's folder,
// e.g. /sys/bus/platform/drivers/w1-gpio/onewire@0): its name written to the folder's `unbind`, then `bind`.
// Blocks; why it failed in words, empty when done.
[[nodiscard]] QString rebindDevice(const QString& device);

// Runs rebindDevice() on a thread of its own, since the bus's thread may be the one hung in the kernel; done
// gets the problem on the context's thread, unless the context is gone by then. A write that hangs cannot be
// interrupted, so its thread is left to end on its own; while MaxRebindThreads are still running none more is
// started and this returns false.
bool startRebind(const QString& device, QObject* context, std::function<void(const QString&)> done);
inline constexpr int MaxRebindThreads = 4;

} // namespace quorvel::acquisition
