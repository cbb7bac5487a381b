#pragma once

#include "acquisition/sensorlist.h"
#include "service/http/listeneroptions.h"
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
    // Between the starts of two sweeps of a source (--interval); 0: as fast as the source answers.
    int intervalSeconds = 0;
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
    // --store: the history store's file, the rest of its settings the defaults; --no-store: none, whatever
    // the configuration file says.
    QString storePath;
    bool noStore = false;
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

// One option of the command line and its key in the configuration file, declared by the room it sets. The
// MQTT options go to options.mqtt, staged there until the end shows --mqtt was given.
using OptionSpec = runtime::OptionDecl<ServiceOptions>;

inline constexpr const char* StandardOutputLog = "-";
// The longest interval between two sweeps: a day.
inline constexpr int MaxIntervalSeconds = 24 * 3600;
// The one source a command line sets up.
inline constexpr const char* CommandLineSource = "adapter";

// Every option but --help and --version, in the order the synopsis lists them; the MQTT options last,
// right after --mqtt.
[[nodiscard]] const QList<OptionSpec>& serviceOptionTable();
// "invalid value "V" for --NAME: reason" when the option's bounds or its check refuse the value; else the
// value is applied. NAME is the option's name as given.
[[nodiscard]] std::optional<QString> applyOption(const OptionSpec& option, const QString& name,
                                                 const QString& value, ServiceOptions& options);
// A value of an MQTT option taken alone, beside the defaults of the others: the reason its topics would
// land where others read.
[[nodiscard]] std::optional<QString> aloneProblem(const OptionSpec& option, const QString& value);
// The rules between options once all are applied: --mqtt's completed, or the option that needs it told.
[[nodiscard]] std::optional<QString> completeOptions(ServiceOptions& options, const QString& needsMqtt);
// What the usage text adds to an option's help, and the manual page must say too: "default 60", "5 to 3600"
// or "at least 1".
[[nodiscard]] QStringList optionLimits(const OptionSpec& option);

// Reads the command line (arguments.first() is the program). Parses only; opens and binds nothing.
[[nodiscard]] ParsedOptions parseServiceOptions(const QStringList& arguments);
// The text --help prints, also shown after a usage error.
[[nodiscard]] QString serviceUsage();

} // namespace quorvel::service
