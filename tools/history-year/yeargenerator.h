#pragma once

#include <QString>

#include <optional>

namespace quorvel::historyyear {

// What the generator writes: as a store with these settings holds it after running that long.
struct YearShape {
    int sensors = 13;
    int days = 365;
    int interval = 10;        // seconds a sample
    int keepSamplesDays = 30; // samples only for the last days; hourly rows for all; 0: samples for all
    qint64 end = 0;           // UTC seconds: the first interval not written
};

struct YearWritten {
    qint64 samples = 0;
    qint64 hourly = 0;
    qint64 foldedUntil = 0;
};

// ROM code of the generator's sensor index: the built-in table first, made-up codes after it.
[[nodiscard]] QString generatedRom(int index);
[[nodiscard]] QString generatedName(int index);
inline constexpr char GeneratedSource[] = "greenhouse";

// Creates the store at path (it must not exist) and fills it, a transaction a day; the error, or the counts.
[[nodiscard]] std::optional<YearWritten> writeYear(const QString& path, const YearShape& shape,
                                                   QString* error);

} // namespace quorvel::historyyear
