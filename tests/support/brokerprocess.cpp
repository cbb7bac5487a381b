#include "brokerprocess.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTimer>
#include <QUuid>

#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>

namespace quorvel::testing {

namespace {

quint16 freePort()
{
    QTcpServer server;
    return server.listen(QHostAddress::LocalHost, 0) ? server.serverPort() : 0;
}

bool run(const QString& program, const QStringList& arguments, const QString& folder)
{
    QProcess process;
    process.setWorkingDirectory(folder);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    return process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit &&
           process.exitCode() == 0;
}

bool writeText(const QString& path, const QByteArray& text)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(text) == text.size();
}

// Waits in the event loop for a signal, at most ms; what a test's QSignalSpy::wait does.
template <typename Sender, typename Signal> void waitForSignal(Sender* sender, Signal signal, int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    QObject::connect(sender, signal, &loop, &QEventLoop::quit);
    loop.exec();
}

} // namespace

BrokerProcess::BrokerProcess(QObject* parent) : QObject(parent), process_(new QProcess(this))
{
    process_->setProcessChannelMode(QProcess::MergedChannels);
    // A crashed or timed-out test must not leave a broker behind.
    process_->setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
}

BrokerProcess::~BrokerProcess()
{
    stop();
}

bool BrokerProcess::available()
{
    for (const char* program : {"mosquitto", "mosquitto_sub", "mosquitto_pub", "mosquitto_passwd", "openssl"})
        if (QStandardPaths::findExecutable(QLatin1String(program)).isEmpty() &&
            QStandardPaths::findExecutable(QLatin1String(program), {QStringLiteral("/usr/sbin")}).isEmpty())
            return false;
    return true;
}

QString BrokerProcess::url() const
{
    return QStringLiteral("%1://127.0.0.1:%2").arg(kind_ == Kind::Tls ? "mqtts" : "mqtt").arg(port_);
}

bool BrokerProcess::makeCertificates()
{
    const QString folder = dir_->path();
    const QStringList key{QStringLiteral("-newkey"), QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
                          QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes")};
    const auto selfSigned = [&](const QString& name) {
        return run(QStringLiteral("openssl"),
                   QStringList{QStringLiteral("req"), QStringLiteral("-x509")} + key +
                       QStringList{QStringLiteral("-keyout"), name + QStringLiteral(".key"),
                                   QStringLiteral("-out"), name + QStringLiteral(".crt"),
                                   QStringLiteral("-days"), QStringLiteral("2"), QStringLiteral("-subj"),
                                   QStringLiteral("/CN=Test CA ") + name},
                   folder);
    };
    // The broker's certificate names 127.0.0.1 and localhost, so the host name check passes for those only.
    return selfSigned(QStringLiteral("ca")) && selfSigned(QStringLiteral("other")) &&
           writeText(file(QStringLiteral("server.ext")), "subjectAltName=IP:127.0.0.1,DNS:localhost\n") &&
           run(QStringLiteral("openssl"),
               QStringList{QStringLiteral("req")} + key +
                   QStringList{QStringLiteral("-keyout"), QStringLiteral("server.key"),
                               QStringLiteral("-out"), QStringLiteral("server.csr"), QStringLiteral("-subj"),
                               QStringLiteral("/CN=127.0.0.1")},
               folder) &&
           run(QStringLiteral("openssl"),
               {QStringLiteral("x509"), QStringLiteral("-req"), QStringLiteral("-in"),
                QStringLiteral("server.csr"), QStringLiteral("-CA"), QStringLiteral("ca.crt"),
                QStringLiteral("-CAkey"), QStringLiteral("ca.key"), QStringLiteral("-CAcreateserial"),
                QStringLiteral("-days"), QStringLiteral("2"), QStringLiteral("-extfile"),
                QStringLiteral("server.ext"), QStringLiteral("-out"), QStringLiteral("server.crt")},
               folder);
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
    QByteArray config = "per_listener_settings true\npersistence false\nlog_dest stderr\n";
    // As root the broker would drop to its own user, who cannot read this folder.
    if (::geteuid() == 0)
        config += "user root\n";
    config += "listener " + QByteArray::number(openPort_) + " 127.0.0.1\nallow_anonymous true\n";
    config += "listener " + QByteArray::number(port_) + " 127.0.0.1\n";
    if (kind == Kind::Open) {
        config += "allow_anonymous true\n";
    } else {
        if (!run(QStringLiteral("mosquitto_passwd"),
                 {QStringLiteral("-c"), QStringLiteral("-b"), QStringLiteral("passwords"),
                  QLatin1String(User), QLatin1String(Password)},
                 dir_->path()))
            return false;
        config += "allow_anonymous false\npassword_file " + file(QStringLiteral("passwords")).toUtf8() + '\n';
        writeText(file(QStringLiteral("password")), QByteArray(Password) + '\n');
        writeText(file(QStringLiteral("wrong-password")), "wrong horse\n");
    }
    if (kind == Kind::Tls) {
        if (!makeCertificates())
            return false;
        config += "certfile " + file(QStringLiteral("server.crt")).toUtf8() + "\nkeyfile " +
                  file(QStringLiteral("server.key")).toUtf8() + '\n';
    }
    return writeText(file(QStringLiteral("mosquitto.conf")), config) && launch();
}

bool BrokerProcess::launch()
{
    QString program = QStandardPaths::findExecutable(QStringLiteral("mosquitto"));
    if (program.isEmpty())
        program = QStandardPaths::findExecutable(QStringLiteral("mosquitto"), {QStringLiteral("/usr/sbin")});
    process_->start(program, {QStringLiteral("-c"), file(QStringLiteral("mosquitto.conf"))});
    if (!process_->waitForStarted(5000))
        return false;
    // It says "running" once both listeners are open.
    QByteArray said;
    while (!said.contains(" running") && process_->state() == QProcess::Running)
        if (process_->waitForReadyRead(10000))
            said += process_->readAll();
        else
            break;
    return said.contains(" running");
}

bool BrokerProcess::restart()
{
    stop();
    return launch();
}

void BrokerProcess::stop()
{
    if (process_->state() == QProcess::NotRunning)
        return;
    pause(false);
    process_->terminate();
    if (!process_->waitForFinished(5000)) {
        process_->kill();
        process_->waitForFinished(5000);
    }
}

void BrokerProcess::pause(bool paused)
{
    if (process_->state() == QProcess::Running)
        ::kill(pid_t(process_->processId()), paused ? SIGSTOP : SIGCONT);
}

bool BrokerProcess::publish(const QString& topic, const QByteArray& payload, bool retain) const
{
    QStringList arguments{QStringLiteral("-h"),       QStringLiteral("127.0.0.1"), QStringLiteral("-p"),
                          QString::number(openPort_), QStringLiteral("-t"),        topic,
                          QStringLiteral("-m"),       QString::fromUtf8(payload)};
    if (retain)
        arguments << QStringLiteral("-r");
    return run(QStringLiteral("mosquitto_pub"), arguments, QDir::tempPath());
}

MqttSubscriber::MqttSubscriber(QObject* parent) : QObject(parent), process_(new QProcess(this))
{
    connect(process_, &QProcess::readyReadStandardOutput, this, &MqttSubscriber::readLines);
    process_->setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
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
    if (!process_->waitForStarted(5000))
        return false;
    // Until the probe comes back the subscription may not be in place yet.
    for (int attempt = 0; attempt < 50; ++attempt) {
        broker.publish(probe, "probe");
        if (waitFor([&](const Message& m) { return m.topic == probe; }, 200))
            break;
    }
    const bool subscribed = !on(probe).isEmpty();
    messages_.removeIf([&](const Message& m) { return m.topic == probe; });
    return subscribed;
}

void MqttSubscriber::readLines()
{
    partial_ += process_->readAllStandardOutput();
    qsizetype end;
    while ((end = partial_.indexOf('\n')) >= 0) {
        const QByteArray line = partial_.left(end);
        partial_.remove(0, end + 1);
        const qsizetype first = line.indexOf(' ');
        const qsizetype second = line.indexOf(' ', first + 1);
        if (first < 0)
            continue;
        messages_.append({line.left(first) == "1", QString::fromUtf8(line.mid(first + 1, second - first - 1)),
                          second < 0 ? QByteArray() : line.mid(second + 1)});
    }
}

QList<MqttSubscriber::Message> MqttSubscriber::messages()
{
    readLines();
    return messages_;
}

QList<MqttSubscriber::Message> MqttSubscriber::on(const QString& topic)
{
    QList<Message> out;
    for (const Message& message : messages())
        if (message.topic == topic)
            out << message;
    return out;
}

bool MqttSubscriber::waitFor(const std::function<bool(const Message&)>& condition, int ms)
{
    QTimer deadline;
    deadline.setSingleShot(true);
    deadline.start(ms);
    qsizetype checked = 0;
    while (true) {
        const QList<Message> seen = messages();
        for (; checked < seen.size(); ++checked)
            if (condition(seen.at(checked)))
                return true;
        if (!deadline.isActive() || process_->state() == QProcess::NotRunning)
            return false;
        waitForSignal(process_, &QProcess::readyReadStandardOutput, int(deadline.remainingTime()));
    }
}

} // namespace quorvel::testing
