#pragma once

#include "runtime/messagesink.h"
#include "service/mqtt/mqtthostlookup.h"
#include "service/mqtt/mqttmessage.h"
#include "service/mqtt/mqttoptions.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <memory>
#include <optional>

struct mosquitto;
struct mosquitto_message;
struct x509_store_ctx_st;
class QSocketNotifier;
class QTimer;

namespace quorvel::service {

// One connection to an MQTT broker, libmosquitto driven by the event loop: its socket watched by socket
// notifiers, connect without blocking, keep-alive from a timer. Never blocks the caller; publishes only while
// connected and holds at most MaxPending messages not yet written, so a slow or stopped broker costs a
// bounded amount of memory. The broker's name is looked up off the event loop, a wait bounded by
// LookupTimeoutMs. Reconnects by itself, backing off from 1 s to 60 s; the back-off starts again only after
// a connection held StableMs, so a broker that drops each connection at once is not hammered.
class MqttClient final : public QObject {
    Q_OBJECT
public:
    static constexpr int FirstRetryMs = 1000;
    static constexpr int LastRetryMs = 60000;
    static constexpr int MaxPending = 200;
    static constexpr int LookupTimeoutMs = 10000;
    static constexpr int StableMs = 60000;

    enum class Sent { Yes, NotConnected, Dropped };

    // The will is published by the broker when the connection ends without a goodbye.
    MqttClient(const MqttOptions& options, MqttMessage will, runtime::MessageSink messages,
               QObject* parent = nullptr, HostLookup lookup = lookUpInThread);
    ~MqttClient() override;

    void start();
    // Sends these, then says goodbye (the broker drops the will); what the socket does not take at once is
    // left to the will.
    void stop(const QList<MqttMessage>& last);

    Sent publish(const MqttMessage& message);
    void subscribe(const QString& filter);
    void unsubscribe(const QString& filter);

    [[nodiscard]] bool isConnected() const { return connected_; }
    [[nodiscard]] int retryMs() const { return retryMs_; }

signals:
    void connected();
    void disconnected();
    void connectionFailed();
    // A message written to the socket.
    void published();
    // The writes caught up after messages were dropped: whoever publishes state may send it anew.
    void drained();
    void messageReceived(const QString& topic, const QByteArray& payload, bool retained);

private:
    static void onConnect(mosquitto*, void* self, int rc);
    static void onPublish(mosquitto*, void* self, int mid);
    static void onMessage(mosquitto*, void* self, const mosquitto_message* message);
    static void onLog(mosquitto*, void* self, int level, const char* text);
    static int verifyChain(x509_store_ctx_st* store, void* self);

    void setUpTls();
    void connectNow();
    void onLookedUp(const QStringList& addresses, const QString& error);
    void connectTo(const QStringList& addresses);
    void watchSocket();
    void unwatchSocket();
    void afterLoop(int rc);
    [[nodiscard]] QString reasonFor(int rc, int savedErrno) const;
    void fail(const QString& reason, int retryMs);
    void tellRepeats();
    void updateWriteWatch();

    // Shared with the lookup's thread, which hands its answer over only while the client is there.
    struct Inbox;
    std::shared_ptr<Inbox> inbox_;
    HostLookup lookup_;
    bool lookingUp_ = false;
    // A lookup answered after its wait was given up: the next attempt starts from it.
    std::optional<QStringList> found_;

    MqttOptions options_;
    MqttMessage will_;
    runtime::MessageSink messages_;
    mosquitto* mosq_ = nullptr;
    QSocketNotifier* reader_ = nullptr;
    QSocketNotifier* writer_ = nullptr;
    QTimer* misc_;
    QTimer* retry_;
    // A broker that takes the connection but never answers it (stopped, overloaded) is given up on.
    QTimer* answer_;
    QTimer* lookupWait_;
    QTimer* stable_;
    QElapsedTimer connectedFor_;
    QString lastError_;   // libmosquitto's last error line (TLS says why there)
    int verifyError_ = 0; // OpenSSL's verdict on the broker's certificate, 0 when it passed
    QString refusal_;     // the broker's reason for refusing the connection
    int retryMs_ = FirstRetryMs;
    int pending_ = 0;
    bool connected_ = false;
    bool dropped_ = false;
    // What the last message about a failure said; each new reason is told once, and how often it came
    // back untold once it is over.
    QString told_;
    int repeats_ = 0;
    // Connections are dropped again and again soon after they are made: neither is told each time.
    bool flapping_ = false;
    bool stopping_ = false;
};

} // namespace quorvel::service
