#pragma once

#include "acquisition/sensortable.h"

#include <QMap>
#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <optional>

class QNetworkAccessManager;

// Runs the adapter simulator binary named by QUORVEL_ADAPTER_SIM for one test and talks to its
// /control/ endpoint. The process ends with this object, and on Linux also when the test process dies.
class SimulatorProcess : public QObject {
    Q_OBJECT

public:
    static constexpr int AllSensors = 0;
    static constexpr int SensorCount = quorvel::acquisition::SensorCount;

    explicit SimulatorProcess(QObject* parent = nullptr);
    ~SimulatorProcess() override;

    SimulatorProcess(const SimulatorProcess&) = delete;
    SimulatorProcess& operator=(const SimulatorProcess&) = delete;

    // Starts the simulator and waits up to 10 s for the port it prints. Restarts it if already running.
    // A launcher (a command and its arguments, such as nsenter's) runs the simulator when given.
    bool start(const QStringList& extraArgs = {}, const QStringList& launcher = {});
    void stop();

    [[nodiscard]] bool isRunning() const;
    [[nodiscard]] qint64 processId() const;
    [[nodiscard]] quint16 port() const { return port_; }
    [[nodiscard]] QString baseUrl() const;
    // Slot 0..12 is sensor 1..13; empty for any other slot.
    [[nodiscard]] QString sensorUrl(int slot) const;

    // pathAndQuery is either a full path ("/control/latency?ms=5") or what follows /control/
    // ("latency?ms=5"). True when the simulator answered 200 within 5 s.
    bool control(const QString& pathAndQuery);
    // The body of a 200 answer to a control request, nullopt otherwise.
    [[nodiscard]] std::optional<QByteArray> controlText(const QString& pathAndQuery);

    // sensor 1..13 or AllSensors.
    bool setFault(int sensor, const QString& kind, const QString& arg = {});
    bool setLatency(int ms);
    bool clear();
    // Requests seen per sensor (1..13, then any other DS18B20 asked of it); empty when the simulator did
    // not answer.
    [[nodiscard]] QMap<int, int> stats();

private:
    QProcess* process_;
    QNetworkAccessManager* network_;
    quint16 port_ = 0;
};
