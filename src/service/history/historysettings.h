#pragma once

#include <QString>

namespace quorvel::service::history {

// Where the readings are kept and for how long: the configuration's store block, or --store.
struct StoreSettings {
    QString path;
    // Seconds a sample sums up; 0: one sample a sweep. One write transaction per interval, not per read.
    int sampleInterval = 10;
    // Days the samples are kept before only their hourly rows are; 0: for ever.
    int keepSamplesDays = 30;
    // Days the hourly rows are kept; 0: for ever.
    int keepHourlyDays = 0;

    friend bool operator==(const StoreSettings&, const StoreSettings&) = default;
};

// The bounds the configuration checks, in one place.
inline constexpr int MaxSampleInterval = 3600;
inline constexpr int MaxKeepDays = 100 * 366;

} // namespace quorvel::service::history
