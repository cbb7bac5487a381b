#include "service/app/serviceoptions.h"

#include "service/app/exitstatus.h"
#include "service/history/historysettings.h"

#include "runtime/localeformats.h"

#include "sources/adapter/adapteraddress.h"

#include <QCommandLineParser>

#include <limits>

namespace quorvel::service {

namespace {

const char* const Description =
    R"(Polls the temperature sensors through the adapter's sensor pages without a
window, writes one log line per sweep as the window program does, serves the
readings to people and machines and publishes them to an MQTT broker.)";

const char* const SignalsText = "SIGTERM and SIGINT end the program between records, with status 0.\n\n";

// The line width of Qt's help text, which the synopsis keeps to as well.
constexpr qsizetype UsageWidth = 79;

using runtime::setNamed;
using runtime::setValue;
using runtime::WholeBounds;

// The MQTT options apply to options.mqtt, which the parser stages until the end.
MqttOptions& stagedMqtt(ServiceOptions& options)
{
    return *options.mqtt;
}

QList<OptionSpec> makeTable()
{
    const ServiceOptions service;
    const auto number = [](auto n) { return QString::number(n); };
    using Value = const QString&;
    using Options = ServiceOptions&;
    QList<OptionSpec> table{
        {.names = {"config"},
         .valueName = "FILE",
         .help = "read the sources and all the rest from this configuration file (YAML); only --check, "
                 "--sweeps, --store and --no-store go with it. SIGHUP reads it again.",
         .apply = [](Value v,
                     Options o) { return setNamed(o.configFile, v, "the configuration's file name"); }},
        {.names = {"log"},
         .valueName = "FILE",
         .help =
             QStringLiteral("append one line per sweep to FILE, created if missing; %1 writes to standard "
                            "output. SIGHUP opens FILE anew (for log rotation).")
                 .arg(QLatin1StringView(StandardOutputLog)),
         .apply = [](Value v, Options o) { return setNamed(o.logPath, v, "a file name or -"); }},
        {.names = {"adapter"},
         .valueName = "ADDR[:PORT]",
         .help = QStringLiteral("the adapter's IPv4 address and port (default port 80); default: the "
                                "AdapterAddress setting of the window program, else %1")
                     .arg(QLatin1StringView(acquisition::DefaultAdapterAddress)),
         .apply = [](Value v, Options o) -> std::optional<QString> {
             if ((o.adapter = acquisition::parseAdapterAddress(v)))
                 return std::nullopt;
             return QStringLiteral("expected an IPv4 address with an optional :PORT (1 to 65535)");
         }},
        runtime::lifted<ServiceOptions>(listenOptionDecl(),
                                        std::function([](Options o) -> auto& { return o.metrics; })),
        {.names = {"stale-after"},
         .valueName = "SECONDS",
         .help = "mark a sensor stale on the page after this long without a good read",
         .defaultValue = number(service.staleAfterSeconds),
         .bounds = WholeBounds{1, 366 * 24 * 3600},
         .key = "stale_after",
         .apply = [](Value v, Options o) { return setValue(o.staleAfterSeconds, int(v.toLongLong())); }},
        {.names = {"interval"},
         .valueName = "SECONDS",
         .help = "start a sweep this long after the start of the one before; a sweep that takes longer is "
                 "counted an overrun and the next starts at once. 0: each sweep as soon as the one before "
                 "ended",
         .defaultValue = number(service.intervalSeconds),
         .bounds = WholeBounds{0, MaxIntervalSeconds},
         .key = "interval",
         .apply = [](Value v, Options o) { return setValue(o.intervalSeconds, int(v.toLongLong())); }},
        runtime::lifted<ServiceOptions>(webConfigOptionDecl(),
                                        std::function([](Options o) -> auto& { return o.webConfig; })),
        {.names = {"locale"},
         .valueName = "NAME",
         .help = "the locale of the log line's date, time and numbers; default: the process's, from LC_ALL, "
                 "LC_NUMERIC, LANG",
         .key = "locale",
         .apply = [](Value v, Options o) -> std::optional<QString> {
             if (const auto locale = runtime::localeNamed(v)) {
                 o.locale = *locale;
                 return std::nullopt;
             }
             return QStringLiteral("not a locale name known here, such as en_US or de_DE");
         }},
        {.names = {"sweeps"},
         .valueName = "N",
         .help = "end after N sweeps",
         .bounds = WholeBounds{1, std::numeric_limits<qint64>::max()},
         .apply = [](Value v, Options o) { return setValue(o.sweeps, v.toLongLong()); }},
        {.names = {"sensors"},
         .valueName = "FILE",
         .help = "the sensors to poll, in this order: one a line, the ROM code as the adapter writes it (16 "
                 "hex digits, CRC first, family code 28 last) or as Linux writes it (28-000001234567), then "
                 "optionally blanks and a name; # starts a comment line; 1 to 100 sensors. Default: the "
                 "built-in thirteen",
         .apply = [](Value v,
                     Options o) { return setNamed(o.sensorList, v, "the sensor list's file name"); }},
        {.names = {"store"},
         .valueName = "FILE",
         .help =
             QStringLiteral("keep the readings in this history store (an SQLite file, created if missing), a "
                            "sample every %1 s; with --config, instead of the file's store")
                 .arg(history::StoreSettings{}.sampleInterval),
         .apply = [](Value v, Options o) { return setNamed(o.storePath, v, "the store's file name"); }},
        {.names = {"no-store"},
         .help = "keep no history store, whatever the configuration file says",
         .apply = [](Value, Options o) { return setValue(o.noStore, true); }},
        {.names = {"check"},
         .help =
             "read and check the options, the sensor list, the web configuration and the adapter address, "
             "print each sensor's request (and with --sensors the list written back in the adapter's "
             "form), and end with 0 without a request",
         .apply = [](Value, Options o) { return setValue(o.check, true); }},
    };
    for (const MqttOptionDecl& option : mqttOptionDecls())
        table << runtime::lifted<ServiceOptions>(option, std::function(stagedMqtt));
    return table;
}

const OptionSpec* optionNamed(const QString& name)
{
    for (const OptionSpec& option : serviceOptionTable())
        if (option.names.contains(name))
            return &option;
    return nullptr;
}

QString boundsText(const WholeBounds& bounds)
{
    if (bounds.high == std::numeric_limits<qint64>::max())
        return QStringLiteral("at least %1").arg(bounds.low);
    return QStringLiteral("%1 to %2").arg(bounds.low).arg(bounds.high);
}

// The help line's default and bounds follow from the row, so they cannot drift from the checks.
QString helpOf(const OptionSpec& option)
{
    const QStringList limits = optionLimits(option);
    return limits.isEmpty() ? option.help : option.help + QStringLiteral(" (%1)").arg(limits.join(u", "));
}

const QCommandLineOption HelpOption({QStringLiteral("h"), QStringLiteral("help")},
                                    QStringLiteral("show this text"));
const QCommandLineOption VersionOption(QStringLiteral("version"), QStringLiteral("show the version"));

void addOptions(QCommandLineParser& parser)
{
    for (const OptionSpec& option : serviceOptionTable())
        parser.addOption(QCommandLineOption(option.names, helpOf(option), option.valueName));
    parser.addOptions({HelpOption, VersionOption});
}

// An unknown option as it was written: Qt names it without its dashes, and a letter of -abc alone.
QString asWritten(const QStringList& arguments, const QString& name)
{
    const QString dashed = QStringLiteral("--") + name;
    for (const QString& argument : arguments.sliced(1))
        if (argument == dashed || argument.startsWith(dashed + QLatin1Char('=')))
            return dashed;
    for (const QString& argument : arguments.sliced(1))
        if (argument.startsWith(QLatin1Char('-')) && !argument.startsWith(QLatin1String("--")) &&
            argument.contains(name))
            return argument;
    return dashed;
}

// The synopsis, wrapped between options as Qt wraps the rest of the text.
QString synopsis()
{
    QStringList items;
    qsizetype firstMqttOption = 0;
    for (const OptionSpec& option : serviceOptionTable()) {
        items << QStringLiteral("[--%1%2]")
                     .arg(option.names.first(),
                          option.valueName.isEmpty() ? QString() : QLatin1Char(' ') + option.valueName);
        if (option.needs.isEmpty())
            firstMqttOption = items.size();
    }
    // The MQTT options, last in the table, sit within the brackets of --mqtt before them.
    items[firstMqttOption - 1].chop(1);
    items.last() += QLatin1Char(']');
    const QString start = QStringLiteral("Usage: quorvel3d");
    QString text = start;
    qsizetype lineStart = 0;
    for (const QString& item : items) {
        if (text.size() - lineStart + 1 + item.size() > UsageWidth) {
            text += QLatin1Char('\n');
            lineStart = text.size();
            text += QString(start.size(), QLatin1Char(' '));
        }
        text += QLatin1Char(' ') + item;
    }
    return text + QLatin1Char('\n');
}

QString exitStatusText()
{
    QString text = QStringLiteral("Exit statuses:\n");
    for (const ExitStatusMeaning& status : ExitStatuses)
        text += QStringLiteral("  %1 %2\n").arg(int(status.status), 2).arg(QLatin1StringView(status.meaning));
    return text;
}

} // namespace

QStringList optionLimits(const OptionSpec& option)
{
    QStringList limits;
    if (!option.defaultValue.isEmpty())
        limits << QStringLiteral("default ") + option.defaultValue;
    if (option.bounds)
        limits << boundsText(*option.bounds);
    return limits;
}

const QList<OptionSpec>& serviceOptionTable()
{
    static const QList<OptionSpec> table = makeTable();
    return table;
}

std::optional<QString> applyOption(const OptionSpec& option, const QString& name, const QString& value,
                                   ServiceOptions& options)
{
    const std::optional<QString> reason =
        option.bounds && !runtime::wholeNumber(value, *option.bounds)
            ? QStringLiteral("expected a whole number, %1").arg(boundsText(*option.bounds))
            : option.apply(value, options);
    if (!reason)
        return std::nullopt;
    return QStringLiteral("invalid value \"%1\" for --%2: %3").arg(value, name, *reason);
}

std::optional<QString> aloneProblem(const OptionSpec& option, const QString& value)
{
    if (option.needs.isEmpty())
        return std::nullopt;
    ServiceOptions probe;
    probe.mqtt.emplace();
    if (option.apply(value, probe))
        return std::nullopt;
    return mqttTopicsProblem(*probe.mqtt);
}

std::optional<QString> completeOptions(ServiceOptions& options, const QString& needsMqtt)
{
    if (options.mqtt && options.mqtt->url.isEmpty()) {
        options.mqtt.reset();
        if (!needsMqtt.isEmpty())
            return QStringLiteral("option %1 needs --mqtt").arg(needsMqtt);
    }
    return options.mqtt ? completeMqttOptions(*options.mqtt) : std::nullopt;
}

ParsedOptions parseServiceOptions(const QStringList& arguments)
{
    ParsedOptions parsed;
    const auto fail = [&](const QString& error) {
        parsed.action = ParsedOptions::Action::Error;
        parsed.error = error;
        return parsed;
    };

    QCommandLineParser parser;
    addOptions(parser);
    const bool wellFormed = parser.parse(arguments);
    // Wherever they stand, unless taken as another option's value; the first of the two wins.
    for (const QString& name : parser.optionNames()) {
        if (HelpOption.names().contains(name)) {
            parsed.action = ParsedOptions::Action::Help;
            return parsed;
        }
        if (VersionOption.names().contains(name)) {
            parsed.action = ParsedOptions::Action::Version;
            return parsed;
        }
    }
    if (!wellFormed && !parser.unknownOptionNames().isEmpty())
        return fail(QStringLiteral("unknown option %1")
                        .arg(asWritten(arguments, parser.unknownOptionNames().first())));
    // A value missing after the last option, or one given to a flag: Qt's text names the option.
    if (!wellFormed)
        return fail(parser.errorText());
    if (!parser.positionalArguments().isEmpty())
        return fail(QStringLiteral("unexpected argument \"%1\"").arg(parser.positionalArguments().first()));

    // In the order given, so the first bad one is told.
    QList<const OptionSpec*> given;
    QString needsMqtt;
    parsed.options.mqtt.emplace();
    for (const QString& name : parser.optionNames()) {
        const OptionSpec* option = optionNamed(name);
        const QString dashed = QStringLiteral("--") + name;
        if (given.contains(option))
            return fail(QStringLiteral("option %1 given twice").arg(dashed));
        given << option;
        if (!option->needs.isEmpty() && needsMqtt.isEmpty())
            needsMqtt = dashed;
        const QString value = option->valueName.isEmpty() ? QString() : parser.value(name);
        if (const auto problem = applyOption(*option, name, value, parsed.options))
            return fail(*problem);
    }
    if (const auto problem = completeOptions(parsed.options, needsMqtt))
        return fail(*problem);
    if (parsed.options.noStore && !parsed.options.storePath.isEmpty())
        return fail(QStringLiteral("options --store and --no-store do not go together: give one"));
    if (!parsed.options.configFile.isEmpty()) {
        // The file sets everything else: an option beside it would be a second, silent truth. The store's
        // options are the exception, so a store can be tried or left out without editing the file.
        static const QStringList besideConfig{QStringLiteral("config"), QStringLiteral("check"),
                                              QStringLiteral("sweeps"), QStringLiteral("store"),
                                              QStringLiteral("no-store")};
        for (const OptionSpec* option : given) {
            const QString& name = option->names.first();
            if (!besideConfig.contains(name))
                return fail(
                    QStringLiteral("option --%1 does not go with --config: the file sets it").arg(name));
        }
    } else if (parsed.options.logPath.isEmpty() && !parsed.options.metrics && !parsed.options.mqtt &&
               parsed.options.storePath.isEmpty() && !parsed.options.check)
        return fail(QStringLiteral("nothing to do: give --log, --listen, --mqtt, --store or any of them"));
    parsed.action = ParsedOptions::Action::Run;
    return parsed;
}

QString serviceUsage()
{
    QCommandLineParser parser;
    addOptions(parser);
    parser.setApplicationDescription(QString::fromUtf8(Description));
    // Qt's first line names no option; the synopsis does.
    return synopsis() + QLatin1Char('\n') + parser.helpText().section(QLatin1Char('\n'), 1) +
           QLatin1Char('\n') + QString::fromUtf8(SignalsText) + exitStatusText();
}

} // namespace quorvel::service
