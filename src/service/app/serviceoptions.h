#pragma once

#include "acquisition/sensorlist.h"
#include "service/http/listenendpoint.h"
#include "service/mqtt/mqttoptions.h"

#include <QLocale>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

namespace quorvel::service {

struct ServiceOptions {
    // Empty: no log; "-": standard output.
    QString logPath;
    // Given with --adapter; otherwise the setting's value is looked up at start.
    std::optional<QString> adapter;
    // --listen (or --metrics, its first name).
    std::optional<ListenEndpoint> metrics;
    // A sensor without a good read this long is shown stale.
    int staleAfterSeconds = 300;
    // --web-config: TLS and basic auth for the listener; empty: neither.
    QString webConfig;
    QLocale locale;
    // End after this many sweeps; nothing: run until a signal ends it.
    std::optional<qint64> sweeps;
    // The sensor list to read (--sensors); empty: the built-in thirteen.
    QString sensorList;
    // --config: the configuration file that sets the sources and the rest; empty: the command line does.
    QString configFile;
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

// A whole-number option's bounds, both included.
struct WholeBounds {
    qint64 low = 0;
    qint64 high = 0;
};

// One option of the command line, declared once: the parser, the usage text, the checks of its value and
// the test that holds the manual page and README to it all read this.
struct OptionSpec {
    // Takes the value, or gives the reason it is no good ("invalid value ... for --name: reason"). The
    // MQTT options go to options.mqtt, staged there until the end of the line shows --mqtt was given.
    using Apply = std::function<std::optional<QString>(const QString& value, ServiceOptions& options)>;

    // Each member has an initializer, so a row names only what it needs.
    QStringList names{}; // without dashes; the first is the one the synopsis shows, the rest are aliases
    QString valueName{}; // empty: a flag
    QString help{};
    // What applies without the option, as the usage text says it (read from the structs above); empty:
    // nothing worth a figure.
    QString defaultValue{};
    // A whole number within these, checked before apply is called.
    std::optional<WholeBounds> bounds{};
    // Refused without --mqtt.
    bool needsMqtt = false;
    Apply apply{};
};

inline constexpr const char* StandardOutputLog = "-";
// The one source a command line sets up.
inline constexpr const char* CommandLineSource = "adapter";

// Every option but --help and --version, in the order the synopsis lists them; the MQTT options last,
// right after --mqtt.
[[nodiscard]] const QList<OptionSpec>& serviceOptionTable();
// What the usage text adds to an option's help, and the manual page must say too: "default 60", "5 to 3600"
// or "at least 1".
[[nodiscard]] QStringList optionLimits(const OptionSpec& option);

// Reads the command line (arguments.first() is the program). Parses only; opens and binds nothing.
[[nodiscard]] ParsedOptions parseServiceOptions(const QStringList& arguments);
// The text --help prints, also shown after a usage error.
[[nodiscard]] QString serviceUsage();

// mqtt://HOST[:PORT] or mqtts://HOST[:PORT]; fills host, port, tls and url.
[[nodiscard]] std::optional<MqttOptions> parseMqttUrl(const QString& text);
// Reads the password file and checks the CA file; the reason when either is no good.
[[nodiscard]] std::optional<QString> loadMqttFiles(MqttOptions& mqtt);

// "A.B.C.D:PORT" with a dotted-quad IPv4 address and a port 0 to 65535.
[[nodiscard]] std::optional<ListenEndpoint> parseListenEndpoint(const QString& text);

} // namespace quorvel::service
