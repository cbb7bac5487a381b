#pragma once

#include "acquisition/busfacts.h"
#include "acquisition/sensorreader.h"

#include <QString>
#include <QStringList>

#include <chrono>
#include <optional>

namespace quorvel::acquisition {

// Blocking access to the kernel's 1-Wire tree (root is e.g. /sys/bus/w1/devices). A read of a sensor blocks
// in the kernel for a whole conversion, and a bad bus can make it hang: call these only on a bus's own
// worker thread.
class W1Tree {
public:
    explicit W1Tree(QString root) : root_(std::move(root)) {}

    // One sensor (ROM code in the adapter's form): its `temperature` file where the kernel has one, else
    // `w1_slave`; a 0 from the former is checked in the latter.
    [[nodiscard]] SensorAnswer readSensor(const QString& romCode) const;
    // The thermometers the tree shows now, in ID order, and every device's folder name ("00-…" too), or
    // why the tree cannot be listed.
    struct Listing {
        QStringList romCodes;
        QStringList devices;
        QString problem;
    };
    [[nodiscard]] Listing list() const;
    // Has every bus master search its bus again, then lists the tree; the problem also names a master
    // that refused.
    [[nodiscard]] Listing search() const;
    // Sets a sensor's resolution where bits are given (and into its EEPROM with save, only when that holds
    // another) and reads back what it converts at and how it is powered.
    [[nodiscard]] SensorFacts setUp(const QString& romCode, std::optional<int> bits, bool save) const;
    // Whether the masters convert the whole bus at once when asked.
    [[nodiscard]] bool convertsAtOnce() const { return !bulkControls().isEmpty(); }
    // Has every bus master that offers it convert all its sensors at once and waits until each says it
    // is done, at most the longest conversion time of the given sensors (their `conv_time`, else 750 ms)
    // plus a margin. Whether a master converted, and why a master that offers it refused (the errno's words:
    // a read-only /sys, a file only root may write); the masters that still said they were converting at
    // the end of the wait, and a `conv_time` past the bound that was taken for the default.
    struct Conversion {
        bool converted = false;
        QString refused;
        QString unfinished;
        QString badConversionTime;
    };
    Conversion convertAll(const QStringList& romCodes) const;

    static constexpr std::chrono::milliseconds DefaultConversion{750};
    // Every family converts in 750 ms at most; a slow bus may ask for some more. A longer `conv_time` is
    // taken for the default, so that a conversion and the read after it stay within the no-answer bound.
    static constexpr std::chrono::milliseconds LongestConversion{4000};
    static constexpr std::chrono::milliseconds ConversionMargin{500};
    static constexpr std::chrono::milliseconds BulkPollInterval{10};

private:
    [[nodiscard]] QStringList bulkControls() const;
    [[nodiscard]] std::chrono::milliseconds conversionTime(const QStringList& romCodes,
                                                           QString& badConversionTime) const;

    QString root_;
};

// A file of the tree read whole with plain system calls (the kernel makes each open and read one
// transaction); the bytes, or the errno of the failure.
struct FileRead {
    QByteArray bytes;
    int error = 0;
};
[[nodiscard]] FileRead readTreeFile(const QString& path);
// Writes bytes to a file of the tree in one write; 0 when written whole, else the errno.
[[nodiscard]] int writeTreeFile(const QString& path, QByteArrayView bytes);
// The words of an errno, as a problem says them.
[[nodiscard]] QString errorWords(int error);

} // namespace quorvel::acquisition
