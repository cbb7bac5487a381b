#pragma once

#include "acquisition/sensorlist.h"
#include "service/http/listenendpoint.h"
#include "service/mqtt/mqttoptions.h"

#include <QLocale>
#include <QString>
#include <QStringList>

#include <optional>

namespace quorvel::service {

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
    std::optional<MqttOptions> mqtt;
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
// The one source a command line sets up.
inline constexpr const char* CommandLineSource = "adapter";

// Reads the command line (arguments.first() is the program). Parses only; opens and binds nothing.
[[nodiscard]] ParsedOptions parseServiceOptions(const QStringList& arguments);
// The text --help prints, also shown after a usage error.
[[nodiscard]] QString serviceUsage();

// The ROM codes to poll, in order: the sensor list's, else the built-in thirteen.
[[nodiscard]] QStringList romCodesToPoll(const ServiceOptions& options);

// mqtt://HOST[:PORT] or mqtts://HOST[:PORT]; fills host, port, tls and url.
[[nodiscard]] std::optional<MqttOptions> parseMqttUrl(const QString& text);
// Reads the password file and checks the CA file; the reason when either is no good.
[[nodiscard]] std::optional<QString> loadMqttFiles(MqttOptions& mqtt);

// "A.B.C.D:PORT" with a dotted-quad IPv4 address and a port 0 to 65535.
[[nodiscard]] std::optional<MetricsEndpoint> parseMetricsEndpoint(const QString& text);

} // namespace quorvel::service
