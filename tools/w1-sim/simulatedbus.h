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
// a bus master that converts them all at once, faults and unplugging, a bus that sticks, ghost devices and a
// master that can be unbound from its driver. Thread-safe: every FUSE thread asks it at once, and a read
// that hangs holds up none of the others.
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
    // The master's device name in its driver's folder.
    static constexpr char MasterDevice[] = "onewire@0";

    [[nodiscard]] const Options& options() const { return options_; }
    // Device folder names as the master lists them: plugged in sensors ("28-000000000001") and ghosts
    // ("00-800000000001"); none while the master is unbound. Whether a name is a sensor, or a ghost.
    [[nodiscard]] std::vector<std::string> folders() const;
    [[nodiscard]] std::optional<int> sensorOf(const std::string& folder) const;
    [[nodiscard]] bool isGhost(const std::string& folder) const;
    // Whether the master is bound to its driver (its folder and the sensors' are there).
    [[nodiscard]] bool bound() const;
    [[nodiscard]] bool hasResolution(int sensor) const;

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
    // "1" external power, "0" parasite.
    [[nodiscard]] std::string extPower(int sensor) const;
    // "save" copies the scratchpad's resolution to the EEPROM (a write counted), "restore" the other way.
    bool eepromCommand(int sensor, const std::string& text);

    // w1_master_search: the searches still to make, -1 for ever (the kernel's default); a write of a count
    // searches the bus now, which ends a stick that a search ends. w1_master_slaves: the devices, a line
    // each.
    [[nodiscard]] std::string masterSearch() const;
    bool setMasterSearch(const std::string& text);
    [[nodiscard]] std::string masterSlaves() const;
    // The driver's unbind and bind files: the master's device name unbinds it (every folder goes) and binds
    // it again (the bus comes back unstuck). Zero or an errno.
    int driverWrite(bool bind, const std::string& text);

    // therm_bulk_read: "-1" converting, "1" converted and not all read, "0" otherwise; a write of "trigger"
    // starts a conversion of every sensor.
    [[nodiscard]] std::string bulkState() const;
    bool bulkWrite(const std::string& text);

    // The control file: "fault N KIND" (none, crc, poweron, zero, eio, empty, hang), "unplug N", "plug N",
    // "set N MILLIDEGREES" (which also ends its drift), "spike N MILLIDEGREES" (the next read only),
    // "parasite N", "external N", "noresolution N", "stall" (therm_bulk_read says "-1" for good), "release"
    // (ends every hang and the stall), "stick" (until a search, a power cycle or a rebind), "stick-hard"
    // (until a power cycle or a rebind), "power-cycle" (the scratchpads load their EEPROMs), "ghost N",
    // one per line, sensors counted from 1. Reading it gives the conversions, EEPROM writes and searches
    // counted so far.
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
        int eeprom = 12;        // the resolution it holds
        bool parasite = false;
        bool withResolution = true; // false: a DS18S20's fixed 12 bits
        std::optional<int> spike;   // millidegrees its next read gives
    };
    // A stuck bus reads as if no sensor drove it.
    enum class Stuck { No, UntilSearch, UntilPowerCycle };
    [[nodiscard]] std::chrono::milliseconds conversionTime(int resolution) const;
    // Waits a conversion (or what is left of the bus's), then gives the sensor's state as read.
    std::optional<Sensor> convert(int sensor, const std::function<bool()>& interrupted, int& error);
    [[nodiscard]] std::string scratchpad(const Sensor& sensor) const;
    // What a read gives without converting: ENOENT unbound, a dead bus's answer stuck; none otherwise.
    [[nodiscard]] std::optional<Answer> withoutBus(bool w1Slave) const;

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
    long long eepromWrites_ = 0;
    long long searches_ = 0;
    int searchCount_ = -1;
    int ghosts_ = 0;
    Stuck stuck_ = Stuck::No;
    bool bound_ = true;
};

} // namespace quorvel::w1sim
