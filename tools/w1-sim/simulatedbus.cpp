#include "simulatedbus.h"

#include "acquisition/sensorlist.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <thread>

namespace quorvel::w1sim {

namespace {

constexpr int Family = 0x28;
// Ghosts are numbered from here: the ID a search makes up when no device answers its bits.
constexpr unsigned long long GhostSerial = 0x800000000000ULL;
constexpr int MostGhosts = 64;
constexpr int PowerOnMilli = 85000;
// A sensor that hangs lets go after this at the latest, so the simulator can always end.
constexpr auto LongestHang = std::chrono::seconds(60);
constexpr auto HangSlice = std::chrono::milliseconds(50);

int milliOf(int sixteenths)
{
    return sixteenths * 1000 / 16;
}

std::string folderName(int family, unsigned long long serial)
{
    char name[32];
    std::snprintf(name, sizeof name, "%02x-%012llx", family, serial);
    return name;
}

// The family and serial of a device folder's name, as "FF-XXXXXXXXXXXX".
std::optional<std::pair<unsigned, unsigned long long>> parseFolder(const std::string& folder)
{
    unsigned family = 0;
    unsigned long long serial = 0;
    char end = 0;
    if (folder.size() != 15 || std::sscanf(folder.c_str(), "%2x-%12llx%c", &family, &serial, &end) != 2)
        return std::nullopt;
    return std::pair(family, serial);
}

// A sysfs write's text without its line end.
std::string trimmed(const std::string& text)
{
    const auto end = text.find_last_not_of("\n\r\t ");
    return end == std::string::npos ? std::string() : text.substr(0, end + 1);
}

std::string hexBytes(const std::vector<std::uint8_t>& bytes)
{
    std::string text;
    char pair[4];
    for (const std::uint8_t byte : bytes) {
        std::snprintf(pair, sizeof pair, "%02x ", byte);
        text += pair;
    }
    return text;
}

std::optional<Fault> faultNamed(const std::string& name)
{
    static const std::pair<const char*, Fault> names[] = {
        {"none", Fault::None}, {"crc", Fault::Crc},     {"poweron", Fault::PowerOn}, {"zero", Fault::Zero},
        {"eio", Fault::Eio},   {"empty", Fault::Empty}, {"hang", Fault::Hang},
    };
    for (const auto& [text, fault] : names)
        if (name == text)
            return fault;
    return std::nullopt;
}

} // namespace

SimulatedBus::SimulatedBus(Options options) : options_(options), sensors_(std::size_t(options.sensors))
{
    for (int i = 0; i < options_.sensors; ++i) {
        Sensor& s = sensors_[std::size_t(i)];
        s.milli = 20000 + 500 * (i % 20);
        s.resolution = options_.resolution;
        s.eeprom = options_.resolution;
        if (options_.driftSeed) {
            drift_.emplace_back(i + 1, *options_.driftSeed);
            s.milli = milliOf(drift_.back().current());
            s.drifting = true;
        }
    }
}

std::vector<std::string> SimulatedBus::folders() const
{
    std::lock_guard lock(mutex_);
    std::vector<std::string> names;
    if (!bound_)
        return names;
    for (std::size_t i = 0; i < sensors_.size(); ++i)
        if (sensors_[i].plugged)
            names.push_back(folderName(Family, i + 1));
    for (int i = 0; i < ghosts_; ++i)
        names.push_back(folderName(0, GhostSerial + unsigned(i) + 1));
    return names;
}

std::optional<int> SimulatedBus::sensorOf(const std::string& folder) const
{
    const auto parsed = parseFolder(folder);
    if (!parsed || parsed->first != Family || parsed->second < 1 || parsed->second > sensors_.size())
        return std::nullopt;
    std::lock_guard lock(mutex_);
    if (!bound_ || !sensors_[std::size_t(parsed->second - 1)].plugged)
        return std::nullopt;
    return int(parsed->second - 1);
}

bool SimulatedBus::isGhost(const std::string& folder) const
{
    const auto parsed = parseFolder(folder);
    std::lock_guard lock(mutex_);
    return bound_ && parsed && parsed->first == 0 && parsed->second > GhostSerial &&
           parsed->second <= GhostSerial + unsigned(ghosts_);
}

bool SimulatedBus::bound() const
{
    std::lock_guard lock(mutex_);
    return bound_;
}

bool SimulatedBus::hasResolution(int sensor) const
{
    std::lock_guard lock(mutex_);
    return sensors_[std::size_t(sensor)].withResolution;
}

std::chrono::milliseconds SimulatedBus::conversionTime(int resolution) const
{
    // 93.75, 187.5, 375 and 750 ms as the driver rounds them.
    static const int ms[] = {94, 188, 375, 750};
    return std::chrono::milliseconds(ms[std::clamp(resolution, 9, 12) - 9]);
}

namespace {

// The sensor's count of 1/16 °C, and the millidegrees the driver makes of it (dividing, so truncating).
int rawOf(int milli)
{
    return int(std::lround(milli * 16 / 1000.0));
}

int reported(int milli)
{
    return milliOf(rawOf(milli));
}

// Below 12 bits a sensor leaves its lowest bits clear: at 9 bits it counts half degrees. Spikes and the
// power-on value are what a bad read delivers, whatever the resolution, and are left as they are.
int atResolution(int milli, int bits)
{
    return milliOf(rawOf(milli) & ~((1 << (12 - std::clamp(bits, 9, 12))) - 1));
}

} // namespace

std::optional<SimulatedBus::Sensor>
SimulatedBus::convert(int sensor, const std::function<bool()>& interrupted, int& error)
{
    std::unique_lock lock(mutex_);
    Sensor* s = &sensors_[std::size_t(sensor)];
    if (s->fault == Fault::Hang) {
        const unsigned release = releases_;
        const auto until = Clock::now() + LongestHang;
        while (releases_ == release && !shutDown_ && !interrupted() && Clock::now() < until)
            released_.wait_for(lock, HangSlice);
        if (releases_ == release) {
            error = EINTR;
            return std::nullopt;
        }
    }
    if (!s->converted) {
        // A read of its own converts; one during the bus's conversion waits for the rest of it.
        const auto done = std::max(bulkDone_, Clock::now() + conversionTime(s->resolution));
        ++conversions_;
        lock.unlock();
        std::this_thread::sleep_until(done);
        lock.lock();
        s = &sensors_[std::size_t(sensor)];
    }
    s->converted = false;
    if (s->drifting)
        s->milli = milliOf(drift_[std::size_t(sensor)].next());
    if (!bound_) {
        error = ENOENT;
        return std::nullopt;
    }
    if (!s->plugged) {
        error = ENODEV;
        return std::nullopt;
    }
    if (s->fault == Fault::Eio) {
        error = EIO;
        return std::nullopt;
    }
    Sensor read = *s;
    read.milli = atResolution(s->milli, s->resolution);
    if (s->spike) {
        read.milli = *s->spike;
        s->spike.reset();
    }
    return read;
}

std::optional<SimulatedBus::Answer> SimulatedBus::withoutBus(bool w1Slave) const
{
    std::lock_guard lock(mutex_);
    if (!bound_)
        return Answer{{}, ENOENT};
    if (stuck_ == Stuck::No)
        return std::nullopt;
    if (!w1Slave)
        return Answer{{}, EIO};
    // Nobody pulls the line low: every bit reads as one, and so does the CRC byte, which does not match.
    const std::string ones = hexBytes(std::vector<std::uint8_t>(9, 0xff));
    return Answer{ones + ": crc=ff NO\n" + ones + "t=-62\n", 0};
}

std::string SimulatedBus::scratchpad(const Sensor& sensor) const
{
    const int raw = rawOf(sensor.fault == Fault::PowerOn ? PowerOnMilli : sensor.milli);
    const std::uint8_t config = std::uint8_t(((std::clamp(sensor.resolution, 9, 12) - 9) << 5) | 0x1f);
    std::vector<std::uint8_t> bytes = {
        std::uint8_t(raw & 0xff), std::uint8_t((raw >> 8) & 0xff), 0x4b, 0x46, config, 0xff, 0x0c, 0x10};
    if (sensor.fault == Fault::Zero)
        bytes.assign(8, 0);
    bytes.push_back(acquisition::dallasCrc8(bytes.data(), bytes.size()));
    return hexBytes(bytes);
}

SimulatedBus::Answer SimulatedBus::readW1Slave(int sensor, const std::function<bool()>& interrupted)
{
    if (auto dead = withoutBus(true))
        return *dead;
    int error = 0;
    const auto s = convert(sensor, interrupted, error);
    if (!s)
        return {{}, error};
    // A kernel that has the temperature file retries a failed CRC check and then gives nothing.
    if (s->fault == Fault::Empty || (s->fault == Fault::Crc && options_.temperatureFile))
        return {};
    const std::string pad = scratchpad(*s);
    const bool zero = s->fault == Fault::Zero;
    const int milli = zero ? 0 : reported(s->fault == Fault::PowerOn ? PowerOnMilli : s->milli);
    const std::string crc = pad.substr(24, 2);
    return {pad + ": crc=" + crc + (s->fault == Fault::Crc ? " NO\n" : " YES\n") + pad +
                "t=" + std::to_string(milli) + "\n",
            0};
}

SimulatedBus::Answer SimulatedBus::readTemperature(int sensor, const std::function<bool()>& interrupted)
{
    if (auto dead = withoutBus(false))
        return *dead;
    int error = 0;
    const auto s = convert(sensor, interrupted, error);
    if (!s)
        return {{}, error};
    switch (s->fault) {
    case Fault::Empty:
    case Fault::Crc:
        return {};
    case Fault::Zero:
        return {"0\n", 0};
    case Fault::PowerOn:
        return {std::to_string(PowerOnMilli) + "\n", 0};
    default:
        return {std::to_string(reported(s->milli)) + "\n", 0};
    }
}

std::string SimulatedBus::convTime(int sensor) const
{
    std::lock_guard lock(mutex_);
    return std::to_string(conversionTime(sensors_[std::size_t(sensor)].resolution).count()) + "\n";
}

std::string SimulatedBus::resolution(int sensor) const
{
    std::lock_guard lock(mutex_);
    return std::to_string(sensors_[std::size_t(sensor)].resolution) + "\n";
}

bool SimulatedBus::setResolution(int sensor, const std::string& text)
{
    const int bits = std::atoi(text.c_str());
    if (bits < 9 || bits > 12)
        return false;
    std::lock_guard lock(mutex_);
    Sensor& s = sensors_[std::size_t(sensor)];
    if (!s.withResolution)
        return false;
    s.resolution = bits;
    return true;
}

std::string SimulatedBus::extPower(int sensor) const
{
    std::lock_guard lock(mutex_);
    return sensors_[std::size_t(sensor)].parasite ? "0\n" : "1\n";
}

bool SimulatedBus::eepromCommand(int sensor, const std::string& text)
{
    const std::string command = trimmed(text);
    std::lock_guard lock(mutex_);
    Sensor& s = sensors_[std::size_t(sensor)];
    if (command == "save") {
        s.eeprom = s.resolution;
        ++eepromWrites_;
        return true;
    }
    if (command == "restore") {
        s.resolution = s.eeprom;
        return true;
    }
    return false;
}

std::string SimulatedBus::masterSearch() const
{
    std::lock_guard lock(mutex_);
    return std::to_string(searchCount_) + "\n";
}

bool SimulatedBus::setMasterSearch(const std::string& text)
{
    const std::string number = trimmed(text);
    char* end = nullptr;
    const long count = std::strtol(number.c_str(), &end, 10);
    if (number.empty() || *end != 0 || count < -1 || count > 1000000)
        return false;
    std::lock_guard lock(mutex_);
    searchCount_ = int(count);
    if (count != 0) {
        ++searches_;
        if (stuck_ == Stuck::UntilSearch)
            stuck_ = Stuck::No;
        if (count > 0)
            --searchCount_;
    }
    return true;
}

std::string SimulatedBus::masterSlaves() const
{
    std::string text;
    for (const std::string& folder : folders())
        text += folder + "\n";
    return text.empty() ? "not found.\n" : text;
}

int SimulatedBus::driverWrite(bool bind, const std::string& text)
{
    if (trimmed(text) != MasterDevice)
        return ENODEV;
    std::lock_guard lock(mutex_);
    if (bind == bound_)
        return bind ? EBUSY : ENODEV;
    bound_ = bind;
    stuck_ = Stuck::No;
    bulkStalled_ = false;
    bulkDone_ = {};
    // Going away ends every read hung on the bus.
    ++releases_;
    for (Sensor& s : sensors_) {
        s.converted = false;
        if (s.fault == Fault::Hang)
            s.fault = Fault::None;
    }
    released_.notify_all();
    return 0;
}

std::string SimulatedBus::bulkState() const
{
    std::lock_guard lock(mutex_);
    if (bulkStalled_ || Clock::now() < bulkDone_)
        return "-1\n";
    const bool unread =
        std::any_of(sensors_.begin(), sensors_.end(), [](const Sensor& s) { return s.converted; });
    return unread ? "1\n" : "0\n";
}

bool SimulatedBus::bulkWrite(const std::string& text)
{
    if (text.rfind("trigger", 0) != 0)
        return false;
    std::lock_guard lock(mutex_);
    // A dead bus takes the command and converts nothing.
    if (stuck_ != Stuck::No)
        return true;
    int longest = 0;
    for (Sensor& s : sensors_) {
        if (!s.plugged)
            continue;
        s.converted = true;
        longest = std::max(longest, s.resolution);
    }
    bulkDone_ = Clock::now() + conversionTime(longest);
    ++bulkConversions_;
    return true;
}

bool SimulatedBus::control(const std::string& text)
{
    std::istringstream lines(text);
    std::string line;
    bool ok = true;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string verb, argument;
        int number = 0;
        words >> verb;
        if (verb.empty())
            continue;
        if (verb == "release") {
            std::lock_guard lock(mutex_);
            ++releases_;
            for (Sensor& s : sensors_)
                if (s.fault == Fault::Hang)
                    s.fault = Fault::None;
            bulkStalled_ = false;
            released_.notify_all();
            continue;
        }
        if (verb == "stall") {
            std::lock_guard lock(mutex_);
            bulkStalled_ = true;
            continue;
        }
        if (verb == "stick" || verb == "stick-hard" || verb == "power-cycle") {
            std::lock_guard lock(mutex_);
            stuck_ = verb == "stick"        ? Stuck::UntilSearch
                     : verb == "stick-hard" ? Stuck::UntilPowerCycle
                                            : Stuck::No;
            for (Sensor& s : sensors_) {
                s.converted = false;
                // Power on loads the scratchpad's configuration from the EEPROM.
                if (verb == "power-cycle")
                    s.resolution = s.eeprom;
            }
            continue;
        }
        if (verb == "ghost") {
            if (!(words >> number) || number < 0 || number > MostGhosts) {
                ok = false;
                continue;
            }
            std::lock_guard lock(mutex_);
            ghosts_ = number;
            continue;
        }
        if (!(words >> number) || number < 1 || number > options_.sensors) {
            ok = false;
            continue;
        }
        words >> argument;
        std::lock_guard lock(mutex_);
        Sensor& s = sensors_[std::size_t(number - 1)];
        if (verb == "unplug" || verb == "plug")
            s.plugged = verb == "plug";
        else if (verb == "set" && !argument.empty()) {
            s.milli = std::atoi(argument.c_str());
            s.drifting = false;
        } else if (verb == "spike" && !argument.empty())
            s.spike = std::atoi(argument.c_str());
        else if (verb == "parasite" || verb == "external")
            s.parasite = verb == "parasite";
        else if (verb == "noresolution") {
            s.withResolution = false;
            s.resolution = s.eeprom = 12;
        } else if (const auto fault = faultNamed(argument); verb == "fault" && fault)
            s.fault = *fault;
        else
            ok = false;
    }
    return ok;
}

std::string SimulatedBus::statistics() const
{
    std::lock_guard lock(mutex_);
    return "conversions " + std::to_string(conversions_) + "\nbulk " + std::to_string(bulkConversions_) +
           "\neeprom_writes " + std::to_string(eepromWrites_) + "\nsearches " + std::to_string(searches_) +
           "\n";
}

void SimulatedBus::shutDown()
{
    std::lock_guard lock(mutex_);
    shutDown_ = true;
    released_.notify_all();
}

} // namespace quorvel::w1sim
