#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include <functional>
#include <memory>

namespace quorvel::testing {

// Debian's MQTT broker for one test, on free loopback ports, with a configuration written here: an open
// listener for the test's own clients, and the listener the service is pointed at (anonymous, with a
// login, or with TLS and a login, certificates made by openssl now). Ends with this object.
class BrokerProcess : public QObject {
    Q_OBJECT
public:
    // TlsOtherName: a certificate from the right CA, made out to another host.
    enum class Kind { Open, Login, Tls, TlsOtherName };
    static constexpr const char* User = "quorvel";
    static constexpr const char* Password = "right horse";

    explicit BrokerProcess(QObject* parent = nullptr);
    ~BrokerProcess() override;

    // The broker, its clients and openssl are all installed: otherwise a test skips.
    [[nodiscard]] static bool available();

    bool start(Kind kind);
    // Again with the same configuration and ports (the retained messages are gone: no persistence).
    bool restart();
    void stop();
    void pause(bool paused);

    // The listener of the kind asked for, and the open one for the test's own clients.
    [[nodiscard]] quint16 port() const { return port_; }
    [[nodiscard]] quint16 openPort() const { return openPort_; }
    // mqtt://127.0.0.1:PORT or mqtts://127.0.0.1:PORT.
    [[nodiscard]] QString url() const;
    [[nodiscard]] QString file(const QString& name) const { return dir_->filePath(name); }
    // The CA that signed the broker's certificate, and one that did not.
    [[nodiscard]] QString caFile() const { return file(QStringLiteral("ca.crt")); }
    [[nodiscard]] QString otherCaFile() const { return file(QStringLiteral("other.crt")); }

    // Publishes one message through the open listener, as Home Assistant would.
    bool publish(const QString& topic, const QByteArray& payload, bool retain = false) const;

private:
    bool makeCertificates();
    bool launch();

    std::unique_ptr<QTemporaryDir> dir_;
    QProcess* process_;
    Kind kind_ = Kind::Open;
    quint16 port_ = 0;
    quint16 openPort_ = 0;
};

// Reads every topic under a filter through the broker's open listener (mosquitto_sub), keeping each message.
class MqttSubscriber : public QObject {
    Q_OBJECT
public:
    struct Message {
        bool retained = false;
        QString topic;
        QByteArray payload;
    };

    explicit MqttSubscriber(QObject* parent = nullptr);
    ~MqttSubscriber() override;

    // Subscribes, and returns once the subscription carries a message (a probe it publishes itself).
    bool start(const BrokerProcess& broker, const QString& filter = QStringLiteral("#"));
    [[nodiscard]] QList<Message> messages();
    // The messages on this topic, in order.
    [[nodiscard]] QList<Message> on(const QString& topic);
    // Waits in the event loop until a message satisfies the condition; false after ms.
    bool waitFor(const std::function<bool(const Message&)>& condition, int ms);

private:
    void readLines();

    QProcess* process_;
    QByteArray partial_;
    QList<Message> messages_;
};

} // namespace quorvel::testing
