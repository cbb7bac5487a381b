#include "service/app/serviceoptions.h"

#include <QSysInfo>
#include <QTest>

using namespace quorvel;
using namespace quorvel::acquisition;

namespace {

// What a command line came to: help, version, the error, or the options that differ from the defaults.
QString outcomeOf(const service::ParsedOptions& parsed)
{
    using Action = service::ParsedOptions::Action;
    if (parsed.action != Action::Run)
        return parsed.action == Action::Help      ? "help"
               : parsed.action == Action::Version ? "version"
                                                  : parsed.error;
    const service::ServiceOptions& o = parsed.options;
    const service::ServiceOptions plain;
    const service::MqttOptions m = o.mqtt.value_or(service::MqttOptions{}), plainMqtt;
    const auto when = [](bool given, const QString& text) { return given ? text : QString(); };
    QStringList parts{
        when(!o.logPath.isEmpty(), "log " + o.logPath),
        when(o.adapter.has_value(), "adapter " + o.adapter.value_or("")),
        when(o.metrics.has_value(),
             "listen " + o.metrics.value_or(service::ListenEndpoint{}).address.toString() + u':' +
                 QString::number(o.metrics.value_or(service::ListenEndpoint{}).port)),
        when(o.staleAfterSeconds != plain.staleAfterSeconds,
             "stale-after " + QString::number(o.staleAfterSeconds)),
        when(!o.webConfig.isEmpty(), "web-config " + o.webConfig),
        when(o.locale != plain.locale, "locale " + o.locale.name()),
        when(o.sweeps.has_value(), "sweeps " + QString::number(o.sweeps.value_or(0))),
        when(!o.sensorList.isEmpty(), "sensors " + o.sensorList),
        when(o.check, "check"),
        when(!o.configFile.isEmpty(), "config " + o.configFile),
        when(!o.storePath.isEmpty(), "store " + o.storePath),
        when(o.noStore, "no-store"),
        when(o.mqtt.has_value(), m.url + " topic " + m.baseTopic),
        when(!m.caFile.isEmpty(), "cafile " + m.caFile),
        when(!m.user.isEmpty(), "user " + m.user),
        when(!m.passwordFile.isEmpty(), "password-file " + m.passwordFile),
        when(!m.discovery, "no-discovery"),
        when(m.discoveryPrefix != plainMqtt.discoveryPrefix, "prefix " + m.discoveryPrefix),
        when(m.assistantStatus != plainMqtt.assistantStatus, "assistant-status " + m.assistantStatus),
        when(m.expireAfter != plainMqtt.expireAfter, "expire-after " + QString::number(m.expireAfter)),
        when(m.keepAlive != plainMqtt.keepAlive, "keepalive " + QString::number(m.keepAlive))};
    parts.removeAll(QString());
    return parts.join(u", ");
}

} // namespace

class TestServiceOptions : public QObject {
    Q_OBJECT

private slots:
    void commandLines_data();
    void commandLines();
};

void TestServiceOptions::commandLines_data()
{
    QTest::addColumn<QString>("line");    // the arguments, a blank between two
    QTest::addColumn<QString>("outcome"); // an error as it starts
    const auto row = [](const char* line, const char* outcome) { QTest::newRow(line) << line << outcome; };
    row("--log x", "log x");
    row("--log -", "log -");
    row("--log=x --locale de_DE --sweeps 9223372036854775807",
        "log x, locale de_DE, sweeps 9223372036854775807");
    row("--log --help", "log --help"); // a value may start with a dash
    row("--metrics 127.0.0.1:9300", "listen 127.0.0.1:9300");
    row("--listen=127.0.0.1:0 --stale-after 31622400", "listen 127.0.0.1:0, stale-after 31622400");
    row("--check --adapter 127.0.0.1:8080 --sensors s --web-config w",
        "adapter 127.0.0.1:8080, web-config w, sensors s, check");
    row("--mqtt-user bob --mqtt-password-file p --mqtt mqtts://127.0.0.1 --mqtt-cafile ca",
        "mqtts://127.0.0.1:8883 topic quorvel3d/<host>, cafile ca, user bob, password-file p");
    row("--mqtt mqtt://localhost:65535 --mqtt-topic a/b --no-discovery --discovery-prefix h/x "
        "--mqtt-expire-after 0 --mqtt-keepalive 3600",
        "mqtt://localhost:65535 topic a/b, no-discovery, prefix h/x, expire-after 0, keepalive 3600");
    row("--mqtt mqtt://127.0.0.1 --mqtt-expire-after 86400 --mqtt-keepalive 5",
        "mqtt://127.0.0.1:1883 topic quorvel3d/<host>, expire-after 86400, keepalive 5");
    row("-h", "help");
    row("--help --bogus", "help");
    row("--log x --version --help", "version");

    row("--store h.sqlite", "store h.sqlite");
    row("--config c --store h.sqlite --check --sweeps 2", "sweeps 2, check, config c, store h.sqlite");
    row("--no-store --config c", "config c, no-store");

    row("", "nothing to do: give --log, --listen, --mqtt, --store or any of them");
    row("--config c --log x", "option --log does not go with --config: the file sets it");
    row("--config c --store h --no-store", "options --store and --no-store do not go together");
    row("--store=", "invalid value \"\" for --store: expected the store's file name");
    row("--log x --bogus", "unknown option --bogus");
    row("-log x", "unknown option -log");
    row("--log x pos", "unexpected argument \"pos\"");
    row("--log x -", "unexpected argument \"-\"");
    row("--log", "Missing value after '--log'.");
    row("--check=yes", "Unexpected value after '--check'.");
    row("--log=", "invalid value \"\" for --log: expected a file name or -");
    row("--log x --log y", "option --log given twice");
    row("--metrics 127.0.0.1:9300 --listen 127.0.0.1:9301", "option --listen given twice");
    row("--check --check", "option --check given twice");
    row("--log x --adapter 127.0.0", "invalid value \"127.0.0\" for --adapter: expected an IPv4");
    row("--log x --adapter=127.0.0.1:0", "invalid value \"127.0.0.1:0\" for --adapter");
    row("--metrics 127.0.0.1", "invalid value \"127.0.0.1\" for --metrics: expected an IPv4 address and");
    row("--metrics 127.0.0.1:65536", "invalid value \"127.0.0.1:65536\" for --metrics");
    row("--listen 127.0.0.1:80:9300", "invalid value \"127.0.0.1:80:9300\" for --listen");
    row("--log x --sweeps 0", "invalid value \"0\" for --sweeps: expected a whole number, at least 1");
    row("--log x --sweeps +3", "invalid value \"+3\" for --sweeps");
    row("--log x --stale-after 31622401", "invalid value \"31622401\" for --stale-after: expected a whole");
    row("--log x --locale xx_QQ", "invalid value \"xx_QQ\" for --locale: not a locale name");
    row("--log x --sensors", "Missing value after '--sensors'.");
    row("--log x --sensors=", "invalid value \"\" for --sensors: expected the sensor list's file name");
    row("--mqtt 127.0.0.1:1883",
        "invalid value \"127.0.0.1:1883\" for --mqtt: expected mqtt://HOST[:PORT] or");
    row("--mqtt mqtt://127.0.0.1:0", "invalid value \"mqtt://127.0.0.1:0\" for --mqtt");
    row("--mqtt mqtt://127.0.0.1/x", "invalid value \"mqtt://127.0.0.1/x\" for --mqtt");
    row("--log x --mqtt-user bob", "option --mqtt-user needs --mqtt");
    row("--mqtt mqtt://127.0.0.1 --mqtt-cafile ca", "option --mqtt-cafile needs an mqtts:// broker");
    row("--mqtt mqtt://127.0.0.1 --mqtt-password-file p", "option --mqtt-password-file needs --mqtt-user");
    row("--mqtt mqtt://127.0.0.1 --mqtt-topic a/#", "invalid value \"a/#\" for --mqtt-topic: expected topic");
    row("--mqtt mqtt://127.0.0.1 --discovery-prefix a//b", "invalid value \"a//b\" for --discovery-prefix");
    row("--mqtt mqtt://127.0.0.1 --mqtt-keepalive 4",
        "invalid value \"4\" for --mqtt-keepalive: expected a whole");
    row("--mqtt mqtt://127.0.0.1 --mqtt-expire-after 86401", "invalid value \"86401\" for --mqtt-expire");
    row("--mqtt mqtt://127.0.0.1 --no-discovery=1", "Unexpected value after '--no-discovery'.");
    // Bases whose topics land where others read.
    row("--mqtt mqtt://127.0.0.1 --mqtt-topic homeassistant/box", "option --mqtt-topic: the base");
    row("--mqtt mqtt://127.0.0.1 --mqtt-topic $SYS/box",
        "option --mqtt-topic: the base $SYS/box starts with $");
    row("--mqtt mqtt://127.0.0.1 --mqtt-topic homeassistant --discovery-prefix ha",
        "option --mqtt-topic: the base homeassistant would write homeassistant/status");
    row("--mqtt mqtt://127.0.0.1 --mqtt-topic ha --mqtt-assistant-status ha/status",
        "option --mqtt-topic: the base ha would write ha/status");
    row("--mqtt mqtt://127.0.0.1 --mqtt-topic homeassistant --discovery-prefix ha --mqtt-assistant-status "
        "ha/up",
        "mqtt://127.0.0.1:1883 topic homeassistant, prefix ha, assistant-status ha/up");
    row("--mqtt mqtt://127.0.0.1 --mqtt-assistant-status ha/+",
        "invalid value \"ha/+\" for --mqtt-assistant");
}

void TestServiceOptions::commandLines()
{
    QFETCH(QString, line);
    QFETCH(QString, outcome);
    const auto parsed =
        service::parseServiceOptions(QStringList{"quorvel3d"} + line.split(u' ', Qt::SkipEmptyParts));
    const QString got = outcomeOf(parsed);
    outcome.replace(QStringLiteral("<host>"), QSysInfo::machineHostName());
    QCOMPARE(parsed.action == service::ParsedOptions::Action::Error ? got.left(outcome.size()) : got,
             outcome);
}

QTEST_GUILESS_MAIN(TestServiceOptions)
#include "tst_serviceoptions.moc"
