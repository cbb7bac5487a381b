#pragma once

#include "acquisition/sensorlist.h"

#include <QHostAddress>
#include <QLocale>
#include <QString>
#include <QStringList>

#include <optional>

namespace quorvel::service {

// Where the listener serves the page and the metrics: an IPv4 address and a port (0 lets the system pick
// one).
struct MetricsEndpoint {
    QHostAddress address;
    quint16 port = 0;
};

struct ServiceOptions {
    // Empty: no log; "-": standard output.
    QString logPath;
    // Given with --adapter; otherwise the setting's value is looked up at start.
    std::optional<QString> adapter;
    // --listen (or --metrics, its first name).
    std::optional<MetricsEndpoint> metrics;
    // A sensor without a good read this long is shown stale.
    int staleAfterSeconds = 300;
    // --web-config: TLS and basic auth for the listener; empty: neither.
    QString webConfig;
    QLocale locale;
    // End after this many sweeps; nothing: run until a signal ends it.
    std::optional<qint64> sweeps;
    // The sensor list to read (--sensors); empty: the built-in thirteen.
    QString sensorList;
    // --check: read and check everything, print the sensors' request URLs, send nothing.
    bool check = false;
    // What the sensor list gave, in list order; empty: the built-in thirteen. Filled after parsing.
    QList<acquisition::ListedSensor> sensors;
};

struct ParsedOptions {
    enum class Action { Run, Help, Version, Error };
    Action action = Action::Error;
    ServiceOptions options;
    // For Error: one line naming the option and what is wrong with it.
    QString error;
};

inline constexpr const char* StandardOutputLog = "-";

// Reads the command line (arguments.first() is the program). Parses only; opens and binds nothing.
[[nodiscard]] ParsedOptions parseServiceOptions(const QStringList& arguments);
// The text --help prints, also shown after a usage error.
[[nodiscard]] QString serviceUsage();

// The ROM codes to poll, in order: the sensor list's, else the built-in thirteen.
[[nodiscard]] QStringList romCodesToPoll(const ServiceOptions& options);
// The sensors' names, in the same order; empty for a sensor without one and for the built-in thirteen.
[[nodiscard]] QStringList sensorNames(const ServiceOptions& options);

// "A.B.C.D:PORT" with a dotted-quad IPv4 address and a port 0 to 65535.
[[nodiscard]] std::optional<MetricsEndpoint> parseMetricsEndpoint(const QString& text);

} // namespace quorvel::service
