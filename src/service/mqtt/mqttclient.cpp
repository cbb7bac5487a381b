#include "service/mqtt/mqttclient.h"

#include <QHostAddress>
#include <QSocketNotifier>
#include <QTimer>

#include <mosquitto.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

#include <cerrno>
#include <cstring>
#include <mutex>

namespace quorvel::service {

namespace {

// libmosquitto's keep-alive work (the ping, noticing a broker that stopped answering) runs this many times
// per keep-alive period: late by a quarter at most, well inside the broker's allowance of one and a half.
constexpr int MiscPerKeepAlive = 4;
constexpr int TlsReadsPerWakeUp = 16;

} // namespace

struct MqttClient::Inbox {
    std::mutex mutex;
    MqttClient* client = nullptr;
};

MqttClient::MqttClient(const MqttOptions& options, MqttMessage will, runtime::MessageSink messages, QObject* parent,
                       HostLookup lookup)
    : QObject(parent), inbox_(std::make_shared<Inbox>()), lookup_(std::move(lookup)), options_(options),
      will_(std::move(will)), messages_(std::move(messages)), misc_(new QTimer(this)),
      retry_(new QTimer(this)), answer_(new QTimer(this)), lookupWait_(new QTimer(this)),
      stable_(new QTimer(this))
{
    inbox_->client = this;
    static std::once_flag initialised;
    std::call_once(initialised, [] { mosquitto_lib_init(); });
    mosq_ = mosquitto_new(nullptr, true, this);
    mosquitto_connect_callback_set(mosq_, &MqttClient::onConnect);
    mosquitto_publish_callback_set(mosq_, &MqttClient::onPublish);
    mosquitto_message_callback_set(mosq_, &MqttClient::onMessage);
    mosquitto_log_callback_set(mosq_, &MqttClient::onLog);
    // Small messages at once rather than batched: a reading should reach its reader without delay.
    mosquitto_int_option(mosq_, MOSQ_OPT_TCP_NODELAY, 1);
    if (!options_.user.isEmpty())
        mosquitto_username_pw_set(mosq_, options_.user.toUtf8().constData(),
                                  options_.password.isEmpty() ? nullptr : options_.password.constData());
    const QByteArray willTopic = will_.topic.toUtf8();
    mosquitto_will_set(mosq_, willTopic.constData(), int(will_.payload.size()), will_.payload.constData(), 1,
                       will_.retain);
    if (options_.tls)
        setUpTls();
    misc_->setInterval(options_.keepAlive * 1000 / MiscPerKeepAlive);
    connect(misc_, &QTimer::timeout, this, [this] { afterLoop(mosquitto_loop_misc(mosq_)); });
    retry_->setSingleShot(true);
    connect(retry_, &QTimer::timeout, this, &MqttClient::connectNow);
    answer_->setSingleShot(true);
    answer_->setInterval(options_.keepAlive * 1000);
    connect(answer_, &QTimer::timeout, this,
            [this] { fail(QStringLiteral("no answer within %1 s").arg(options_.keepAlive), retryMs_); });
    lookupWait_->setSingleShot(true);
    lookupWait_->setInterval(LookupTimeoutMs);
    connect(lookupWait_, &QTimer::timeout, this, [this] {
        fail(QStringLiteral("the name service gave no address for %1 within %2 s")
                 .arg(options_.host)
                 .arg(LookupTimeoutMs / 1000),
             retryMs_);
    });
    stable_->setSingleShot(true);
    stable_->setInterval(StableMs);
    connect(stable_, &QTimer::timeout, this, [this] {
        tellRepeats();
        told_.clear();
        flapping_ = false;
    });
}

MqttClient::~MqttClient()
{
    {
        const std::lock_guard lock(inbox_->mutex);
        inbox_->client = nullptr;
    }
    unwatchSocket();
    mosquitto_destroy(mosq_);
}

// libmosquitto would check the certificate against the host it connects to, which is the address looked up
// here: so the TLS context is ours, and OpenSSL checks the chain and the name given.
void MqttClient::setUpTls()
{
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    // Without a CA file, the system's.
    const QByteArray caFile = options_.caFile.toLocal8Bit();
    SSL_CTX_load_verify_locations(context, caFile.isEmpty() ? nullptr : caFile.constData(),
                                  caFile.isEmpty() ? "/etc/ssl/certs" : nullptr);
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
    X509_VERIFY_PARAM* check = SSL_CTX_get0_param(context);
    const QByteArray host = options_.host.toUtf8();
    if (QHostAddress(options_.host).isNull())
        X509_VERIFY_PARAM_set1_host(check, host.constData(), std::size_t(host.size()));
    else
        X509_VERIFY_PARAM_set1_ip_asc(check, host.constData());
    SSL_CTX_set_cert_verify_callback(context, &MqttClient::verifyChain, this);
    // Its defaults would install its own check of the connected host's name.
    mosquitto_int_option(mosq_, MOSQ_OPT_SSL_CTX_WITH_DEFAULTS, 0);
    mosquitto_void_option(mosq_, MOSQ_OPT_SSL_CTX, context);
    SSL_CTX_free(context); // libmosquitto holds its own reference
}

int MqttClient::verifyChain(x509_store_ctx_st* store, void* self)
{
    const int ok = X509_verify_cert(store);
    static_cast<MqttClient*>(self)->verifyError_ = ok > 0 ? X509_V_OK : X509_STORE_CTX_get_error(store);
    return ok;
}

void MqttClient::start()
{
    stopping_ = false;
    connectNow();
}

void MqttClient::stop(const QList<MqttMessage>& last)
{
    stopping_ = true;
    tellRepeats();
    retry_->stop();
    answer_->stop();
    lookupWait_->stop();
    stable_->stop();
    if (connected_) {
        for (const MqttMessage& message : last)
            publish(message);
        mosquitto_loop_write(mosq_, 1);
        mosquitto_disconnect(mosq_);
        mosquitto_loop_write(mosq_, 1);
    }
    connected_ = false;
    unwatchSocket();
}

void MqttClient::connectNow()
{
    unwatchSocket();
    if (!QHostAddress(options_.host).isNull()) {
        connectTo({options_.host});
        return;
    }
    if (found_) {
        const QStringList addresses = *std::exchange(found_, std::nullopt);
        connectTo(addresses);
        return;
    }
    lookupWait_->start();
    // One lookup at a time: a name service that hangs holds one thread, however often this comes round.
    if (lookingUp_)
        return;
    lookingUp_ = true;
    lookup_(options_.host, [inbox = inbox_](const QStringList& addresses, const QString& error) {
        const std::lock_guard lock(inbox->mutex);
        if (inbox->client)
            QMetaObject::invokeMethod(
                inbox->client,
                [client = inbox->client, addresses, error] { client->onLookedUp(addresses, error); },
                Qt::QueuedConnection);
    });
}

void MqttClient::onLookedUp(const QStringList& addresses, const QString& error)
{
    lookingUp_ = false;
    if (!lookupWait_->isActive()) {
        if (error.isEmpty() && !addresses.isEmpty())
            found_ = addresses;
        return;
    }
    lookupWait_->stop();
    if (!error.isEmpty() || addresses.isEmpty()) {
        fail(QStringLiteral("cannot look up %1: %2").arg(options_.host, error), retryMs_);
        return;
    }
    connectTo(addresses);
}

// The addresses in the name service's order, as a connect by name would: the first that takes a connect.
void MqttClient::connectTo(const QStringList& addresses)
{
    lastError_.clear();
    refusal_.clear();
    verifyError_ = X509_V_OK;
    int rc = MOSQ_ERR_INVAL;
    int savedErrno = 0;
    for (qsizetype i = 0; i < addresses.size(); ++i) {
        errno = 0;
        rc = mosquitto_connect_async(mosq_, addresses.at(i).toUtf8().constData(), options_.port,
                                     options_.keepAlive);
        savedErrno = errno;
        if (rc == MOSQ_ERR_SUCCESS) {
            // Should this one not answer, the next attempt tries the others before looking up again.
            if (i + 1 < addresses.size())
                found_ = addresses.mid(i + 1);
            break;
        }
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        fail(reasonFor(rc, savedErrno), retryMs_);
        return;
    }
    watchSocket();
    answer_->start();
}

void MqttClient::watchSocket()
{
    const int fd = mosquitto_socket(mosq_);
    if (fd < 0)
        return;
    reader_ = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    writer_ = new QSocketNotifier(fd, QSocketNotifier::Write, this);
    connect(reader_, &QSocketNotifier::activated, this, [this] {
        // libmosquitto reads about one packet a call. Over TLS the rest of a record can wait in the TLS
        // layer, where the socket no longer shows it: read on a few times, each call that finds nothing
        // is one read that would block.
        int rc = mosquitto_loop_read(mosq_, 1);
        for (int more = options_.tls ? TlsReadsPerWakeUp : 0; rc == MOSQ_ERR_SUCCESS && more > 0 && reader_;
             --more)
            rc = mosquitto_loop_read(mosq_, 1);
        afterLoop(rc);
    });
    connect(writer_, &QSocketNotifier::activated, this,
            [this] { afterLoop(mosquitto_loop_write(mosq_, 1)); });
    misc_->start();
    updateWriteWatch();
}

void MqttClient::unwatchSocket()
{
    misc_->stop();
    // Called from the notifiers' own handlers too: they go when the event loop is back.
    for (QSocketNotifier** notifier : {&reader_, &writer_}) {
        if (*notifier) {
            (*notifier)->setEnabled(false);
            (*notifier)->deleteLater();
            *notifier = nullptr;
        }
    }
}

void MqttClient::updateWriteWatch()
{
    if (writer_)
        writer_->setEnabled(mosquitto_want_write(mosq_));
}

void MqttClient::afterLoop(int rc)
{
    const int savedErrno = errno;
    if (rc == MOSQ_ERR_SUCCESS) {
        updateWriteWatch();
        return;
    }
    if (stopping_)
        return;
    if (!refusal_.isEmpty()) {
        // The broker answered and said no: its reason, and no hurry, since asking again soon changes nothing.
        fail(refusal_, LastRetryMs);
        return;
    }
    fail(reasonFor(rc, savedErrno), retryMs_);
}

// In words a person can act on: the library's own say "Unknown error." for a keep-alive time-out, and the
// same "certificate verify failed" for a certificate of another host as for one of an unknown CA.
QString MqttClient::reasonFor(int rc, int savedErrno) const
{
    switch (rc) {
    case MOSQ_ERR_ERRNO:
        return QString::fromLocal8Bit(std::strerror(savedErrno));
    case MOSQ_ERR_KEEPALIVE:
        return QStringLiteral("the broker did not answer within the keep-alive (%1 s)")
            .arg(options_.keepAlive);
    case MOSQ_ERR_CONN_LOST:
        return QStringLiteral("the broker closed the connection");
    case MOSQ_ERR_TLS:
        if (verifyError_ == X509_V_ERR_HOSTNAME_MISMATCH || verifyError_ == X509_V_ERR_IP_ADDRESS_MISMATCH)
            return QStringLiteral("the broker's certificate is not made out to %1").arg(options_.host);
        if (verifyError_ != X509_V_OK)
            return QStringLiteral("the broker's certificate is not trusted: %1")
                .arg(QString::fromUtf8(X509_verify_cert_error_string(verifyError_)));
        return QStringLiteral("the TLS handshake failed (%1)").arg(lastError_);
    default:
        return QString::fromUtf8(mosquitto_strerror(rc));
    }
}

void MqttClient::fail(const QString& reason, int retryMs)
{
    unwatchSocket();
    answer_->stop();
    lookupWait_->stop();
    stable_->stop();
    const bool wasConnected = connected_;
    connected_ = false;
    pending_ = 0;
    dropped_ = false;
    if (wasConnected) {
        emit disconnected();
        // Only a connection that held starts the back-off again: one dropped at once is no recovery.
        if (connectedFor_.elapsed() >= StableMs)
            retryMs = FirstRetryMs;
        else
            flapping_ = reason == told_;
    } else {
        emit connectionFailed();
    }
    if (reason == told_) {
        ++repeats_;
    } else {
        tellRepeats();
        flapping_ = false;
        messages_(wasConnected ? QStringLiteral("lost the connection to the MQTT broker at %1: %2; retrying")
                                     .arg(options_.url, reason)
                  : !refusal_.isEmpty()
                      ? QStringLiteral("the MQTT broker at %1 refused the login: %2; retrying every %3 s")
                            .arg(options_.url, reason)
                            .arg(LastRetryMs / 1000)
                      : QStringLiteral("cannot reach the MQTT broker at %1: %2; retrying")
                            .arg(options_.url, reason));
        told_ = reason;
    }
    retry_->start(retryMs);
    retryMs_ = std::min(retryMs * 2, LastRetryMs);
}

void MqttClient::tellRepeats()
{
    if (repeats_ > 0)
        messages_(QStringLiteral("the same trouble with the MQTT broker at %1 came %2 more times: %3")
                      .arg(options_.url)
                      .arg(repeats_)
                      .arg(told_));
    repeats_ = 0;
}

MqttClient::Sent MqttClient::publish(const MqttMessage& message)
{
    if (!connected_)
        return Sent::NotConnected;
    if (pending_ >= MaxPending) {
        dropped_ = true;
        return Sent::Dropped;
    }
    const QByteArray topic = message.topic.toUtf8();
    const int rc = mosquitto_publish(mosq_, nullptr, topic.constData(), int(message.payload.size()),
                                     message.payload.constData(), 0, message.retain);
    if (rc != MOSQ_ERR_SUCCESS)
        return Sent::NotConnected;
    ++pending_;
    updateWriteWatch();
    return Sent::Yes;
}

void MqttClient::subscribe(const QString& filter)
{
    if (connected_)
        mosquitto_subscribe(mosq_, nullptr, filter.toUtf8().constData(), 0);
}

void MqttClient::unsubscribe(const QString& filter)
{
    if (connected_)
        mosquitto_unsubscribe(mosq_, nullptr, filter.toUtf8().constData());
}

void MqttClient::onConnect(mosquitto*, void* self, int rc)
{
    auto* client = static_cast<MqttClient*>(self);
    if (rc != 0) {
        client->refusal_ = QString::fromUtf8(mosquitto_connack_string(rc));
        return;
    }
    client->answer_->stop();
    client->found_.reset();
    client->connected_ = true;
    client->connectedFor_.start();
    client->stable_->start();
    client->pending_ = 0;
    if (!client->flapping_) {
        client->tellRepeats();
        client->messages_(QStringLiteral("connected to the MQTT broker at %1").arg(client->options_.url));
    }
    emit client->connected();
}

void MqttClient::onPublish(mosquitto*, void* self, int)
{
    auto* client = static_cast<MqttClient*>(self);
    if (client->pending_ > 0)
        --client->pending_;
    emit client->published();
    if (client->pending_ == 0 && client->dropped_) {
        client->dropped_ = false;
        emit client->drained();
    }
}

void MqttClient::onMessage(mosquitto*, void* self, const mosquitto_message* message)
{
    auto* client = static_cast<MqttClient*>(self);
    emit client->messageReceived(QString::fromUtf8(message->topic),
                                 QByteArray(static_cast<const char*>(message->payload), message->payloadlen),
                                 message->retain);
}

void MqttClient::onLog(mosquitto*, void* self, int level, const char* text)
{

    if (level == MOSQ_LOG_ERR)
        static_cast<MqttClient*>(self)->lastError_ = QString::fromUtf8(text);
}

} // namespace quorvel::service
