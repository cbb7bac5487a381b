#pragma once

#include "fault.h"
#include "httpresponse.h"
#include "pagebuilder.h"
#include "sensordrift.h"
#include "sensortable.h"

#include <QAbstractHttpServer>
#include <QByteArray>
#include <QList>
#include <QPointer>
#include <QTcpSocket>

#include <array>
#include <optional>
#include <vector>

namespace quorvel::adaptersim {

// Stand-in for the 1-Wire-to-Ethernet adapter: serves the thirteen sensor pages on 127.0.0.1, with
// per-sensor faults and an answer delay that can be changed while it runs through /control/ requests.
class AdapterSimulator : public QAbstractHttpServer {
    Q_OBJECT

public:
    static constexpr int DripIntervalMs = 200;

    explicit AdapterSimulator(quint64 seed = 1, QObject* parent = nullptr);

    // Binds 127.0.0.1 only; port 0 picks a free one. Returns the bound port.
    [[nodiscard]] std::optional<quint16> listenLocal(quint16 port);
    [[nodiscard]] quint16 port() const { return port_; }

    void setLatency(int ms);
    [[nodiscard]] int latency() const { return latencyMs_; }

    void setFault(const SensorFault& fault);
    [[nodiscard]] Fault fault(int sensor) const;
    void clearFaults();

    [[nodiscard]] quint64 requestCount(int sensor) const;
    // The thirteen, then every other sensor asked of it so far.
    [[nodiscard]] int sensorCount() const { return int(roms_.size()); }
    [[nodiscard]] quint64 totalRequests() const;

protected:
    bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override;
    void missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) override;

private:
    enum class Delivery { Whole, InParts, Drip, Close, Silent };

    struct Answer {
        Delivery delivery = Delivery::Whole;
        HttpResponse response;
    };

    // The sensor a request asks for; another DS18B20 than the thirteen becomes the next sensor.
    [[nodiscard]] std::optional<int> sensorFor(const QByteArray& path, const QByteArray& encodedQuery);
    [[nodiscard]] Answer sensorAnswer(int sensor, const RequestTarget& target);
    [[nodiscard]] HttpResponse controlAnswer(const QByteArray& path, const QByteArray& encodedQuery);
    void deliver(const QPointer<QTcpSocket>& socket, const Answer& answer);
    void startDrip(QTcpSocket* socket, const HttpResponse& response);

    quint64 seed_;
    quint16 port_ = 0;
    int latencyMs_ = 0;
    QList<QByteArray> roms_; // sensor n is roms_[n - 1]
    std::vector<SensorDrift> drift_;
    std::vector<quint64> requests_;
    // Faults may be set for sensors not asked of it yet.
    std::array<Fault, MaxSensors> faults_{};
};

} // namespace quorvel::adaptersim
