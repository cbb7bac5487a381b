#include "service/app/serviceoptions.h"

#include "service/app/exitstatus.h"

#include "runtime/localeformats.h"

#include "acquisition/sensortable.h"
#include "sources/adapter/adapteraddress.h"

#include <QCommandLineParser>
#include <QFile>
#include <QSysInfo>

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

// A topic or prefix of our own: levels without wildcards, none empty, so every topic built on it is valid.
bool isTopicBase(const QString& text)
{
    if (text.isEmpty() || text.size() > 200 || text.contains(QLatin1Char('+')) ||
        text.contains(QLatin1Char('#')) || text.contains(QChar(0)))
        return false;
    return !text.split(QLatin1Char('/')).contains(QString());
}

// A base whose topics would land where others read: Home Assistant's configs or its own status, or the
// broker's topics (a leading $), where nothing is stored although the connection looks fine.
std::optional<QString> harmfulBase(const MqttOptions& mqtt)
{
    const QString& base = mqtt.baseTopic;
    if (base.startsWith(QLatin1Char('$')))
        return QStringLiteral("starts with $, the broker's own topics");
    if (base == mqtt.discoveryPrefix || base.startsWith(mqtt.discoveryPrefix + QLatin1Char('/')))
        return QStringLiteral("is under the discovery prefix %1").arg(mqtt.discoveryPrefix);
    if (base + QStringLiteral("/status") == mqtt.assistantStatus)
        return QStringLiteral("would write %1, Home Assistant's own status").arg(mqtt.assistantStatus);
    return std::nullopt;
}

std::optional<qint64> wholeNumber(const QString& text, const WholeBounds& bounds)
{
    bool ok = false;
    const qint64 n = text.toLongLong(&ok);
    if (!ok || n < bounds.low || n > bounds.high || text.startsWith(QLatin1Char('+')))
        return std::nullopt;
    return n;
}

// The rows' setters: each takes the value and gives the reason it is no good, if it is not.
template <class Field, class Value> std::optional<QString> set(Field& field, Value value)
{
    field = value;
    return std::nullopt;
}

// A file or user name: anything but empty.
std::optional<QString> named(QString& field, const QString& value, const char* what)
{
    if (value.isEmpty())
        return QStringLiteral("expected %1").arg(QLatin1StringView(what));
    return set(field, value);
}

std::optional<QString> topicBase(QString& field, const QString& value)
{
    if (!isTopicBase(value))
        return QStringLiteral("expected topic levels separated by /, none empty, without + or #");
    return set(field, value);
}

QList<OptionSpec> makeTable()
{
    const ServiceOptions service;
    const MqttOptions mqtt;
    const auto number = [](auto n) { return QString::number(n); };
    using Value = const QString&;
    using Options = ServiceOptions&;
    return {
        {.names = {"config"},
         .valueName = "FILE",
         .help = "read the sources and all the rest from this configuration file (YAML); only --check and "
                 "--sweeps go with it. SIGHUP reads it again.",
         .apply = [](Value v, Options o) { return named(o.configFile, v, "the configuration's file name"); }},
        {.names = {"log"},
         .valueName = "FILE",
         .help =
             QStringLiteral("append one line per sweep to FILE, created if missing; %1 writes to standard "
                            "output. SIGHUP opens FILE anew (for log rotation).")
                 .arg(QLatin1StringView(StandardOutputLog)),
         .apply = [](Value v, Options o) { return named(o.logPath, v, "a file name or -"); }},
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
        // --metrics came first; units and default files use it.
        {.names = {"listen", "metrics"},
         .valueName = "ADDR:PORT",
         .help =
             "serve the status page (/), /readings.json, /chart.svg and /metrics on this IPv4 address and "
             "port (port 0 picks a free one and the start message names it); off unless given",
         .apply = [](Value v, Options o) -> std::optional<QString> {
             if ((o.metrics = parseListenEndpoint(v)))
                 return std::nullopt;
             return QStringLiteral("expected an IPv4 address and a port, such as 127.0.0.1:9300");
         }},
        {.names = {"stale-after"},
         .valueName = "SECONDS",
         .help = "mark a sensor stale on the page after this long without a good read",
         .defaultValue = number(service.staleAfterSeconds),
         .bounds = WholeBounds{1, 366 * 24 * 3600},
         .apply = [](Value v, Options o) { return set(o.staleAfterSeconds, int(v.toLongLong())); }},
        {.names = {"web-config"},
         .valueName = "FILE",
         .help =
             "TLS (tls_server_config: cert_file, key_file) and basic auth (basic_auth_users: name: bcrypt "
             "hash) for the listener, as the exporters of a Prometheus-compatible monitoring system read "
             "them",
         .apply = [](Value v,
                     Options o) { return named(o.webConfig, v, "the web configuration's file name"); }},
        {.names = {"locale"},
         .valueName = "NAME",
         .help = "the locale of the log line's date, time and numbers; default: the process's, from LC_ALL, "
                 "LC_NUMERIC, LANG",
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
         .apply = [](Value v, Options o) { return set(o.sweeps, v.toLongLong()); }},
        {.names = {"sensors"},
         .valueName = "FILE",
         .help = "the sensors to poll, in this order: one a line, the ROM code as the adapter writes it (16 "
                 "hex digits, CRC first, family code 28 last) or as Linux writes it (28-000001234567), then "
                 "optionally blanks and a name; # starts a comment line; 1 to 100 sensors. Default: the "
                 "built-in thirteen",
         .apply = [](Value v, Options o) { return named(o.sensorList, v, "the sensor list's file name"); }},
        {.names = {"check"},
         .help =
             "read and check the options, the sensor list, the web configuration and the adapter address, "
             "print each sensor's request (and with --sensors the list written back in the adapter's "
             "form), and end with 0 without a request",
         .apply = [](Value, Options o) { return set(o.check, true); }},
        {.names = {"mqtt"},
         .valueName = "URL",
         .help =
             QStringLiteral("publish each reading to the MQTT broker at mqtt://HOST[:PORT] (port %1) or "
                            "mqtts://HOST[:PORT] (TLS, port %2; the broker's certificate and host name are "
                            "checked); the service starts and logs without the broker")
                 .arg(MqttOptions::PlainPort)
                 .arg(MqttOptions::TlsPort),
         .apply = [](Value v, Options o) -> std::optional<QString> {
             const auto url = parseMqttUrl(v);
             if (!url)
                 return QStringLiteral("expected mqtt://HOST[:PORT] or mqtts://HOST[:PORT]");
             o.mqtt->url = url->url;
             o.mqtt->host = url->host;
             o.mqtt->port = url->port;
             o.mqtt->tls = url->tls;
             return std::nullopt;
         }},
        {.names = {"mqtt-cafile"},
         .valueName = "FILE",
         .help = "the CA certificates (PEM) for mqtts://; default: the system's",
         .needsMqtt = true,
         .apply = [](Value v, Options o) { return named(o.mqtt->caFile, v, "a file name"); }},
        {.names = {"mqtt-user"},
         .valueName = "NAME",
         .help = "log in to the broker as NAME",
         .needsMqtt = true,
         .apply = [](Value v, Options o) { return named(o.mqtt->user, v, "a user name"); }},
        {.names = {"mqtt-password-file"},
         .valueName = "FILE",
         .help = "the password, the file's first line (never on the command line); needs --mqtt-user",
         .needsMqtt = true,
         .apply = [](Value v, Options o) { return named(o.mqtt->passwordFile, v, "a file name"); }},
        {.names = {"mqtt-topic"},
         .valueName = "BASE",
         .help = "the topics' first levels: BASE/status, BASE/<ROM code>/temperature, BASE/<ROM "
                 "code>/attributes",
         .defaultValue = QStringLiteral("%1/HOSTNAME").arg(QLatin1StringView(MqttOptions::DefaultTopicRoot)),
         .needsMqtt = true,
         .apply = [](Value v, Options o) { return topicBase(o.mqtt->baseTopic, v); }},
        {.names = {"no-discovery"},
         .help = "announce no sensors to Home Assistant",
         .needsMqtt = true,
         .apply = [](Value, Options o) { return set(o.mqtt->discovery, false); }},
        {.names = {"discovery-prefix"},
         .valueName = "PREFIX",
         .help = "Home Assistant's discovery prefix",
         .defaultValue = mqtt.discoveryPrefix,
         .needsMqtt = true,
         .apply = [](Value v, Options o) { return topicBase(o.mqtt->discoveryPrefix, v); }},
        {.names = {"mqtt-assistant-status"},
         .valueName = "TOPIC",
         .help = "where Home Assistant says online when it starts; the configs are sent again then",
         .defaultValue = mqtt.assistantStatus,
         .needsMqtt = true,
         .apply = [](Value v, Options o) { return topicBase(o.mqtt->assistantStatus, v); }},
        {.names = {"mqtt-expire-after"},
         .valueName = "SECONDS",
         .help = "Home Assistant shows a sensor unavailable after this long without a good read; 0: never",
         .defaultValue = number(mqtt.expireAfter),
         .bounds = WholeBounds{0, 86400},
         .needsMqtt = true,
         .apply = [](Value v, Options o) { return set(o.mqtt->expireAfter, int(v.toLongLong())); }},
        {.names = {"mqtt-keepalive"},
         .valueName = "SECONDS",
         .help = "the broker takes the service for gone after 1.5 times this without a word from it",
         .defaultValue = number(mqtt.keepAlive),
         .bounds = WholeBounds{5, 3600},
         .needsMqtt = true,
         .apply = [](Value v, Options o) { return set(o.mqtt->keepAlive, int(v.toLongLong())); }},
    };
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
        if (!option.needsMqtt)
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

std::optional<MqttOptions> parseMqttUrl(const QString& text)
{
    MqttOptions out;
    QString rest;
    if (text.startsWith(QLatin1String("mqtt://"))) {
        rest = text.mid(7);
    } else if (text.startsWith(QLatin1String("mqtts://"))) {
        rest = text.mid(8);
        out.tls = true;
        out.port = MqttOptions::TlsPort;
    } else {
        return std::nullopt;
    }
    const qsizetype colon = rest.lastIndexOf(QLatin1Char(':'));
    out.host = colon < 0 ? rest : rest.left(colon);
    if (colon >= 0) {
        const QString port = rest.mid(colon + 1);
        const auto number = wholeNumber(port, {1, 65535});
        if (!number || port.front() == QLatin1Char('0'))
            return std::nullopt;
        out.port = quint16(*number);
    }
    // A host name or an IPv4 address: letters, digits, dots and hyphens.
    if (out.host.isEmpty() || out.host.size() > 253)
        return std::nullopt;
    for (const QChar c : out.host)
        if (!(c.isLetterOrNumber() && c.unicode() < 128) && c != QLatin1Char('.') && c != QLatin1Char('-'))
            return std::nullopt;
    out.url = QStringLiteral("%1://%2:%3").arg(out.tls ? "mqtts" : "mqtt", out.host).arg(out.port);
    return out;
}

std::optional<QString> loadMqttFiles(MqttOptions& mqtt)
{
    if (!mqtt.passwordFile.isEmpty()) {
        QFile file(mqtt.passwordFile);
        if (!file.open(QIODevice::ReadOnly))
            return QStringLiteral("cannot read the MQTT password file %1: %2")
                .arg(mqtt.passwordFile, file.errorString());
        // The first line, without its line break, so an editor's final newline is no part of it.
        QByteArray password = file.readLine(4096);
        while (password.endsWith('\n') || password.endsWith('\r'))
            password.chop(1);
        if (password.isEmpty())
            return QStringLiteral("the MQTT password file %1 is empty").arg(mqtt.passwordFile);
        mqtt.password = password;
    }
    if (!mqtt.caFile.isEmpty()) {
        QFile file(mqtt.caFile);
        if (!file.open(QIODevice::ReadOnly))
            return QStringLiteral("cannot read the MQTT CA file %1: %2").arg(mqtt.caFile, file.errorString());
        if (!file.read(1 << 20).contains("-----BEGIN CERTIFICATE-----"))
            return QStringLiteral("the MQTT CA file %1 holds no PEM certificate").arg(mqtt.caFile);
    }
    return std::nullopt;
}

std::optional<ListenEndpoint> parseListenEndpoint(const QString& text)
{
    const qsizetype colon = text.lastIndexOf(QLatin1Char(':'));
    if (colon < 0)
        return std::nullopt;
    const QString host = text.left(colon);
    const QString port = text.mid(colon + 1);
    // The adapter's rule for the address itself: four decimal octets, no leading zeros.
    if (!acquisition::parseAdapterAddress(host) || port.isEmpty() || port.size() > 5)
        return std::nullopt;
    for (const QChar c : port)
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return std::nullopt;
    if (port.size() > 1 && port.front() == QLatin1Char('0'))
        return std::nullopt;
    const int number = port.toInt();
    if (number > 65535)
        return std::nullopt;
    return ListenEndpoint{QHostAddress(host), static_cast<quint16>(number)};
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
        if (option->needsMqtt && needsMqtt.isEmpty())
            needsMqtt = dashed;
        const QString value = option->valueName.isEmpty() ? QString() : parser.value(name);
        const std::optional<QString> reason =
            option->bounds && !wholeNumber(value, *option->bounds)
                ? QStringLiteral("expected a whole number, %1").arg(boundsText(*option->bounds))
                : option->apply(value, parsed.options);
        if (reason)
            return fail(QStringLiteral("invalid value \"%1\" for %2: %3").arg(value, dashed, *reason));
    }
    MqttOptions& mqtt = *parsed.options.mqtt;
    if (mqtt.url.isEmpty()) {
        if (!needsMqtt.isEmpty())
            return fail(QStringLiteral("option %1 needs --mqtt").arg(needsMqtt));
        parsed.options.mqtt.reset();
    } else {
        if (mqtt.baseTopic.isEmpty()) {
            QString host = QSysInfo::machineHostName();
            host.replace(QLatin1Char('+'), QLatin1Char('_')).replace(QLatin1Char('#'), QLatin1Char('_'));
            host.replace(QLatin1Char('/'), QLatin1Char('_'));
            mqtt.baseTopic = QStringLiteral("%1/%2").arg(QLatin1StringView(MqttOptions::DefaultTopicRoot),
                                                         host.isEmpty() ? QStringLiteral("localhost") : host);
        }
        if (!mqtt.caFile.isEmpty() && !mqtt.tls)
            return fail(QStringLiteral("option --mqtt-cafile needs an mqtts:// broker"));
        if (!mqtt.passwordFile.isEmpty() && mqtt.user.isEmpty())
            return fail(QStringLiteral("option --mqtt-password-file needs --mqtt-user"));
        if (auto harm = harmfulBase(mqtt))
            return fail(QStringLiteral("option --mqtt-topic: the base %1 %2").arg(mqtt.baseTopic, *harm));
    }
    if (!parsed.options.configFile.isEmpty()) {
        // The file sets everything else: an option beside it would be a second, silent truth.
        for (const OptionSpec* option : given) {
            const QString& name = option->names.first();
            if (name != QLatin1String("config") && name != QLatin1String("check") &&
                name != QLatin1String("sweeps"))
                return fail(
                    QStringLiteral("option --%1 does not go with --config: the file sets it").arg(name));
        }
    } else if (parsed.options.logPath.isEmpty() && !parsed.options.metrics && !parsed.options.mqtt &&
               !parsed.options.check)
        return fail(QStringLiteral("nothing to do: give --log, --listen, --mqtt or any of them"));
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
