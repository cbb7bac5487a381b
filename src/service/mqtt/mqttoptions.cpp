#include "service/mqtt/mqttoptions.h"

#include <QFile>
#include <QSysInfo>

namespace quorvel::service {

namespace {

using runtime::WholeBounds;

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

using runtime::setNamed;
using runtime::setValue;

std::optional<QString> topicBase(QString& field, const QString& value)
{
    if (!isTopicBase(value))
        return QStringLiteral("expected topic levels separated by /, none empty, without + or #");
    return setValue(field, value);
}

} // namespace

QList<MqttOptionDecl> mqttOptionDecls()
{
    const MqttOptions mqtt;
    const auto number = [](auto n) { return QString::number(n); };
    using Value = const QString&;
    using Options = MqttOptions&;
    const QString needs = QStringLiteral("mqtt");
    const QString section = QStringLiteral("mqtt");
    return {
        {.names = {"mqtt"},
         .valueName = "URL",
         .help =
             QStringLiteral("publish each reading to the MQTT broker at mqtt://HOST[:PORT] (port %1) or "
                            "mqtts://HOST[:PORT] (TLS, port %2; the broker's certificate and host name are "
                            "checked); the service starts and logs without the broker")
                 .arg(MqttOptions::PlainPort)
                 .arg(MqttOptions::TlsPort),
         .key = "url",
         .section = section,
         .apply = [](Value v, Options o) -> std::optional<QString> {
             const auto url = parseMqttUrl(v);
             if (!url)
                 return QStringLiteral("expected mqtt://HOST[:PORT] or mqtts://HOST[:PORT]");
             o.url = url->url;
             o.host = url->host;
             o.port = url->port;
             o.tls = url->tls;
             return std::nullopt;
         }},
        {.names = {"mqtt-cafile"},
         .valueName = "FILE",
         .help = "the CA certificates (PEM) for mqtts://; default: the system's",
         .needs = needs,
         .key = "cafile",
         .section = section,
         .path = true,
         .apply = [](Value v, Options o) { return setNamed(o.caFile, v, "a file name"); }},
        {.names = {"mqtt-user"},
         .valueName = "NAME",
         .help = "log in to the broker as NAME",
         .needs = needs,
         .key = "user",
         .section = section,
         .apply = [](Value v, Options o) { return setNamed(o.user, v, "a user name"); }},
        {.names = {"mqtt-password-file"},
         .valueName = "FILE",
         .help = "the password, the file's first line (never on the command line); needs --mqtt-user",
         .needs = needs,
         .key = "password_file",
         .section = section,
         .path = true,
         .apply = [](Value v, Options o) { return setNamed(o.passwordFile, v, "a file name"); }},
        {.names = {"mqtt-topic"},
         .valueName = "BASE",
         .help = "the topics' first levels: BASE/status, BASE/<ROM code>/temperature, BASE/<ROM "
                 "code>/attributes; with --config each source's under BASE/<source>/<ROM code>/",
         .defaultValue = QStringLiteral("%1/HOSTNAME").arg(QLatin1StringView(MqttOptions::DefaultTopicRoot)),
         .needs = needs,
         .key = "topic",
         .section = section,
         .apply = [](Value v, Options o) { return topicBase(o.baseTopic, v); }},
        {.names = {"no-discovery"},
         .help = "announce no sensors to Home Assistant",
         .needs = needs,
         .key = "discovery",
         .section = section,
         .keyInverts = true,
         .apply = [](Value, Options o) { return setValue(o.discovery, false); }},
        {.names = {"discovery-prefix"},
         .valueName = "PREFIX",
         .help = "Home Assistant's discovery prefix",
         .defaultValue = mqtt.discoveryPrefix,
         .needs = needs,
         .key = "discovery_prefix",
         .section = section,
         .apply = [](Value v, Options o) { return topicBase(o.discoveryPrefix, v); }},
        {.names = {"mqtt-assistant-status"},
         .valueName = "TOPIC",
         .help = "where Home Assistant says online when it starts; the configs are sent again then",
         .defaultValue = mqtt.assistantStatus,
         .needs = needs,
         .key = "assistant_status",
         .section = section,
         .apply = [](Value v, Options o) { return topicBase(o.assistantStatus, v); }},
        {.names = {"mqtt-expire-after"},
         .valueName = "SECONDS",
         .help = "Home Assistant shows a sensor unavailable after this long without a good read; 0: never",
         .defaultValue = number(mqtt.expireAfter),
         .bounds = WholeBounds{0, 86400},
         .needs = needs,
         .key = "expire_after",
         .section = section,
         .apply = [](Value v, Options o) { return setValue(o.expireAfter, int(v.toLongLong())); }},
        {.names = {"mqtt-keepalive"},
         .valueName = "SECONDS",
         .help = "the broker takes the service for gone after 1.5 times this without a word from it",
         .defaultValue = number(mqtt.keepAlive),
         .bounds = WholeBounds{5, 3600},
         .needs = needs,
         .key = "keepalive",
         .section = section,
         .apply = [](Value v, Options o) { return setValue(o.keepAlive, int(v.toLongLong())); }},
    };
}

std::optional<QString> completeMqttOptions(MqttOptions& mqtt)
{
    if (!mqtt.caFile.isEmpty() && !mqtt.tls)
        return QStringLiteral("option --mqtt-cafile needs an mqtts:// broker");
    if (!mqtt.passwordFile.isEmpty() && mqtt.user.isEmpty())
        return QStringLiteral("option --mqtt-password-file needs --mqtt-user");
    return mqttTopicsProblem(mqtt);
}

std::optional<QString> mqttTopicsProblem(MqttOptions& mqtt)
{
    if (mqtt.baseTopic.isEmpty()) {
        QString host = QSysInfo::machineHostName();
        host.replace(QLatin1Char('+'), QLatin1Char('_')).replace(QLatin1Char('#'), QLatin1Char('_'));
        host.replace(QLatin1Char('/'), QLatin1Char('_'));
        mqtt.baseTopic = QStringLiteral("%1/%2").arg(QLatin1StringView(MqttOptions::DefaultTopicRoot),
                                                     host.isEmpty() ? QStringLiteral("localhost") : host);
    }
    if (auto harm = harmfulBase(mqtt))
        return QStringLiteral("option --mqtt-topic: the base %1 %2").arg(mqtt.baseTopic, *harm);
    return std::nullopt;
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
        const auto number = runtime::wholeNumber(port, {1, 65535});
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

} // namespace quorvel::service
