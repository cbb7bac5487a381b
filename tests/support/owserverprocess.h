#pragma once

#include <QObject>
#include <QString>

class QProcess;

namespace quorvel::testing {

// Debian's 1-Wire server for one test, on a free loopback port, with simulated sensors of fixed IDs and
// values (--tester), and its command-line reader to check what a client reads. Ends with this object.
class OwserverProcess : public QObject {
    Q_OBJECT
public:
    explicit OwserverProcess(QObject* parent = nullptr);
    ~OwserverProcess() override;

    // The server and owread are installed: otherwise a test skips.
    [[nodiscard]] static bool available();

    // Families in hex, one sensor each, as --tester takes them ("28,28,10"); true once it takes connections.
    bool start(const QString& families);
    void stop();

    [[nodiscard]] quint16 port() const { return port_; }
    // What owread prints for the path, trimmed; empty when it fails.
    [[nodiscard]] QString owread(const QString& path) const;

private:
    QProcess* process_;
    quint16 port_ = 0;
};

} // namespace quorvel::testing
