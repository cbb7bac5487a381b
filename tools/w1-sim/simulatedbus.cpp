#include "simulatedbus.h"

#include "acquisition/sensorlist.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <sstream>
#include <thread>

namespace quorvel::w1sim {

namespace {

constexpr int Family = 0x28;
constexpr int PowerOnMilli = 85000;
// A sensor that hangs lets go after this at the latest, so the simulator can always end.
constexpr auto LongestHang = std::chrono::seconds(60);
constexpr auto HangSlice = std::chrono::milliseconds(50);

int milliOf(int sixteenths)
{
    return sixteenths * 1000 / 16;
}

std::string folderName(int sensor)
{
    char name[32];
    std::snprintf(name, sizeof name, "%02x-%012x", Family, sensor + 1);
    return name;
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
    for (std::size_t i = 0; i < sensors_.size(); ++i)
        if (sensors_[i].plugged)
            names.push_back(folderName(int(i)));
    return names;
}

std::optional<int> SimulatedBus::sensorOf(const std::string& folder) const
{
    unsigned family = 0;
    unsigned long long serial = 0;
    char end = 0;
    if (folder.size() != 15 || std::sscanf(folder.c_str(), "%2x-%12llx%c", &family, &serial, &end) != 2 ||
        family != Family || serial < 1 || serial > sensors_.size())
        return std::nullopt;
    std::lock_guard lock(mutex_);
    if (!sensors_[std::size_t(serial - 1)].plugged)
        return std::nullopt;
    return int(serial - 1);
}

std::chrono::milliseconds SimulatedBus::conversionTime(int resolution) const
{
    // 93.75, 187.5, 375 and 750 ms as the driver rounds them.
    static const int ms[] = {94, 188, 375, 750};
    return std::chrono::milliseconds(ms[std::clamp(resolution, 9, 12) - 9]);
}

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
    if (!s->plugged) {
        error = ENODEV;
        return std::nullopt;
    }
    if (s->fault == Fault::Eio) {
        error = EIO;
        return std::nullopt;
    }
    return *s;
}

namespace {

// The sensor's count of 1/16 °C, and the millidegrees the driver makes of it (dividing, so truncating).
int rawOf(int milli)
{
    return int(std::lround(milli * 16 / 1000.0));
}

int reported(int milli)
{
    return rawOf(milli) * 1000 / 16;
}

} // namespace

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
    sensors_[std::size_t(sensor)].resolution = bits;
    return true;
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
           "\n";
}

void SimulatedBus::shutDown()
{
    std::lock_guard lock(mutex_);
    shutDown_ = true;
    released_.notify_all();
}

} // namespace quorvel::w1sim
