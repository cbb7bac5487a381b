#include "service/app/serviceoptions.h"

#include "service/app/exitstatus.h"

#include "runtime/localeformats.h"

#include "acquisition/adapteraddress.h"
#include "acquisition/sensortable.h"

#include <QFile>
#include <QMap>
#include <QSysInfo>

#include <functional>

namespace quorvel::service {

namespace {

enum class Option {
    Log,
    Adapter,
    Listen,
    Locale,
    Sweeps,
    Sensors,
    StaleAfter,
    WebConfig,
    Check,
    // The MQTT options come last: those after Mqtt need it.
    Mqtt,
    MqttCaFile,
    MqttUser,
    MqttPasswordFile,
    MqttTopic,
    NoDiscovery,
    DiscoveryPrefix,
    MqttExpireAfter,
    MqttKeepAlive,
};

const QMap<QString, Option>& optionNames()
{
    static const QMap<QString, Option> names = {
        {QStringLiteral("--log"), Option::Log},
        {QStringLiteral("--adapter"), Option::Adapter},
        // --metrics came first; units and default files use it.
        {QStringLiteral("--listen"), Option::Listen},
        {QStringLiteral("--metrics"), Option::Listen},
        {QStringLiteral("--locale"), Option::Locale},
        {QStringLiteral("--stale-after"), Option::StaleAfter},
        {QStringLiteral("--web-config"), Option::WebConfig},
        {QStringLiteral("--sweeps"), Option::Sweeps},
        {QStringLiteral("--sensors"), Option::Sensors},
        {QStringLiteral("--check"), Option::Check},
        {QStringLiteral("--mqtt"), Option::Mqtt},
        {QStringLiteral("--mqtt-cafile"), Option::MqttCaFile},
        {QStringLiteral("--mqtt-user"), Option::MqttUser},
        {QStringLiteral("--mqtt-password-file"), Option::MqttPasswordFile},
        {QStringLiteral("--mqtt-topic"), Option::MqttTopic},
        {QStringLiteral("--no-discovery"), Option::NoDiscovery},
        {QStringLiteral("--discovery-prefix"), Option::DiscoveryPrefix},
        {QStringLiteral("--mqtt-expire-after"), Option::MqttExpireAfter},
        {QStringLiteral("--mqtt-keepalive"), Option::MqttKeepAlive},
    };
    return names;
}

bool takesNoValue(Option option)
{
    return option == Option::Check || option == Option::NoDiscovery;
}

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
    if (base + QStringLiteral("/status") == MqttOptions::AssistantStatusTopic)
        return QStringLiteral("would write %1, Home Assistant's own status")
            .arg(MqttOptions::AssistantStatusTopic);
    return std::nullopt;
}

std::optional<int> parseWhole(const QString& value, int low, int high)
{
    bool ok = false;
    const int n = value.toInt(&ok);
    if (!ok || n < low || n > high || value.startsWith(QLatin1Char('+')))
        return std::nullopt;
    return n;
}

// The MQTT options other than --mqtt itself, kept apart until the end because they may come first.
std::optional<QString> applyMqtt(Option option, const QString& value, MqttOptions& out,
                                 const std::function<QString(const QString&)>& invalid)
{
    switch (option) {
    case Option::MqttCaFile:
    case Option::MqttPasswordFile:
        if (value.isEmpty())
            return invalid(QStringLiteral("expected a file name"));
        (option == Option::MqttCaFile ? out.caFile : out.passwordFile) = value;
        return std::nullopt;
    case Option::MqttUser:
        if (value.isEmpty())
            return invalid(QStringLiteral("expected a user name"));
        out.user = value;
        return std::nullopt;
    case Option::MqttTopic:
    case Option::DiscoveryPrefix:
        if (!isTopicBase(value))
            return invalid(
                QStringLiteral("expected topic levels separated by /, none empty, without + or #"));
        (option == Option::MqttTopic ? out.baseTopic : out.discoveryPrefix) = value;
        return std::nullopt;
    case Option::NoDiscovery:
        out.discovery = false;
        return std::nullopt;
    case Option::MqttExpireAfter:
        if (auto n = parseWhole(value, 0, 86400)) {
            out.expireAfter = *n;
            return std::nullopt;
        }
        return invalid(QStringLiteral("expected seconds, 0 (never) to 86400"));
    case Option::MqttKeepAlive:
        if (auto n = parseWhole(value, 5, 3600)) {
            out.keepAlive = *n;
            return std::nullopt;
        }
        return invalid(QStringLiteral("expected seconds, 5 to 3600"));
    default:
        return invalid(QString());
    }
}

// Applies one option's value; the error text when the value is not valid.
std::optional<QString> apply(Option option, const QString& name, const QString& value, ServiceOptions& out,
                             MqttOptions& mqtt)
{
    const auto invalid = [&](const QString& what) {
        return QStringLiteral("invalid value \"%1\" for %2: %3").arg(value, name, what);
    };
    switch (option) {
    case Option::Log:
        if (value.isEmpty())
            return invalid(QStringLiteral("expected a file name or -"));
        out.logPath = value;
        return std::nullopt;
    case Option::Adapter:
        if (auto address = acquisition::parseAdapterAddress(value)) {
            out.adapter = *address;
            return std::nullopt;
        }
        return invalid(QStringLiteral("expected an IPv4 address with an optional :PORT (1 to 65535)"));
    case Option::Listen:
        if (auto endpoint = parseMetricsEndpoint(value)) {
            out.metrics = *endpoint;
            return std::nullopt;
        }
        return invalid(QStringLiteral("expected an IPv4 address and a port, such as 127.0.0.1:9300"));
    case Option::Locale:
        if (auto locale = runtime::localeNamed(value)) {
            out.locale = *locale;
            return std::nullopt;
        }
        return invalid(QStringLiteral("not a locale name known here, such as en_US or de_DE"));
    case Option::Sweeps:
    case Option::StaleAfter: {
        bool ok = false;
        const qint64 n = value.toLongLong(&ok);
        if (!ok || n < 1 || value.startsWith(QLatin1Char('+')))
            return invalid(QStringLiteral("expected a whole number of at least 1"));
        if (option == Option::Sweeps)
            out.sweeps = n;
        else if (n <= 366LL * 24 * 3600)
            out.staleAfterSeconds = int(n);
        else
            return invalid(QStringLiteral("expected at most a year's seconds"));
        return std::nullopt;
    }
    case Option::WebConfig:
        if (value.isEmpty())
            return invalid(QStringLiteral("expected the web configuration's file name"));
        out.webConfig = value;
        return std::nullopt;
    case Option::Sensors:
        if (value.isEmpty())
            return invalid(QStringLiteral("expected the sensor list's file name"));
        out.sensorList = value;
        return std::nullopt;
    case Option::Check:
        out.check = true;
        return std::nullopt;
    case Option::Mqtt:
        if (auto url = parseMqttUrl(value)) {
            out.mqtt = *url;
            return std::nullopt;
        }
        return invalid(QStringLiteral("expected mqtt://HOST[:PORT] or mqtts://HOST[:PORT]"));
    default:
        return applyMqtt(option, value, mqtt, invalid);
    }
}

// The exit statuses as one paragraph, wrapped as the rest of the usage text.
QString exitStatusText()
{
    QStringList items;
    for (const ExitStatusMeaning& status : ExitStatuses)
        items << QStringLiteral("%1 %2").arg(int(status.status)).arg(QLatin1StringView(status.meaning));
    const QStringList words =
        (QStringLiteral("Exit statuses: ") + items.join(QStringLiteral("; ")) + QLatin1Char('.'))
            .split(QLatin1Char(' '));
    QString text;
    QString line;
    for (const QString& word : words) {
        if (!line.isEmpty() && line.size() + 1 + word.size() > 100) {
            text += line + QLatin1Char('\n');
            line.clear();
        }
        line += (line.isEmpty() ? QString() : QStringLiteral(" ")) + word;
    }
    return text + line + QLatin1Char('\n');
}

} // namespace

QStringList romCodesToPoll(const ServiceOptions& options)
{
    if (options.sensors.isEmpty())
        return acquisition::builtInRomCodes();
    QStringList roms;
    for (const acquisition::ListedSensor& sensor : options.sensors)
        roms << sensor.romCode;
    return roms;
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
        const auto number = parseWhole(port, 1, 65535);
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

std::optional<MetricsEndpoint> parseMetricsEndpoint(const QString& text)
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
    return MetricsEndpoint{QHostAddress(host), static_cast<quint16>(number)};
}

ParsedOptions parseServiceOptions(const QStringList& arguments)
{
    ParsedOptions parsed;
    const auto fail = [&](const QString& error) {
        parsed.action = ParsedOptions::Action::Error;
        parsed.error = error;
        return parsed;
    };

    QMap<Option, QString> seen;
    MqttOptions mqtt;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString& argument = arguments.at(i);
        if (argument == QLatin1String("--help") || argument == QLatin1String("-h")) {
            parsed.action = ParsedOptions::Action::Help;
            return parsed;
        }
        if (argument == QLatin1String("--version")) {
            parsed.action = ParsedOptions::Action::Version;
            return parsed;
        }
        QString name = argument;
        std::optional<QString> value;
        if (const qsizetype equals = argument.indexOf(QLatin1Char('='));
            argument.startsWith(QLatin1String("--")) && equals > 2) {
            name = argument.left(equals);
            value = argument.mid(equals + 1);
        }
        const auto option = optionNames().constFind(name);
        if (option == optionNames().constEnd()) {
            if (argument.startsWith(QLatin1Char('-')) && argument != QLatin1String(StandardOutputLog))
                return fail(QStringLiteral("unknown option %1").arg(name));
            return fail(QStringLiteral("unexpected argument \"%1\"").arg(argument));
        }
        if (seen.contains(*option))
            return fail(QStringLiteral("option %1 given twice").arg(name));
        if (takesNoValue(*option) && value)
            return fail(QStringLiteral("option %1 takes no value").arg(name));
        if (takesNoValue(*option))
            value = QString();
        if (!value) {
            if (i + 1 >= arguments.size())
                return fail(QStringLiteral("option %1 needs a value").arg(name));
            value = arguments.at(++i);
        }
        seen.insert(*option, *value);
        if (auto error = apply(*option, name, *value, parsed.options, mqtt))
            return fail(*error);
    }
    if (parsed.options.mqtt) {
        // The other MQTT options went to the staged copy, in whatever order they came.
        const MqttOptions& url = *parsed.options.mqtt;
        mqtt.url = url.url;
        mqtt.host = url.host;
        mqtt.port = url.port;
        mqtt.tls = url.tls;
        if (mqtt.baseTopic.isEmpty()) {
            QString host = QSysInfo::machineHostName();
            host.replace(QLatin1Char('+'), QLatin1Char('_')).replace(QLatin1Char('#'), QLatin1Char('_'));
            host.replace(QLatin1Char('/'), QLatin1Char('_'));
            mqtt.baseTopic =
                QStringLiteral("quorvel3d/") + (host.isEmpty() ? QStringLiteral("localhost") : host);
        }
        if (!mqtt.caFile.isEmpty() && !mqtt.tls)
            return fail(QStringLiteral("option --mqtt-cafile needs an mqtts:// broker"));
        if (!mqtt.passwordFile.isEmpty() && mqtt.user.isEmpty())
            return fail(QStringLiteral("option --mqtt-password-file needs --mqtt-user"));
        if (auto harm = harmfulBase(mqtt))
            return fail(QStringLiteral("option --mqtt-topic: the base %1 %2").arg(mqtt.baseTopic, *harm));
        parsed.options.mqtt = mqtt;
    } else {
        for (auto it = seen.cbegin(); it != seen.cend(); ++it)
            if (it.key() > Option::Mqtt)
                return fail(QStringLiteral("option %1 needs --mqtt").arg(optionNames().key(it.key())));
    }
    if (parsed.options.logPath.isEmpty() && !parsed.options.metrics && !parsed.options.mqtt &&
        !parsed.options.check)
        return fail(QStringLiteral("nothing to do: give --log, --listen, --mqtt or any of them"));
    parsed.action = ParsedOptions::Action::Run;
    return parsed;
}

QString serviceUsage()
{
    return QString::fromUtf8(
               R"(Usage: quorvel3d [--log FILE|-] [--adapter ADDR[:PORT]] [--listen ADDR:PORT] [--locale NAME]
                 [--sweeps N] [--sensors FILE] [--stale-after SECONDS] [--web-config FILE] [--check]
                 [--mqtt URL [--mqtt-cafile FILE] [--mqtt-user NAME --mqtt-password-file FILE] ...]
Polls the temperature sensors through the adapter's sensor pages without a window, writes one log
line per sweep as the window program does, serves the readings to people and machines
and publishes them to an MQTT broker.

  --log FILE          append one line per sweep to FILE, created if missing; - writes to
                      standard output. SIGHUP opens FILE anew (for log rotation).
  --adapter ADDR[:PORT]
                      the adapter's IPv4 address and port (default port 80); default: the
                      AdapterAddress setting of the window program, else 127.0.0.1
  --listen ADDR:PORT  serve the status page (/), /readings.json, /chart.svg and /metrics on this
                      IPv4 address and port (port 0 picks a free one and the start message names
                      it); off unless given. --metrics ADDR:PORT is the same option.
  --stale-after SECONDS
                      mark a sensor stale on the page after this long without a good read
                      (default 300)
  --web-config FILE   TLS (tls_server_config: cert_file, key_file) and basic auth
                      (basic_auth_users: name: bcrypt hash) for the listener, as the exporters of
                      a Prometheus-compatible monitoring system read them
  --locale NAME       the locale of the log line's date, time and numbers (default: the
                      process's, from LC_ALL, LC_NUMERIC, LANG)
  --sweeps N          end after N sweeps
  --sensors FILE      the sensors to poll, in this order: one a line, the ROM code as the adapter
                      writes it (16 hex digits, CRC first, family code 28 last) or as Linux writes
                      it (28-000001234567), then optionally blanks and a name; # starts a comment
                      line; 1 to 100 sensors. Default: the built-in thirteen
  --check             read and check the options, the sensor list, the web configuration and the
                      adapter address, print each sensor's request (and with --sensors the list
                      written back in the adapter's form), and end with 0 without a request
  --mqtt URL          publish each reading to the MQTT broker at mqtt://HOST[:PORT] (port 1883)
                      or mqtts://HOST[:PORT] (TLS, port 8883; the broker's certificate and
                      host name are checked); the service starts and logs without the broker
  --mqtt-cafile FILE  the CA certificates (PEM) for mqtts://; default: the system's
  --mqtt-user NAME    log in to the broker as NAME
  --mqtt-password-file FILE
                      the password, the file's first line (never on the command line)
  --mqtt-topic BASE   the topics' first levels (default quorvel3d/<host name>): BASE/status,
                      BASE/<ROM code>/temperature, BASE/<ROM code>/attributes
  --no-discovery      announce no sensors to Home Assistant
  --discovery-prefix PREFIX
                      Home Assistant's discovery prefix (default homeassistant)
  --mqtt-expire-after SECONDS
                      Home Assistant shows a sensor unavailable after this long without a
                      good read (default 300; 0 never)
  --mqtt-keepalive SECONDS
                      the broker takes the service for gone after 1.5 times this without a
                      word from it (default 60, 5 to 3600)
  --help, --version

SIGTERM and SIGINT end the program between records, with status 0.
)") + exitStatusText();
}

} // namespace quorvel::service
