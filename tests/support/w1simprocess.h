#pragma once

#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

// Runs the 1-Wire tree simulator named by QUORVEL_W1_SIM over FUSE in a scratch folder for one test. Where
// FUSE cannot mount (no /dev/fuse, no permission) start() fails and skipReason() says why, for a QSKIP.
class W1SimProcess : public QObject {
    Q_OBJECT
public:
    explicit W1SimProcess(QObject* parent = nullptr);
    ~W1SimProcess() override;

    bool start(const QStringList& args = {});
    void stop();
    [[nodiscard]] const QString& skipReason() const { return skipReason_; }
    // The mounted tree, as /sys/bus/w1/devices.
    [[nodiscard]] QString root() const;
    // Writes commands to the control file ("fault 2 hang", "release" ...).
    bool control(const QByteArray& commands);
    // Conversions the sensors made one by one, and bulk conversions of the whole bus, so far.
    [[nodiscard]] std::pair<int, int> conversions() const;

private:
    QProcess* process_;
    std::unique_ptr<QTemporaryDir> dir_;
    QString skipReason_;
};
