#pragma once

#include "service/app/serviceoptions.h"
#include "service/history/historysettings.h"
#include "service/http/listenendpoint.h"
#include "service/mqtt/mqttoptions.h"
#include "service/outputs/influx/influxsettings.h"
#include "service/state/sensorsettings.h"

#include "acquisition/sensorlist.h"
#include "runtime/configyaml.h"
#include "runtime/optiondecl.h"
#include "sources/kinds/sourcekinds.h"

#include <QList>
#include <QLocale>
#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

namespace quorvel::service {

// How a source whose every sensor fails is brought back (key recovery): after that long, a new search of
// the bus, then the command, then the bus master's driver unbound and bound, each at most once per after;
// then again after a pause that doubles up to an hour, until a read is good.
struct RecoverySettings {
    // recovery: false turns it off.
    bool enabled = true;
    int afterSeconds = 60;
    // A program and its arguments, no shell; empty: no such step.
    QStringList command;
    // w1 only, off unless given: the bus master's device as its driver's folder lists it (e.g.
    // /sys/bus/platform/drivers/w1-gpio/onewire@0), whose name is written to the folder's unbind and bind.
    // Writing them needs what the unit must allow.
    QString rebindDevice;

    friend bool operator==(const RecoverySettings&, const RecoverySettings&) = default;
};

// One source of readings, as the configuration file or the command line sets it up. Two that compare equal
// are the same source: a reload leaves it running.
struct SourceConfig {
    QString name; // unique; letters, digits, - and _
    QString kind = QLatin1String(acquisition::sourceKinds().front()->name);
    // What its kind's keys gave; its reader is made from these.
    acquisition::SourceSettings kindSettings;
    // Where it is, as messages and the page say it: its kind's reading of the settings.
    QString address;
    QString logPath; // empty: no log; "-": standard output
    // In the list's order; empty: the built-in thirteen (kind adapter), every sensor found (the others).
    QList<acquisition::ListedSensor> sensors;
    // The row of its kind; the table's first for a kind not in it, which a checked configuration never has.
    [[nodiscard]] const acquisition::SourceKind& sourceKind() const;
    // The sensors to poll, in order: the list's, else its kind's default ones; none while a source that
    // finds its own has not looked yet.
    [[nodiscard]] QList<acquisition::ListedSensor> polled() const;
    // Polls every temperature sensor it finds at start and after a reload.
    [[nodiscard]] bool findsSensors() const { return !sourceKind().defaultSensors && sensors.isEmpty(); }
    // What in its setup cannot work as things stand, each a line that names the source; probe: --check's.
    [[nodiscard]] QStringList setupWarnings(bool probe) const;
    // Where the sensors came from, for messages: the sensors_file, or empty.
    QString sensorsFile;
    // Between the starts of two sweeps (key interval, else the top level's, else --interval); 0: as fast
    // as the source answers.
    int intervalSeconds = 0;
    // Offset and limits by ROM code (keys offset, low, high, hold, hysteresis beside a sensor's id and name).
    SensorSettingsMap settings;
    // max_step, range, resolution and save_resolution for all its sensors.
    SensorDefaults sensorDefaults;
    RecoverySettings recovery;

    friend bool operator==(const SourceConfig&, const SourceConfig&) = default;
};

// Everything the service runs: its sources and what they share.
struct ServiceConfig {
    std::vector<SourceConfig> sources;
    std::optional<ListenEndpoint> listen;
    QString webConfig;
    int staleAfterSeconds = 300;
    std::optional<MqttOptions> mqtt;
    // Run on every change of a sensor's alarm: a program and its arguments, no shell (key alarm_command).
    // Empty: none.
    QStringList alarmCommand;
    QLocale locale;
    // The file it was read from; empty when the command line set it up.
    QString file;
    // End after this many sweeps of all sources together (--sweeps); nothing: run until a signal ends it.
    std::optional<qint64> sweeps;
    // Where the readings are kept; nothing: no store (no store: block, store: false or --no-store).
    std::optional<history::StoreSettings> store;
    // --store or --no-store chose it: a reload of the file keeps it.
    bool storeFromCommandLine = false;
    // The databases the store's samples are written to (outputs: influx:), in the file's order.
    QList<influx::InfluxSettings> influx;
};

using runtime::ConfigError;
namespace configyaml = runtime::configyaml;

struct ConfigResult {
    std::optional<ServiceConfig> config;
    QList<ConfigError> errors; // none when config is set
};

// A source's name stands in labels, topics and the page: short, and of letters, digits, - and _ only.
inline constexpr qsizetype MaxSourceNameLength = 64;

// One service runs at most this many sources: as many as one of the sensor lists holds sensors. Each costs
// descriptors, a bus its own thread, and every scrape of /metrics and the page walks all their sensors;
// at a hundred of a hundred sensors a scrape still answers within its client's patience. More sources
// belong to a second service with a file of its own.
inline constexpr qsizetype MaxSources = 100;

// A configuration file is at most this large: a hundred sources of a hundred sensors with names fit in a
// tenth of it.
inline constexpr qint64 MaxConfigBytes = 1024 * 1024;

// Reads and checks a configuration file, and every file it names (sensors_file, web_config, the MQTT
// password and CA files); opens no socket and sends nothing. Every fault is told, up to twenty.
[[nodiscard]] ConfigResult readServiceConfig(const QString& path);

// An entry's whole number within the bounds; nothing when it is none, told as '"x" is not a whole number
// [of UNIT] from LOW to HIGH' (or as no scalar, by the entry's own fault).
[[nodiscard]] std::optional<int> readWholeNumber(const configyaml::Entry& entry,
                                                 const runtime::WholeBounds& bounds,
                                                 configyaml::Faults& faults, const char* unit = nullptr);

// What a command line without --config means: one source named "adapter".
[[nodiscard]] ServiceConfig configFromOptions(const ServiceOptions& options, const QString& adapter);

} // namespace quorvel::service
