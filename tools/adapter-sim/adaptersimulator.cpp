#include "adaptersimulator.h"

#include "pagebuilder.h"
#include "querystring.h"
#include "sensortable.h"

#include <QHostAddress>
#include <QHttpServerRequest>
#include <QTimer>

#include <numeric>

namespace quorvel::adaptersim {

namespace {

constexpr QByteArrayView ControlPrefix = "/control/";

std::size_t slot(int sensor)
{
    return static_cast<std::size_t>(sensor - 1);
}

// The Rise fault's next reading: the drift's present one on its first page, then a step more at each, within
// what a DS18B20 can read.
int risenReading(Fault& fault, int drifted)
{
    bool number = false;
    const double degrees = fault.arg.toDouble(&number);
    const int step = qRound((number ? degrees : 0.5) * 16);
    fault.risen = fault.risen ? qBound(-55 * 16, *fault.risen + step, 125 * 16) : drifted;
    return *fault.risen;
}

bool wantsClose(const QHttpServerRequest& request)
{
    return request.value("connection").toLower().contains("close");
}

} // namespace

AdapterSimulator::AdapterSimulator(quint64 seed, QObject* parent) : QAbstractHttpServer(parent), seed_(seed)
{
    drift_.reserve(SensorCount);
    for (int sensor = 1; sensor <= SensorCount; ++sensor) {
        roms_.append(romCode(sensor));
        drift_.emplace_back(sensor, seed);
    }
    requests_.resize(SensorCount);
}

std::optional<int> AdapterSimulator::sensorFor(const QByteArray& path, const QByteArray& encodedQuery)
{
    const std::optional<QByteArray> rom = romOfRequest(path, encodedQuery);
    if (!rom)
        return std::nullopt;
    if (const qsizetype known = roms_.indexOf(*rom); known >= 0)
        return int(known) + 1;
    if (!isDs18b20Rom(*rom) || roms_.size() >= MaxSensors)
        return std::nullopt;
    roms_.append(*rom);
    drift_.emplace_back(int(roms_.size()), seed_);
    requests_.push_back(0);
    return int(roms_.size());
}

std::optional<quint16> AdapterSimulator::listenLocal(quint16 port)
{
    const quint16 bound = listen(QHostAddress::LocalHost, port);
    if (bound == 0)
        return std::nullopt;
    port_ = bound;
    return bound;
}

void AdapterSimulator::setLatency(int ms)
{
    latencyMs_ = qMax(0, ms);
}

void AdapterSimulator::setFault(const SensorFault& fault)
{
    if (fault.sensor == SensorFault::AllSensors) {
        faults_.fill(fault.fault);
        return;
    }
    if (fault.sensor >= 1 && fault.sensor <= MaxSensors)
        faults_[slot(fault.sensor)] = fault.fault;
}

Fault AdapterSimulator::fault(int sensor) const
{
    if (sensor < 1 || sensor > MaxSensors)
        return {};
    return faults_[slot(sensor)];
}

void AdapterSimulator::clearFaults()
{
    faults_.fill(Fault{});
}

quint64 AdapterSimulator::requestCount(int sensor) const
{
    if (sensor < 1 || sensor > sensorCount())
        return 0;
    return requests_[slot(sensor)];
}

quint64 AdapterSimulator::totalRequests() const
{
    return std::accumulate(requests_.begin(), requests_.end(), quint64(0));
}

bool AdapterSimulator::handleRequest(const QHttpServerRequest& request, QTcpSocket* socket)
{
    // Every answer goes out in one write, and without Nagle a kept-alive client gets it at once instead
    // of after its delayed ACK.
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);

    const QUrl url = request.url();
    const QByteArray path = url.path(QUrl::FullyEncoded).toLatin1();
    const QByteArray query = url.query(QUrl::FullyEncoded).toLatin1();
    const bool close = wantsClose(request);

    Answer answer;
    bool delayed = true;
    if (request.method() != QHttpServerRequest::Method::Get) {
        answer.response = PageBuilder::methodNotAllowed();
    } else if (path.startsWith(ControlPrefix)) {
        answer.response = controlAnswer(path, query);
        delayed = false;
    } else if (const auto sensor = sensorFor(path, query)) {
        answer = sensorAnswer(*sensor, RequestTarget{path, query, port_});
    } else {
        answer.response = PageBuilder::notFound();
    }
    answer.response.closeConnection = answer.response.closeConnection || close;

    const QPointer<QTcpSocket> guarded(socket);
    if (!delayed || latencyMs_ == 0) {
        deliver(guarded, answer);
        return true;
    }
    QTimer::singleShot(latencyMs_, this, [this, guarded, answer] { deliver(guarded, answer); });
    return true;
}

void AdapterSimulator::missingHandler(const QHttpServerRequest& request, QTcpSocket* socket)
{
    Q_UNUSED(request);
    // handleRequest() answers everything, so this only runs if that ever changes.
    const QPointer<QTcpSocket> guarded(socket);
    deliver(guarded, Answer{Delivery::Whole, PageBuilder::notFound()});
}

AdapterSimulator::Answer AdapterSimulator::sensorAnswer(int sensor, const RequestTarget& target)
{
    ++requests_[slot(sensor)];
    int reading = drift_[slot(sensor)].next();

    Fault fault = faults_[slot(sensor)];
    if (fault.kind == FaultKind::Rise)
        reading = risenReading(faults_[slot(sensor)], reading);
    if (fault.kind == FaultKind::RedirectSame && queryValue(target.encodedQuery, "r") == QByteArray("1"))
        fault = Fault{};
    // A sensor restarts once: the next page is normal again.
    if (fault.kind == FaultKind::PowerOnReset)
        faults_[slot(sensor)] = Fault{};

    Answer answer;
    answer.response = PageBuilder::sensorResponse(sensor, roms_.at(slot(sensor)), reading, fault, target,
                                                  seed_ ^ totalRequests());
    switch (fault.kind) {
    case FaultKind::Close:
        answer.delivery = Delivery::Close;
        break;
    case FaultKind::Silent:
        answer.delivery = Delivery::Silent;
        break;
    case FaultKind::Drip:
        answer.delivery = Delivery::Drip;
        break;
    case FaultKind::Huge:
        answer.delivery = Delivery::InParts;
        break;
    default:
        answer.delivery = Delivery::Whole;
        break;
    }
    return answer;
}

HttpResponse AdapterSimulator::controlAnswer(const QByteArray& path, const QByteArray& encodedQuery)
{
    const QByteArray command = path.mid(ControlPrefix.size());
    const auto bad = [](const QByteArray& why) { return PageBuilder::text(400, why + '\n'); };

    if (command == "latency") {
        bool ok = false;
        const int ms = queryValue(encodedQuery, "ms").value_or(QByteArray()).toInt(&ok);
        if (!ok || ms < 0)
            return bad("ms must be a whole number of milliseconds, 0 or more");
        setLatency(ms);
    } else if (command == "fault") {
        const auto sensor =
            parseSensorSelector(QString::fromUtf8(queryValue(encodedQuery, "sensor").value_or(QByteArray())));
        const auto kind =
            faultKindFromName(QString::fromUtf8(queryValue(encodedQuery, "kind").value_or(QByteArray())));
        if (!sensor)
            return bad("sensor must be 1.." + QByteArray::number(MaxSensors) + " or all");
        if (!kind)
            return bad("kind must be one of: " + faultKindNames().join(u' ').toLatin1());
        setFault(
            SensorFault{*sensor, Fault{*kind, queryValue(encodedQuery, "arg").value_or(QByteArray()), {}}});
    } else if (command == "clear") {
        clearFaults();
    } else if (command == "stats") {
        QByteArray text;
        for (int sensor = 1; sensor <= sensorCount(); ++sensor)
            text += QByteArray::number(sensor) + ' ' + QByteArray::number(requestCount(sensor)) + '\n';
        text += "total " + QByteArray::number(totalRequests()) + '\n';
        return PageBuilder::text(200, text);
    } else {
        return PageBuilder::notFound();
    }
    return PageBuilder::text(200, "ok");
}

void AdapterSimulator::deliver(const QPointer<QTcpSocket>& socket, const Answer& answer)
{
    if (!socket || socket->state() != QAbstractSocket::ConnectedState)
        return;
    switch (answer.delivery) {
    case Delivery::Silent:
        return;
    case Delivery::Close:
        socket->disconnectFromHost();
        return;
    case Delivery::Drip:
        startDrip(socket, answer.response);
        return;
    case Delivery::InParts:
        socket->write(answer.response.head());
        socket->write(answer.response.body);
        break;
    case Delivery::Whole:
        socket->write(answer.response.serialize());
        break;
    }
    if (answer.response.closeConnection)
        socket->disconnectFromHost();
}

void AdapterSimulator::startDrip(QTcpSocket* socket, const HttpResponse& response)
{
    socket->write(response.head());
    // Owned by the socket, so it dies with the connection however that ends.
    auto* timer = new QTimer(socket);
    timer->setInterval(DripIntervalMs);
    const QPointer<QTcpSocket> guarded(socket);
    connect(timer, &QTimer::timeout, timer,
            [timer, guarded, body = response.body, close = response.closeConnection,
             sent = qsizetype(0)]() mutable {
                if (!guarded || guarded->state() != QAbstractSocket::ConnectedState) {
                    timer->stop();
                    return;
                }
                guarded->write(body.constData() + sent, 1);
                if (++sent < body.size())
                    return;
                timer->stop();
                timer->deleteLater();
                if (close)
                    guarded->disconnectFromHost();
            });
    timer->start();
}

} // namespace quorvel::adaptersim
