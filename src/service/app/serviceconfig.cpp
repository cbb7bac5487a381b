#include "service/app/serviceconfig.h"

#include "service/app/alarmsettingscheck.h"
#include "service/app/checksconfig.h"
#include "service/app/influxconfig.h"
#include "service/app/recoveryconfig.h"
#include "service/app/storeconfig.h"

#include "service/http/webconfig.h"

#include "sources/adapter/adapteraddress.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>

#include <cmath>

namespace quorvel::service {

namespace {

using configyaml::Entry;
using configyaml::Faults;
using configyaml::Fields;

bool isSourceNameCharacter(QChar c)
{
    return (c.unicode() < 128 && c.isLetterOrNumber()) || c == u'-' || c == u'_';
}

// What a source's reader found, with the places the checks across sources point at.
struct ReadSource {
    SourceConfig config;
    YAML::Mark mark;
    YAML::Mark nameMark;
    YAML::Mark logMark;
    // Where each listed sensor stands: its id, or the sensors_file.
    QList<YAML::Mark> sensorMarks;
    QList<QString> sensorWhere;
    std::optional<int> interval; // its own; nothing: the top level's
    // A kind: that names no kind; its keys and its sensors' families are then not checked.
    bool kindKnown = true;
};

acquisition::RomFamilies familiesOf(const ReadSource& source)
{
    return source.kindKnown ? source.config.sourceKind().families : acquisition::RomFamilies::AnyThermometer;
}

class ConfigReader {
public:
    ConfigReader(const QString& path, Faults& faults)
        : m_faults(faults), m_folder(QFileInfo(path).absoluteDir())
    {
    }

    std::optional<ServiceConfig> read(const YAML::Node& root);

private:
    QString resolved(const QString& path) const { return QDir::cleanPath(m_folder.absoluteFilePath(path)); }
    void fail(const YAML::Mark& mark, const QString& message) { m_faults.add(mark, message); }
    void fail(const Entry& entry, const QString& message) { fail(entry.mark(), entry.where + message); }

    std::optional<ReadSource> readSource(const YAML::Node& node, const QString& where);
    void readSourceFields(Fields& fields, ReadSource& source);
    // The keys its kind declares, each given or its default.
    void readKindKeys(Fields& fields, SourceConfig& source);
    // The keys of the other kinds, each told as theirs, and how many were; with the kind unknown, taken
    // untold.
    int takeOtherKindsKeys(Fields& fields, const ReadSource& read, bool kindGiven);
    void readSensors(const Entry& entry, ReadSource& source);
    void readSensorsFile(const Entry& entry, ReadSource& source);
    // A sensor's calibration and limits; nothing when it has none or they are no good (told).
    std::optional<SensorSettings> readSensorSettings(Fields& fields);
    // A number of the file; nothing, told, when the value is none or not finite.
    std::optional<double> number(const Entry& entry);
    void checkAcrossSources(const std::vector<ReadSource>& sources, const QStringList& where);
    // Applies the keys of the options declared in this mapping of the file (the top level: section empty).
    bool readOptionKeys(Fields& fields, const QString& section);
    bool readSection(const Entry& entry, const QString& section);
    void loadMqtt(MqttOptions& mqtt);

    Faults& m_faults;
    QDir m_folder;
    ServiceOptions m_options;
    QHash<QString, YAML::Mark> m_optionMarks; // option's name -> where its key stands
};

std::optional<ReadSource> ConfigReader::readSource(const YAML::Node& node, const QString& where)
{
    if (!node.IsMap()) {
        fail(node.Mark(), where + QStringLiteral(": expected a mapping with name, address and the like"));
        return std::nullopt;
    }
    const qsizetype before = m_faults.count();
    ReadSource source;
    source.mark = node.Mark();
    {
        Fields fields(node, where, m_faults);
        readSourceFields(fields, source);
    } // unknown keys are told here
    if (m_faults.count() > before)
        return std::nullopt;
    return source;
}

void ConfigReader::readSourceFields(Fields& fields, ReadSource& source)
{
    const QString& where = fields.where();
    const auto required = [&](const char* key) -> std::optional<std::pair<Entry, QString>> {
        const auto entry = fields.take(key);
        if (!entry)
            fail(fields.mark(), QStringLiteral("%1: %2 is missing").arg(where, QLatin1String(key)));
        else if (const auto text = configyaml::scalarText(*entry, m_faults))
            return std::pair{*entry, *text};
        return std::nullopt;
    };
    if (const auto name = required("name")) {
        const QString& text = name->second;
        if (text.isEmpty() || text.size() > MaxSourceNameLength ||
            !std::all_of(text.cbegin(), text.cend(), isSourceNameCharacter))
            fail(name->first,
                 QStringLiteral(": \"%1\" is not a source's name: 1 to %2 letters, digits, - and _")
                     .arg(acquisition::escapedForMessage(text))
                     .arg(MaxSourceNameLength));
        source.config.name = text;
        source.nameMark = name->first.mark();
    }
    const auto kindEntry = fields.take("kind");
    if (const auto& entry = kindEntry) {
        const auto kind = configyaml::scalarText(*entry, m_faults);
        source.kindKnown = kind && acquisition::findSourceKind(*kind);
        if (kind && !source.kindKnown) {
            QStringList kinds;
            for (const acquisition::SourceKind* known : acquisition::sourceKinds())
                kinds << QLatin1String(known->name);
            fail(*entry, QStringLiteral(": \"%1\" is not a kind of source known here (%2)")
                             .arg(acquisition::escapedForMessage(*kind), kinds.join(QStringLiteral(", "))));
        } else if (kind) {
            source.config.kind = *kind;
        }
    }
    // Without its kind the source's own keys mean nothing: what would follow from the kind is held back.
    // So is what a key of another kind says when no kind is given: the kind is what is missing.
    const int foreign = takeOtherKindsKeys(fields, source, kindEntry.has_value());
    if (source.kindKnown && (kindEntry || foreign == 0))
        readKindKeys(fields, source.config);
    if (const auto entry = fields.take("log")) {
        if (const auto log = configyaml::scalarText(*entry, m_faults); log && log->isEmpty())
            fail(*entry, QStringLiteral(": expected a file name or -"));
        else if (log)
            source.config.logPath = *log == QLatin1String(StandardOutputLog) ? *log : resolved(*log);
        source.logMark = entry->mark();
    }
    if (const auto entry = fields.take("interval"))
        if (const auto seconds = readWholeNumber(*entry, {0, MaxIntervalSeconds}, m_faults, "seconds"))
            source.interval = *seconds;
    const auto sensors = fields.take("sensors");
    const auto sensorsFile = fields.take("sensors_file");
    if (sensors && sensorsFile)
        fail(sensorsFile->key.Mark(),
             where + QStringLiteral(": sensors and sensors_file both given; give one"));
    else if (sensors)
        readSensors(*sensors, source);
    else if (sensorsFile)
        readSensorsFile(*sensorsFile, source);
    bool checks = false;
    readCheckKeys(fields, source.config.sensorDefaults, m_faults, checks);
    if (const auto entry = fields.take("save_resolution"))
        source.config.sensorDefaults.saveResolution =
            readSaveResolution(*entry, source.config.sourceKind(), m_faults);
    if (const auto entry = fields.take("recovery"))
        if (const auto recovery = readRecovery(*entry, source.config.sourceKind(), m_folder, m_faults))
            source.config.recovery = *recovery;
    const bool resolutionAsked =
        source.config.sensorDefaults.resolution ||
        std::any_of(source.config.settings.cbegin(), source.config.settings.cend(),
                    [](const SensorSettings& sensor) { return sensor.resolution.has_value(); });
    if (source.kindKnown && resolutionAsked && !source.config.sourceKind().setsResolution)
        fail(fields.mark(),
             QStringLiteral("%1: resolution: a source of kind %2 cannot set a sensor's resolution "
                            "(its pages give what it converted)")
                 .arg(where, source.config.kind));
}

void ConfigReader::readKindKeys(Fields& fields, SourceConfig& source)
{
    const acquisition::SourceKind& kind = source.sourceKind();
    for (const acquisition::SourceKey& key : kind.keys) {
        const auto entry = fields.take(key.name);
        if (!entry && !key.defaultValue) {
            fail(fields.mark(),
                 QStringLiteral("%1: %2 is missing").arg(fields.where(), QLatin1String(key.name)));
            continue;
        }
        const auto text = entry ? configyaml::scalarText(*entry, m_faults)
                                : std::optional<QString>(QLatin1String(key.defaultValue));
        if (!text)
            continue;
        const QString value = entry && key.path && !text->isEmpty() ? resolved(*text) : *text;
        const auto problem = key.read(value, source.kindSettings);
        if (problem && entry)
            fail(*entry, QStringLiteral(": ") + *problem);
        else if (problem)
            fail(fields.mark(),
                 QStringLiteral("%1.%2: %3").arg(fields.where(), QLatin1String(key.name), *problem));
    }
    source.address = kind.where(source.kindSettings);
}

int ConfigReader::takeOtherKindsKeys(Fields& fields, const ReadSource& read, bool kindGiven)
{
    int told = 0;
    const SourceConfig& source = read.config;
    const bool kindKnown = read.kindKnown;
    const acquisition::SourceKind& own = source.sourceKind();
    const auto declares = [](const acquisition::SourceKind& kind, const char* name) {
        return std::any_of(kind.keys.begin(), kind.keys.end(), [name](const acquisition::SourceKey& key) {
            return qstrcmp(key.name, name) == 0;
        });
    };
    QHash<QString, QStringList> kindsOf; // another kind's key -> the kinds that declare it
    QStringList keys;
    for (const acquisition::SourceKind* kind : acquisition::sourceKinds())
        for (const acquisition::SourceKey& key : kind->keys)
            if (!kindKnown || !declares(own, key.name)) {
                const QString name = QLatin1String(key.name);
                if (!kindsOf.contains(name))
                    keys << name;
                kindsOf[name] << QLatin1String(kind->name);
            }
    for (const QString& name : keys) {
        const auto entry = fields.take(name.toLatin1().constData(), false);
        if (!entry || !kindKnown)
            continue;
        ++told;
        fail(entry->key.Mark(),
             QStringLiteral("%1: a key of kind: %2, and this source is kind: %3%4")
                 .arg(entry->where, kindsOf.value(name).join(QStringLiteral(" or ")), source.kind,
                      kindGiven
                          ? QString()
                          : QStringLiteral(" (no kind: given); add kind: ") + kindsOf.value(name).front()));
    }
    return told;
}

void ConfigReader::readSensors(const Entry& entry, ReadSource& source)
{
    if (!entry.value.IsSequence() || entry.value.size() == 0) {
        fail(entry, QStringLiteral(": expected a list of 1 to %1 sensors, each - id: ROM code")
                        .arg(acquisition::MaxListedSensors));
        return;
    }
    if (entry.value.size() > std::size_t(acquisition::MaxListedSensors)) {
        fail(entry, QStringLiteral(": more than %1 sensors").arg(acquisition::MaxListedSensors));
        return;
    }
    QHash<QString, QString> listed; // ROM code -> where
    for (std::size_t i = 0; i < entry.value.size(); ++i) {
        const YAML::Node item = entry.value[i];
        const QString where = QStringLiteral("%1[%2]").arg(entry.where).arg(i);
        if (!item.IsMap()) {
            fail(item.Mark(), where + QStringLiteral(": expected id: and optionally name:"));
            continue;
        }
        Fields fields(item, where, m_faults);
        acquisition::ListedSensor sensor;
        const auto id = fields.take("id");
        if (!id) {
            fail(item.Mark(), where + QStringLiteral(": id is missing"));
        } else if (const auto text = configyaml::scalarText(*id, m_faults)) {
            const acquisition::RomCodeReading reading = acquisition::readRomCode(*text, familiesOf(source));
            if (!reading.romCode)
                fail(*id, QStringLiteral(": ") + reading.problem);
            else if (listed.contains(*reading.romCode))
                fail(*id, QStringLiteral(": ROM code %1 is listed already, as %2")
                              .arg(*reading.romCode, listed.value(*reading.romCode)));
            else
                listed.insert(*reading.romCode, where);
            sensor.romCode = reading.romCode.value_or(QString());
        }
        if (const auto name = fields.take("name")) {
            const auto text = configyaml::scalarText(*name, m_faults);
            const qsizetype length = text ? text->trimmed().toUcs4().size() : 0;
            if (length > acquisition::MaxSensorNameLength)
                fail(*name, QStringLiteral(": a name has at most %1 characters, this one has %2")
                                .arg(acquisition::MaxSensorNameLength)
                                .arg(length));
            else if (const auto problem = text ? acquisition::sensorNameProblem(*text) : std::nullopt)
                fail(*name, QStringLiteral(": ") + *problem);
            else if (text)
                sensor.name = text->trimmed();
        }
        if (const auto settings = readSensorSettings(fields); settings && !sensor.romCode.isEmpty())
            source.config.settings.insert(sensor.romCode, *settings);
        source.config.sensors.append(sensor);
        source.sensorMarks.append(id ? id->mark() : item.Mark());
        source.sensorWhere.append(where);
    }
}

std::optional<double> ConfigReader::number(const Entry& entry)
{
    return readNumber(entry, m_faults);
}

std::optional<SensorSettings> ConfigReader::readSensorSettings(Fields& fields)
{
    SensorSettings settings;
    bool any = false;
    bool good = true;
    const auto take = [&](const SettingBounds& bounds) -> std::optional<std::pair<Entry, double>> {
        const auto entry = fields.take(bounds.key);
        if (!entry)
            return std::nullopt;
        any = true;
        auto value = number(*entry);
        if (const auto problem = value ? settingProblem(bounds, *value) : std::nullopt) {
            fail(*entry, QStringLiteral(": ") + *problem);
            value.reset();
        }
        good = good && value.has_value();
        return value ? std::optional(std::pair{*entry, *value}) : std::nullopt;
    };
    if (const auto offset = take(OffsetBounds))
        settings.offset = offset->second;
    if (const auto low = take(LowBounds))
        settings.low = low->second;
    const auto high = take(HighBounds);
    if (high)
        settings.high = high->second;
    if (high && settings.low && !(*settings.low < *settings.high)) {
        fail(high->first,
             QStringLiteral(": high (%1) must be above low (%2)").arg(high->second).arg(*settings.low));
        good = false;
    }
    if (const auto hold = take(HoldBounds))
        settings.holdSeconds = int(hold->second);
    if (const auto hysteresis = take(HysteresisBounds))
        settings.hysteresis = hysteresis->second;
    const qsizetype before = m_faults.count();
    readCheckKeys(fields, settings, m_faults, any);
    good = good && m_faults.count() == before;
    if (!any || !good)
        return std::nullopt;
    return settings;
}

void ConfigReader::readSensorsFile(const Entry& entry, ReadSource& source)
{
    const auto path = configyaml::scalarText(entry, m_faults);
    if (!path)
        return;
    source.config.sensorsFile = resolved(*path);
    const acquisition::SensorListResult list =
        acquisition::readSensorList(source.config.sensorsFile, familiesOf(source));
    for (const QString& error : list.errors)
        fail(entry, QStringLiteral(": ") + error);
    source.config.sensors = list.sensors;
    for (qsizetype i = 0; i < list.sensors.size(); ++i) {
        source.sensorMarks.append(entry.mark());
        source.sensorWhere.append(entry.where);
    }
}

void ConfigReader::checkAcrossSources(const std::vector<ReadSource>& sources, const QStringList& where)
{
    QHash<QString, qsizetype> names;
    QHash<QString, qsizetype> logs;
    QHash<QString, qsizetype> roms;
    const auto named = [&](qsizetype i) {
        return QStringLiteral("%1 (%2)").arg(where.at(i), sources.at(std::size_t(i)).config.name);
    };
    for (qsizetype i = 0; i < qsizetype(sources.size()); ++i) {
        const ReadSource& source = sources.at(std::size_t(i));
        if (const auto first = names.constFind(source.config.name); first != names.constEnd())
            fail(source.nameMark, QStringLiteral("%1.name: %2 is the name of %3 already")
                                      .arg(where.at(i), source.config.name, where.at(*first)));
        else
            names.insert(source.config.name, i);
        const QString& log = source.config.logPath;
        if (const auto first = logs.constFind(log); !log.isEmpty() && first != logs.constEnd())
            fail(source.logMark,
                 QStringLiteral("%1.log: %2 is the log of %3 already; each source writes its own")
                     .arg(where.at(i), acquisition::escapedForMessage(log), named(*first)));
        else if (!log.isEmpty())
            logs.insert(log, i);
        const QList<acquisition::ListedSensor> sensors = source.config.polled();
        for (qsizetype k = 0; k < sensors.size(); ++k) {
            const QString& rom = sensors.at(k).romCode;
            const auto first = roms.constFind(rom);
            if (first == roms.constEnd()) {
                roms.insert(rom, i);
                continue;
            }
            const bool builtIn = source.config.sensors.isEmpty();
            fail(builtIn ? source.mark : source.sensorMarks.at(k),
                 builtIn ? QStringLiteral("%1: polls the built-in thirteen sensors, and %2 polls %3 too; an "
                                          "ID names one sensor: list this source's sensors")
                               .arg(where.at(i), named(*first), rom)
                         : QStringLiteral("%1: %2 is polled by %3 already; an ID names one sensor")
                               .arg(source.sensorWhere.at(k), rom, named(*first)));
            if (builtIn)
                break;
        }
    }
}

bool ConfigReader::readOptionKeys(Fields& fields, const QString& section)
{
    bool good = true;
    qsizetype flagsFrom = 0;
    // Values before flags: the flags' keys came last when the keys stood for a command line.
    QList<const OptionSpec*> options;
    for (const OptionSpec& option : serviceOptionTable())
        if (!option.key.isEmpty() && option.section == section)
            options.insert(option.valueName.isEmpty() ? options.size() : flagsFrom++, &option);
    for (const OptionSpec* row : options) {
        const OptionSpec& option = *row;
        const auto entry = fields.take(option.key.toLatin1().constData());
        if (!entry)
            continue;
        const QString& name = option.names.first();
        m_optionMarks.insert(name, entry->mark());
        std::optional<QString> problem;
        if (option.valueName.isEmpty()) {
            bool on = true;
            if (!YAML::convert<bool>::decode(entry->value, on))
                problem = QStringLiteral("expected true or false");
            else if (on != option.keyInverts)
                problem = applyOption(option, name, QString(), m_options);
        } else if (const auto value = configyaml::scalarText(*entry, m_faults)) {
            const QString taken = option.path && !value->isEmpty() ? resolved(*value) : *value;
            problem = applyOption(option, name, taken, m_options);
            if (!problem)
                problem = aloneProblem(option, taken);
        } else {
            good = false;
        }
        if (problem) {
            fail(*entry, QStringLiteral(": ") + *problem);
            good = false;
        }
    }
    return good;
}

bool ConfigReader::readSection(const Entry& entry, const QString& section)
{
    // The options the others of the mapping need: the mapping is nothing without them.
    QList<const OptionSpec*> required;
    for (const OptionSpec& option : serviceOptionTable())
        if (option.section == section && option.needs.isEmpty())
            required << &option;
    if (!entry.value.IsMap()) {
        fail(entry, QStringLiteral(": expected a mapping with %1: and the like").arg(required.front()->key));
        return false;
    }
    Fields fields(entry.value, entry.where, m_faults);
    bool good = readOptionKeys(fields, section);
    for (const OptionSpec* option : required)
        if (!m_optionMarks.contains(option->names.first())) {
            fail(entry, QStringLiteral(": %1 is missing").arg(option->key));
            good = false;
        }
    return good;
}

// The MQTT password and CA files, each read alone so that a fault points at its own key.
void ConfigReader::loadMqtt(MqttOptions& mqtt)
{
    MqttOptions passwordOnly = mqtt;
    passwordOnly.caFile.clear();
    if (const auto problem = loadMqttFiles(passwordOnly))
        fail(m_optionMarks.value(QStringLiteral("mqtt-password-file")),
             QStringLiteral("mqtt.password_file: ") + *problem);
    mqtt.password = passwordOnly.password;
    MqttOptions caOnly = mqtt;
    caOnly.passwordFile.clear();
    if (const auto problem = loadMqttFiles(caOnly))
        fail(m_optionMarks.value(QStringLiteral("mqtt-cafile")), QStringLiteral("mqtt.cafile: ") + *problem);
}

std::optional<ServiceConfig> ConfigReader::read(const YAML::Node& root)
{
    if (!root.IsMap()) {
        fail(root.Mark(), QStringLiteral("expected a mapping with sources: and the keys they share"));
        return std::nullopt;
    }
    Fields fields(root, QString(), m_faults);
    std::vector<ReadSource> sources;
    QStringList where;
    if (const auto entry = fields.take("sources"); !entry) {
        fail(root.Mark(), QStringLiteral("sources is missing: a configuration has one source or more"));
    } else if (!entry->value.IsSequence() || entry->value.size() == 0) {
        fail(*entry, QStringLiteral(": expected a list of one source or more"));
    } else if (entry->value.size() > std::size_t(MaxSources)) {
        fail(*entry, QStringLiteral(": %1 sources; one service runs at most %2: run the rest in a second "
                                    "service with a file of its own")
                         .arg(entry->value.size())
                         .arg(MaxSources));
    } else {
        for (std::size_t i = 0; i < entry->value.size(); ++i) {
            where.append(QStringLiteral("sources[%1]").arg(i));
            if (auto source = readSource(entry->value[i], where.last()))
                sources.push_back(std::move(*source));
            else
                where.removeLast();
        }
        checkAcrossSources(sources, where);
    }
    QStringList alarmCommand;
    if (const auto command = fields.take("alarm_command"))
        alarmCommand = readCommand(*command, m_folder, m_faults);
    std::optional<history::StoreSettings> store;
    if (const auto entry = fields.take("store"))
        store = readStoreBlock(*entry, m_folder, m_faults);
    QList<influx::InfluxSettings> influx;
    if (const auto entry = fields.take("outputs")) {
        influx = readOutputsBlock(*entry, m_folder, m_faults);
        // The store's samples are what an output sends, and its cursors are kept there.
        if (!store)
            fail(*entry,
                 QStringLiteral(": an output sends the store's samples: it needs store: with a path"));
    }
    // The options' keys are applied as the command line's options are, the MQTT ones staged until the end.
    m_options.mqtt.emplace();
    bool good = readOptionKeys(fields, QString());
    QHash<QString, YAML::Mark> sectionMarks;
    QString neededSection; // where the options that need another stand
    for (const OptionSpec& option : serviceOptionTable()) {
        if (!option.needs.isEmpty() && neededSection.isEmpty())
            neededSection = option.section;
        if (option.section.isEmpty() || sectionMarks.contains(option.section))
            continue;
        sectionMarks.insert(option.section, YAML::Mark::null_mark());
        if (const auto entry = fields.take(option.section.toLatin1().constData())) {
            good = readSection(*entry, option.section) && good;
            sectionMarks.insert(option.section, entry->mark());
        }
    }
    if (!good)
        return std::nullopt;
    // Only the rules between two options are left: the CA file's and the password file's.
    if (const auto problem = completeOptions(m_options, QString())) {
        fail(sectionMarks.value(neededSection), neededSection + QStringLiteral(": ") + *problem);
        return std::nullopt;
    }
    ServiceConfig config = configFromOptions(m_options, QString());
    if (config.mqtt)
        loadMqtt(*config.mqtt);
    if (!config.webConfig.isEmpty())
        if (const WebConfigResult web = readWebConfig(config.webConfig); !web.config)
            fail(m_optionMarks.value(QStringLiteral("web-config")),
                 QStringLiteral("web_config: ") + web.error);
    config.sources.clear();
    for (ReadSource& source : sources) {
        source.config.intervalSeconds = source.interval.value_or(m_options.intervalSeconds);
        config.sources.push_back(std::move(source.config));
    }
    config.alarmCommand = alarmCommand;
    config.store = store;
    config.influx = influx;
    return config;
}

} // namespace

ConfigResult readServiceConfig(const QString& path)
{
    Faults faults(path);
    const QByteArray bytes = configyaml::readFile(
        path, MaxConfigBytes,
        QStringLiteral("larger than a configuration file can be: at most %1 bytes (1 MiB)")
            .arg(MaxConfigBytes),
        faults);
    if (const qsizetype bad = acquisition::firstNonUtf8Byte(bytes); bad >= 0) {
        // Told at the character it stands at, as the parser counts columns, rather than taken as U+FFFD.
        const qsizetype lineStart = bytes.lastIndexOf('\n', bad) + 1;
        const QByteArrayView before = QByteArrayView(bytes).sliced(lineStart, bad - lineStart);
        YAML::Mark mark;
        mark.line = int(bytes.first(bad).count('\n'));
        mark.column =
            int(std::count_if(before.begin(), before.end(), [](char c) { return (c & 0xC0) != 0x80; }));
        faults.add(mark, QStringLiteral("byte 0x%1 is not UTF-8 text; a configuration is UTF-8")
                             .arg(quint8(bytes.at(bad)), 2, 16, QLatin1Char('0')));
    }
    if (faults.any())
        return {std::nullopt, faults.told()};
    std::optional<ServiceConfig> config;
    if (const auto root = configyaml::loadDocument(bytes, faults)) {
        if (root->IsNull())
            faults.addToFile(
                QStringLiteral("sets up nothing: a configuration has sources: and one source or more"));
        else
            config = ConfigReader(path, faults).read(*root);
    }
    if (faults.any() || !config)
        return {std::nullopt, faults.told()};
    config->file = QFileInfo(path).absoluteFilePath();
    return {config, {}};
}

const acquisition::SourceKind& SourceConfig::sourceKind() const
{
    const acquisition::SourceKind* found = acquisition::findSourceKind(kind);
    Q_ASSERT(found);
    return found ? *found : *acquisition::sourceKinds().front();
}

QList<acquisition::ListedSensor> SourceConfig::polled() const
{
    const auto defaultSensors = sourceKind().defaultSensors;
    return sensors.isEmpty() && defaultSensors ? defaultSensors() : sensors;
}

QStringList SourceConfig::setupWarnings(bool probe) const
{
    const auto look = sourceKind().setupWarnings;
    QStringList lines;
    for (const QString& warning : look ? look(kindSettings, sensors, probe) : QStringList())
        lines << QStringLiteral("source %1: warning: %2").arg(name, warning);
    return lines;
}

std::optional<int> readWholeNumber(const configyaml::Entry& entry, const runtime::WholeBounds& bounds,
                                   configyaml::Faults& faults, const char* unit)
{
    const auto text = configyaml::scalarText(entry, faults);
    if (!text)
        return std::nullopt;
    if (const auto number = runtime::wholeNumber(text->trimmed(), bounds))
        return int(*number);
    faults.add(entry.mark(),
               entry.where + QStringLiteral(": \"%1\" is not a whole number%2 from %3 to %4")
                                 .arg(acquisition::escapedForMessage(*text),
                                      unit ? QStringLiteral(" of %1").arg(QLatin1String(unit)) : QString())
                                 .arg(bounds.low)
                                 .arg(bounds.high));
    return std::nullopt;
}

ServiceConfig configFromOptions(const ServiceOptions& options, const QString& adapter)
{
    SourceConfig source;
    source.name = QLatin1String(CommandLineSource);
    // The command line's address is the first key of the table's first kind, checked by the option parser.
    const acquisition::SourceKind& kind = source.sourceKind();
    if (!adapter.isEmpty() && !kind.keys.front().read(adapter, source.kindSettings))
        source.address = kind.where(source.kindSettings);
    source.logPath = options.logPath;
    source.sensors = options.sensors;
    source.sensorsFile = options.sensorList;
    source.intervalSeconds = options.intervalSeconds;
    ServiceConfig config;
    config.sources.push_back(std::move(source));
    config.listen = options.metrics;
    config.webConfig = options.webConfig;
    config.staleAfterSeconds = options.staleAfterSeconds;
    config.mqtt = options.mqtt;
    config.locale = options.locale;
    config.sweeps = options.sweeps;
    applyStoreOptions(options, config);
    return config;
}

} // namespace quorvel::service
