#include "service/mqtt/mqttclient.h"

#include <QSocketNotifier>
#include <QTimer>

#include <mosquitto.h>

#include <cerrno>
#include <cstring>
#include <mutex>

namespace quorvel::service {

namespace {

// libmosquitto's keep-alive work (the ping, noticing a broker that stopped answering) runs this many times
// per keep-alive period: late by a quarter at most, well inside the broker's allowance of one and a half.
constexpr int MiscPerKeepAlive = 4;
constexpr int TlsReadsPerWakeUp = 16;

QString errorText(int rc, int savedErrno)
{
    if (rc == MOSQ_ERR_ERRNO)
        return QString::fromLocal8Bit(std::strerror(savedErrno));
    return QString::fromUtf8(mosquitto_strerror(rc));
}

} // namespace

MqttClient::MqttClient(const MqttOptions& options, MqttMessage will, runtime::MessageSink messages,
                       QObject* parent)
    : QObject(parent), options_(options), will_(std::move(will)), messages_(std::move(messages)),
      misc_(new QTimer(this)), retry_(new QTimer(this)), answer_(new QTimer(this))
{
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
    if (options_.tls) {
        // Without a CA file, the system's; the host name is checked against the certificate either way.
        const QByteArray caFile = options_.caFile.toLocal8Bit();
        mosquitto_tls_set(mosq_, caFile.isEmpty() ? nullptr : caFile.constData(),
                          caFile.isEmpty() ? "/etc/ssl/certs" : nullptr, nullptr, nullptr, nullptr);
        mosquitto_tls_insecure_set(mosq_, false);
    }
    misc_->setInterval(options_.keepAlive * 1000 / MiscPerKeepAlive);
    connect(misc_, &QTimer::timeout, this, [this] { afterLoop(mosquitto_loop_misc(mosq_)); });
    retry_->setSingleShot(true);
    connect(retry_, &QTimer::timeout, this, &MqttClient::connectNow);
    answer_->setSingleShot(true);
    answer_->setInterval(options_.keepAlive * 1000);
    connect(answer_, &QTimer::timeout, this,
            [this] { fail(QStringLiteral("no answer within %1 s").arg(options_.keepAlive), retryMs_); });
}

MqttClient::~MqttClient()
{
    unwatchSocket();
    mosquitto_destroy(mosq_);
}

void MqttClient::start()
{
    stopping_ = false;
    connectNow();
}

void MqttClient::stop(const QList<MqttMessage>& last)
{
    stopping_ = true;
    retry_->stop();
    answer_->stop();
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
    lastError_.clear();
    refusal_.clear();
    errno = 0;
    const int rc =
        mosquitto_connect_async(mosq_, options_.host.toUtf8().constData(), options_.port, options_.keepAlive);
    const int savedErrno = errno;
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

QString MqttClient::reasonFor(int rc, int savedErrno) const
{
    QString reason = errorText(rc, savedErrno);
    // The library's own words for a TLS failure say only that one happened; its log line says which.
    if (rc == MOSQ_ERR_TLS && !lastError_.isEmpty())
        reason += QStringLiteral(" (%1)").arg(lastError_);
    return reason;
}

void MqttClient::fail(const QString& reason, int retryMs)
{
    unwatchSocket();
    answer_->stop();
    const bool wasConnected = connected_;
    connected_ = false;
    pending_ = 0;
    dropped_ = false;
    if (wasConnected) {
        messages_(QStringLiteral("lost the connection to the MQTT broker at %1: %2; retrying")
                      .arg(options_.url, reason));
        emit disconnected();
        retryMs = FirstRetryMs;
    } else {
        emit connectionFailed();
        if (told_ != reason)
            messages_(!refusal_.isEmpty()
                          ? QStringLiteral("the MQTT broker at %1 refused the login: %2; retrying every %3 s")
                                .arg(options_.url, reason)
                                .arg(LastRetryMs / 1000)
                          : QStringLiteral("cannot reach the MQTT broker at %1: %2; retrying")
                                .arg(options_.url, reason));
    }
    told_ = reason;
    retry_->start(retryMs);
    retryMs_ = std::min(retryMs * 2, LastRetryMs);
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
    client->connected_ = true;
    client->retryMs_ = FirstRetryMs;
    client->pending_ = 0;
    client->messages_(QStringLiteral("connected to the MQTT broker at %1").arg(client->options_.url));
    client->told_.clear();
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
