#pragma once

#include "sensordrift.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace quorvel::w1sim {

// What a sensor does wrong at its next reads, until told otherwise.
enum class Fault { None, Crc, PowerOn, Zero, Eio, Empty, Hang };

// A 1-Wire bus as the kernel's w1_therm driver shows it: sensors that take their conversion time to read,
// a bus master that converts them all at once, faults and unplugging. Thread-safe: every FUSE thread asks it
// at once, and a read that hangs holds up none of the others.
class SimulatedBus {
public:
    struct Options {
        int sensors = 13;
        int resolution = 12;
        bool bulk = true;
        bool temperatureFile = true;
        // With a seed, each read moves a sensor's temperature as the adapter simulator's drift does.
        std::optional<std::uint64_t> driftSeed;
    };
    explicit SimulatedBus(Options options);

    [[nodiscard]] const Options& options() const { return options_; }
    // Sensor folder names ("28-000000000001"), plugged in ones only, and whether a name is one.
    [[nodiscard]] std::vector<std::string> folders() const;
    [[nodiscard]] std::optional<int> sensorOf(const std::string& folder) const;

    // What a read of a sensor's file gives: the text, or an errno. Blocks for a conversion unless the bus
    // converted it already; a hanging sensor blocks until released, asked to stop, or a minute.
    struct Answer {
        std::string text;
        int error = 0;
    };
    Answer readW1Slave(int sensor, const std::function<bool()>& interrupted);
    Answer readTemperature(int sensor, const std::function<bool()>& interrupted);
    [[nodiscard]] std::string convTime(int sensor) const;
    [[nodiscard]] std::string resolution(int sensor) const;
    bool setResolution(int sensor, const std::string& text);

    // therm_bulk_read: "-1" converting, "1" converted and not all read, "0" otherwise; a write of "trigger"
    // starts a conversion of every sensor.
    [[nodiscard]] std::string bulkState() const;
    bool bulkWrite(const std::string& text);

    // The control file: "fault N KIND" (none, crc, poweron, zero, eio, empty, hang), "unplug N", "plug N",
    // "set N MILLIDEGREES" (which also ends its drift), "stall" (therm_bulk_read says "-1" for good),
    // "release" (ends every hang and the stall), one per line, sensors counted from 1. Reading it gives the
    // conversions counted so far.
    bool control(const std::string& text);
    [[nodiscard]] std::string statistics() const;
    // Ends every hang for good, for the unmount.
    void shutDown();

private:
    using Clock = std::chrono::steady_clock;
    struct Sensor {
        int milli = 0;
        int resolution = 12;
        Fault fault = Fault::None;
        bool plugged = true;
        bool converted = false; // by the bus, not read since
        bool drifting = false;  // until a "set" holds it
    };
    [[nodiscard]] std::chrono::milliseconds conversionTime(int resolution) const;
    // Waits a conversion (or what is left of the bus's), then gives the sensor's state as read.
    std::optional<Sensor> convert(int sensor, const std::function<bool()>& interrupted, int& error);
    [[nodiscard]] std::string scratchpad(const Sensor& sensor) const;

    Options options_;
    mutable std::mutex mutex_;
    std::condition_variable released_;
    std::vector<Sensor> sensors_;
    std::vector<adaptersim::SensorDrift> drift_; // one per sensor, with a drift seed
    Clock::time_point bulkDone_{};
    bool shutDown_ = false;
    bool bulkStalled_ = false; // therm_bulk_read says "converting" until a release
    unsigned releases_ = 0;
    long long conversions_ = 0;
    long long bulkConversions_ = 0;
};

} // namespace quorvel::w1sim
