#include "owserverkind.h"

#include "owserverreader.h"

#include "acquisition/sensorlist.h"
#include "runtime/ipv4address.h"

#include <QTcpSocket>

#include <array>

namespace quorvel::acquisition {

namespace {

constexpr const char* HostKey = "host";
constexpr const char* PortKey = "port";
// The port servers listen on unless told otherwise.
constexpr quint16 DefaultPort = 4304;
// How long --check waits for the server to take a connection.
constexpr int ProbeWaitMs = 2000;

std::optional<QString> readAddress(const QString& text, SourceSettings& settings)
{
    const auto parsed = runtime::parseIpv4HostPort(text);
    if (!parsed)
        return QStringLiteral("%1 is not an IPv4 address with an optional :PORT (1 to 65535, %2 if none)")
            .arg(escapedForMessage(text))
            .arg(DefaultPort);
    settings.insert(QLatin1String(HostKey), parsed->host);
    settings.insert(QLatin1String(PortKey), parsed->port.value_or(DefaultPort));
    return std::nullopt;
}

constexpr std::array Keys{SourceKey{"address", nullptr, false, readAddress}};

quint16 portOf(const SourceSettings& settings)
{
    return settings.value(QLatin1String(PortKey)).value<quint16>();
}

// Only --check waits to see whether the server takes a connection; the start finds out by reading it.
QStringList serverWarnings(const SourceSettings& settings, const QList<ListedSensor>&, bool probe)
{
    if (!probe)
        return {};
    QTcpSocket socket;
    socket.connectToHost(settings.value(QLatin1String(HostKey)).toString(), portOf(settings));
    if (socket.waitForConnected(ProbeWaitMs))
        return {};
    return {QStringLiteral("the server at %1:%2 does not answer: %3")
                .arg(settings.value(QLatin1String(HostKey)).toString())
                .arg(portOf(settings))
                .arg(socket.state() == QAbstractSocket::ConnectingState
                         ? QStringLiteral("no connection within %1 ms").arg(ProbeWaitMs)
                         : socket.errorString())};
}

} // namespace

const SourceKind& owserverKind()
{
    static const SourceKind kind{
        .name = "owserver",
        .noun = "server",
        .model = "1-Wire server with thermometers",
        .families = RomFamilies::AnyThermometer,
        // The log and the connection to the server.
        .descriptors = 2,
        .keys = Keys,
        .where =
            [](const SourceSettings& settings) {
                return QStringLiteral("%1:%2")
                    .arg(settings.value(QLatin1String(HostKey)).toString())
                    .arg(portOf(settings));
            },
        .defaultSensors = nullptr,
        .requests = nullptr,
        .makeReader = [](const SourceSettings& settings) -> std::unique_ptr<SensorReader> {
            return std::make_unique<OwserverReader>(settings.value(QLatin1String(HostKey)).toString(),
                                                    portOf(settings));
        },
        .sensorId = serverId,
        .setupWarnings = serverWarnings,
        .datasheetRangeByDefault = true,
        .setsResolution = true,
    };
    return kind;
}

} // namespace quorvel::acquisition
