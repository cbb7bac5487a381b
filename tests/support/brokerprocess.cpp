#include "brokerprocess.h"
#include "childprocess.h"

#include <QEventLoop>
#include <QFile>
#include <QStandardPaths>
#include <QTimer>
#include <QUuid>

#include <csignal>
#include <unistd.h>

namespace quorvel::testing {

namespace {

bool shell(const QString& script, const QString& folder)
{
    QProcess process;
    process.setWorkingDirectory(folder);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(QStringLiteral("sh"), {QStringLiteral("-ec"), script});
    return process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit &&
           process.exitCode() == 0;
}

// Two CAs, and a broker certificate from the first that names $names (127.0.0.1 and localhost, or another
// host), nothing else.
const char* const Certificates = R"(key="-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes"
openssl req -x509 $key -keyout ca.key -out ca.crt -days 2 -subj "/CN=Test CA"
openssl req -x509 $key -keyout other.key -out other.crt -days 2 -subj "/CN=Other CA"
openssl req $key -keyout server.key -out server.csr -subj /CN=broker
echo subjectAltName=$names > server.ext
openssl x509 -req -in server.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 2 -extfile server.ext -out server.crt
)";

} // namespace

BrokerProcess::BrokerProcess(QObject* parent) : QObject(parent), process_(new QProcess(this))
{
    process_->setProcessChannelMode(QProcess::MergedChannels);
    diesWithParent(process_);
}

BrokerProcess::~BrokerProcess()
{
    stop();
}

bool BrokerProcess::available()
{
    const QStringList path{QStringLiteral("/usr/sbin"), QStringLiteral("/usr/bin")};
    for (const char* program : {"mosquitto", "mosquitto_sub", "mosquitto_pub", "mosquitto_passwd", "openssl"})
        if (QStandardPaths::findExecutable(QLatin1String(program), path).isEmpty())
            return false;
    return true;
}

QString BrokerProcess::url() const
{
    return QStringLiteral("%1://127.0.0.1:%2").arg(kind_ >= Kind::Tls ? "mqtts" : "mqtt").arg(port_);
}

bool BrokerProcess::start(Kind kind)
{
    stop();
    kind_ = kind;
    dir_ = std::make_unique<QTemporaryDir>();
    port_ = freePort();
    openPort_ = freePort();
    if (!dir_->isValid() || port_ == 0 || openPort_ == 0 || port_ == openPort_)
        return false;
    QString config = QStringLiteral("per_listener_settings true\npersistence false\nlog_dest stderr\n");
    // As root the broker would drop to its own user, who cannot read this folder.
    if (::geteuid() == 0)
        config += QStringLiteral("user root\n");
    config += QStringLiteral("listener %1 127.0.0.1\nallow_anonymous true\nlistener %2 127.0.0.1\n")
                  .arg(openPort_)
                  .arg(port_);
    QString script;
    if (kind == Kind::Open) {
        config += QStringLiteral("allow_anonymous true\n");
    } else {
        script = QStringLiteral("mosquitto_passwd -c -b passwords %1 '%2'\necho '%2' > password\n"
                                "echo 'wrong horse' > wrong-password\n")
                     .arg(QLatin1String(User), QLatin1String(Password));
        config += QStringLiteral("allow_anonymous false\npassword_file %1\n")
                      .arg(file(QStringLiteral("passwords")));
    }
    if (kind >= Kind::Tls) {
        script += kind == Kind::Tls ? QStringLiteral("names=IP:127.0.0.1,DNS:localhost\n")
                                    : QStringLiteral("names=DNS:elsewhere.test\n");
        script += QLatin1String(Certificates);
        config += QStringLiteral("certfile %1\nkeyfile %2\n")
                      .arg(file(QStringLiteral("server.crt")), file(QStringLiteral("server.key")));
    }
    QFile conf(file(QStringLiteral("mosquitto.conf")));
    return (script.isEmpty() || shell(script, dir_->path())) && conf.open(QIODevice::WriteOnly) &&
           conf.write(config.toUtf8()) > 0 && conf.flush() && launch();
}

bool BrokerProcess::launch()
{
    process_->start(QStandardPaths::findExecutable(QStringLiteral("mosquitto"),
                                                   {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/bin")}),
                    {QStringLiteral("-c"), file(QStringLiteral("mosquitto.conf"))});
    // It says "running" once both listeners are open.
    QByteArray said;
    while (!said.contains(" running") && process_->waitForReadyRead(10000))
        said += process_->readAll();
    return said.contains(" running");
}

bool BrokerProcess::restart()
{
    stop();
    return launch();
}

void BrokerProcess::stop()
{
    pause(false);
    endProcess(process_);
}

void BrokerProcess::pause(bool paused)
{
    if (process_->state() == QProcess::Running)
        ::kill(pid_t(process_->processId()), paused ? SIGSTOP : SIGCONT);
}

bool BrokerProcess::publish(const QString& topic, const QByteArray& payload, bool retain) const
{
    QProcess process;
    process.start(QStringLiteral("mosquitto_pub"),
                  QStringList{QStringLiteral("-h"), QStringLiteral("127.0.0.1"), QStringLiteral("-p"),
                              QString::number(openPort_), QStringLiteral("-t"), topic, QStringLiteral("-m"),
                              QString::fromUtf8(payload)} +
                      (retain ? QStringList{QStringLiteral("-r")} : QStringList{}));
    return process.waitForFinished(10000) && process.exitCode() == 0;
}

MqttSubscriber::MqttSubscriber(QObject* parent) : QObject(parent), process_(new QProcess(this))
{
    connect(process_, &QProcess::readyReadStandardOutput, this, &MqttSubscriber::readLines);
    diesWithParent(process_);
}

MqttSubscriber::~MqttSubscriber()
{
    process_->kill();
    process_->waitForFinished(5000);
}

bool MqttSubscriber::start(const BrokerProcess& broker, const QString& filter)
{
    const QString probe =
        QStringLiteral("quorvel-probe/") + QUuid::createUuid().toString(QUuid::WithoutBraces);
    process_->start(QStringLiteral("mosquitto_sub"),
                    {QStringLiteral("-h"), QStringLiteral("127.0.0.1"), QStringLiteral("-p"),
                     QString::number(broker.openPort()), QStringLiteral("-t"), filter, QStringLiteral("-t"),
                     probe, QStringLiteral("-F"), QStringLiteral("%r %t %p")});
    // Until the probe comes back the subscription may not be in place yet.
    bool subscribed = false;
    for (int attempt = 0; attempt < 50 && !subscribed; ++attempt)
        subscribed = broker.publish(probe, "probe") &&
                     waitFor([&](const Message& m) { return m.topic == probe; }, 200);
    messages_.removeIf([&](const Message& m) { return m.topic == probe; });
    return subscribed;
}

void MqttSubscriber::readLines()
{
    partial_ += process_->readAllStandardOutput();
    for (qsizetype end; (end = partial_.indexOf('\n')) >= 0; partial_.remove(0, end + 1)) {
        // "RETAINED TOPIC PAYLOAD"; topics here have no blanks.
        const QList<QByteArray> fields = partial_.left(end).split(' ');
        if (fields.size() >= 2)
            messages_.append({fields.at(0) == "1", QString::fromUtf8(fields.at(1)),
                              partial_.left(end).mid(fields.at(0).size() + fields.at(1).size() + 2)});
    }
}

QList<MqttSubscriber::Message> MqttSubscriber::messages()
{
    readLines();
    return messages_;
}

QList<MqttSubscriber::Message> MqttSubscriber::on(const QString& topic)
{
    QList<Message> out = messages();
    out.removeIf([&](const Message& m) { return m.topic != topic; });
    return out;
}

bool MqttSubscriber::waitFor(const std::function<bool(const Message&)>& condition, int ms)
{
    QTimer deadline;
    deadline.setSingleShot(true);
    deadline.start(ms);
    for (qsizetype checked = 0;;) {
        const QList<Message> seen = messages();
        for (; checked < seen.size(); ++checked)
            if (condition(seen.at(checked)))
                return true;
        if (!deadline.isActive() || process_->state() == QProcess::NotRunning)
            return false;
        // What a test's QSignalSpy::wait does: the event loop runs until output comes or time is up.
        QEventLoop loop;
        connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
        connect(process_, &QProcess::readyReadStandardOutput, &loop, &QEventLoop::quit);
        loop.exec();
    }
}

} // namespace quorvel::testing
