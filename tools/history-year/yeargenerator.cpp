#include "yeargenerator.h"

#include "historyrowwriter.h"

#include "acquisition/readoutcome.h"
#include "acquisition/sensortable.h"
#include "service/history/historydatabase.h"
#include "service/history/historyrows.h"

#include <QFileInfo>
#include <QList>

#include <cmath>
#include <numbers>
#include <numeric>
#include <random>

namespace quorvel::historyyear {

namespace {

constexpr qint64 Day = 24 * 3600;
constexpr qint64 Hour = 3600;
constexpr double TwoPi = 2 * std::numbers::pi;

// One sensor's hour being summed from its samples, as the store folds them.
struct HourSum {
    qint64 hour = -1;
    std::optional<qint64> min, max;
    double weighted = 0;
    int good = 0;
    int reads = 0;

    [[nodiscard]] StoredHourly row() const
    {
        StoredHourly row{hour, min, max, std::nullopt, good, reads};
        if (good > 0)
            row.mean = std::llround(weighted / good);
        return row;
    }
    void add(const StoredSample& sample)
    {
        reads += sample.reads;
        if (!sample.mean)
            return;
        const int sampleGood = sample.reads - sample.failed;
        min = std::min(min.value_or(*sample.min), *sample.min);
        max = std::max(max.value_or(*sample.max), *sample.max);
        weighted += static_cast<double>(*sample.mean) * sampleGood;
        good += sampleGood;
    }
};

// A day's sine, a slower season, a sensor's offset and a little noise; now and then a failed read, an
// hour a sensor does not answer, and hours the service was not running.
class Weather {
public:
    Weather() : random_(0x51563364u) {}

    static bool serviceDown(qint64 time)
    {
        return (time / Day) % 61 == 30 && (time % Day) / Hour >= 12 && (time % Day) / Hour < 14;
    }
    static bool sensorSilent(int sensor, qint64 time)
    {
        return (time / Day + sensor * 7) % 23 == 0 && (time % Day) / Hour == 3;
    }

    StoredSample sample(int sensor, qint64 time, int reads)
    {
        StoredSample row;
        row.time = time;
        row.reads = reads;
        std::array<int, acquisition::ReadOutcomeCount> failures{};
        double sum = 0;
        const qint64 calibration = sensor % 3 == 0 ? 250 : 0;
        for (int i = 0; i < reads; ++i) {
            if (sensorSilent(sensor, time)) {
                ++failures[static_cast<std::size_t>(acquisition::ReadOutcome::NoAnswer)];
                continue;
            }
            if (chance_(random_) < 0.003) {
                ++failures[static_cast<std::size_t>(chance_(random_) < 0.5
                                                        ? acquisition::ReadOutcome::CrcError
                                                        : acquisition::ReadOutcome::NoAnswer)];
                continue;
            }
            const double t = static_cast<double>(time);
            const double celsius = 18.0 + sensor * 0.7 + 4.0 * std::sin(TwoPi * (t / Day + sensor * 0.03)) +
                                   6.0 * std::sin(TwoPi * t / (365.25 * Day)) + noise_(random_);
            const qint64 value = service::history::toMilli(celsius);
            row.min = std::min(row.min.value_or(value), value);
            row.max = std::max(row.max.value_or(value), value);
            row.last = value;
            row.raw = value - calibration;
            sum += static_cast<double>(value);
        }
        row.failed = std::accumulate(failures.begin() + 1, failures.end(), 0);
        row.failures = service::history::failuresText(failures);
        if (row.failed < reads)
            row.mean = std::llround(sum / (reads - row.failed));
        return row;
    }

private:
    std::minstd_rand random_;
    std::uniform_real_distribution<double> chance_{0.0, 1.0};
    std::normal_distribution<double> noise_{0.0, 0.05};
};

} // namespace

QString generatedRom(int index)
{
    if (index >= 0 && index < acquisition::SensorCount) {
        const std::string_view rom = acquisition::RomCodes[static_cast<std::size_t>(index)];
        return QString::fromLatin1(rom.data(), static_cast<qsizetype>(rom.size()));
    }
    return QString::asprintf("%02X000000F0%04X28", index & 0xFF, index & 0xFFFF);
}

QString generatedName(int index)
{
    return QStringLiteral("Sensor %1").arg(index + 1);
}

std::optional<YearWritten> writeYear(const QString& path, const YearShape& shape, QString* error)
{
    if (QFileInfo::exists(path)) {
        *error = QStringLiteral("%1 exists already; the generator writes a new store").arg(path);
        return std::nullopt;
    }
    std::optional<service::history::OpenError> openError;
    const auto db = service::history::HistoryDatabase::open(
        path, service::history::HistoryDatabase::Mode::Write, &openError);
    if (!db) {
        *error = openError ? openError->message : QStringLiteral("cannot open %1").arg(path);
        return std::nullopt;
    }
    const qint64 interval = std::max(1, shape.interval);
    const qint64 end = shape.end - shape.end % interval;
    qint64 start = end - shape.days * Day;
    start += (interval - start % interval) % interval;
    const qint64 samplesFrom = shape.keepSamplesDays > 0 ? end - shape.keepSamplesDays * Day : start;
    const qint64 lastSample = end - interval;
    YearWritten written;
    written.foldedUntil = lastSample - lastSample % Hour;
    // About one read a sample at the adapter's pace of a sweep in ten seconds.
    const int reads = static_cast<int>(std::max<qint64>(1, interval / 10));

    HistoryRowWriter writer(db->handle());
    Weather weather;
    QList<HourSum> hours(shape.sensors);
    QStringList roms;
    QStringList names;
    for (int s = 0; s < shape.sensors; ++s) {
        roms.append(generatedRom(s));
        names.append(generatedName(s));
    }
    const QString source = QString::fromLatin1(GeneratedSource);
    const auto failed = [&] {
        *error = writer.error();
        return std::nullopt;
    };
    for (qint64 dayStart = start; dayStart < end; dayStart += Day) {
        if (!writer.exec("BEGIN"))
            return failed();
        for (qint64 t = dayStart; t < std::min(end, dayStart + Day); t += interval) {
            if (Weather::serviceDown(t))
                continue;
            for (int s = 0; s < shape.sensors; ++s) {
                const StoredSample sample = weather.sample(s, t, reads);
                HourSum& hour = hours[s];
                if (hour.hour != t - t % Hour) {
                    if (hour.hour >= 0 && hour.hour < written.foldedUntil) {
                        if (!writer.hourly(source, roms[s], names[s], hour.row()))
                            return failed();
                        ++written.hourly;
                    }
                    hour = HourSum();
                    hour.hour = t - t % Hour;
                }
                hour.add(sample);
                if (t >= samplesFrom) {
                    if (!writer.sample(source, roms[s], names[s], sample))
                        return failed();
                    ++written.samples;
                }
            }
        }
        if (!writer.exec("COMMIT"))
            return failed();
    }
    // An hour the service was down at its end has no later sample of its own to fold it.
    if (!writer.exec("BEGIN"))
        return failed();
    for (int s = 0; s < shape.sensors; ++s) {
        if (hours[s].hour >= 0 && hours[s].hour < written.foldedUntil) {
            if (!writer.hourly(source, roms[s], names[s], hours[s].row()))
                return failed();
            ++written.hourly;
        }
    }
    if (!writer.setFoldedUntil(written.foldedUntil) || !writer.exec("COMMIT"))
        return failed();
    return written;
}

} // namespace quorvel::historyyear
