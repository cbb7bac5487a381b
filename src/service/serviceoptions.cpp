#include "serviceoptions.h"

#include "exitstatus.h"

#include "acquisition/adapteraddress.h"
#include "acquisition/sensortable.h"

#include <QMap>

namespace quorvel::service {

namespace {

enum class Option { Log, Adapter, Listen, Locale, Sweeps, Sensors, StaleAfter, WebConfig, Check };

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
    };
    return names;
}

std::optional<QLocale> parseLocale(const QString& name)
{
    if (name.isEmpty())
        return std::nullopt;
    QLocale locale(name);
    // Qt falls back to the C locale for a name it does not know; that is a typo, not a choice.
    if (locale.language() == QLocale::C && name != QLatin1String("C") && name != QLatin1String("POSIX"))
        return std::nullopt;
    return locale;
}

// Applies one option's value; the error text when the value is not valid.
std::optional<QString> apply(Option option, const QString& name, const QString& value, ServiceOptions& out)
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
        if (auto locale = parseLocale(value)) {
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
    }
    return invalid(QString());
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

QStringList sensorNames(const ServiceOptions& options)
{
    if (options.sensors.isEmpty())
        return QStringList(acquisition::SensorCount);
    QStringList names;
    for (const acquisition::ListedSensor& sensor : options.sensors)
        names << sensor.name;
    return names;
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
        if (*option == Option::Check && value)
            return fail(QStringLiteral("option %1 takes no value").arg(name));
        if (*option == Option::Check)
            value = QString();
        if (!value) {
            if (i + 1 >= arguments.size())
                return fail(QStringLiteral("option %1 needs a value").arg(name));
            value = arguments.at(++i);
        }
        seen.insert(*option, *value);
        if (auto error = apply(*option, name, *value, parsed.options))
            return fail(*error);
    }
    if (parsed.options.logPath.isEmpty() && !parsed.options.metrics && !parsed.options.check)
        return fail(QStringLiteral("nothing to do: give --log, --listen or both"));
    parsed.action = ParsedOptions::Action::Run;
    return parsed;
}

QString serviceUsage()
{
    return QString::fromUtf8(
               R"(Usage: quorvel3d [--log FILE|-] [--adapter ADDR[:PORT]] [--listen ADDR:PORT] [--locale NAME]
                 [--sweeps N] [--sensors FILE] [--stale-after SECONDS] [--web-config FILE] [--check]
Polls the temperature sensors through the adapter's sensor pages without a window, writes one log
line per sweep as the window program does, and serves the readings to people and machines.

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
  --help, --version

SIGTERM and SIGINT end the program between records, with status 0.
)") + exitStatusText();
}

} // namespace quorvel::service
