#include "simulatorprocess.h"

#include "acquisition/sensortable.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>
#include <QtDebug>

#ifdef Q_OS_LINUX
#include <csignal>
#include <sys/prctl.h>
#endif

namespace {

constexpr int StartTimeoutMs = 10000;
constexpr int ControlTimeoutMs = 5000;

} // namespace

SimulatorProcess::SimulatorProcess(QObject* parent)
    : QObject(parent), process_(new QProcess(this)), network_(new QNetworkAccessManager(this))
{
    // Only the simulator's own stdout is ever read: its errors belong in the test log.
    process_->setProcessChannelMode(QProcess::ForwardedErrorChannel);
#ifdef Q_OS_LINUX
    // A crashed or timed-out test must not leave a listening simulator behind.
    process_->setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
#endif
    network_->setProxy(QNetworkProxy::NoProxy);
}

SimulatorProcess::~SimulatorProcess()
{
    stop();
}

bool SimulatorProcess::start(const QStringList& extraArgs, const QStringList& launcher)
{
    stop();
    const QString program = qEnvironmentVariable("QUORVEL_ADAPTER_SIM");
    if (program.isEmpty()) {
        qWarning("SimulatorProcess: QUORVEL_ADAPTER_SIM is not set");
        return false;
    }
    if (launcher.isEmpty())
        process_->start(program, extraArgs, QIODevice::ReadOnly);
    else
        process_->start(launcher.first(), launcher.mid(1) + QStringList{program} + extraArgs,
                        QIODevice::ReadOnly);
    const QDeadlineTimer deadline(StartTimeoutMs);
    if (!process_->waitForStarted(int(deadline.remainingTime()))) {
        qWarning("SimulatorProcess: cannot start %s: %s", qPrintable(program),
                 qPrintable(process_->errorString()));
        return false;
    }
    while (!process_->canReadLine()) {
        if (deadline.hasExpired() || process_->state() != QProcess::Running ||
            !process_->waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())))) {
            if (process_->canReadLine())
                break;
            qWarning("SimulatorProcess: %s %s printed no port line (exit code %d)", qPrintable(program),
                     qPrintable(extraArgs.join(u' ')), process_->exitCode());
            stop();
            return false;
        }
    }
    bool ok = false;
    const QByteArray line = process_->readLine().trimmed();
    const uint port = line.toUInt(&ok);
    if (!ok || port == 0 || port > 65535) {
        qWarning("SimulatorProcess: expected a port number, got \"%s\"", line.constData());
        stop();
        return false;
    }
    port_ = quint16(port);
    return true;
}

void SimulatorProcess::stop()
{
    if (process_->state() != QProcess::NotRunning) {
        process_->kill();
        process_->waitForFinished(StartTimeoutMs);
    }
    port_ = 0;
}

bool SimulatorProcess::isRunning() const
{
    return process_->state() == QProcess::Running;
}

qint64 SimulatorProcess::processId() const
{
    return process_->processId();
}

QString SimulatorProcess::baseUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(port_);
}

QString SimulatorProcess::sensorUrl(int slot) const
{
    if (slot < 0 || slot >= SensorCount)
        return {};
    const std::string_view rom = quorvel::acquisition::RomCodes[static_cast<std::size_t>(slot)];
    return baseUrl() + QStringLiteral("/1Wire/ReadDS18B20.html?DS18B20Request=%7b") +
           QLatin1StringView(rom.data(), static_cast<qsizetype>(rom.size())) + QStringLiteral(",12%7d");
}

std::optional<QByteArray> SimulatorProcess::controlText(const QString& pathAndQuery)
{
    if (port_ == 0)
        return std::nullopt;
    const QString path =
        pathAndQuery.startsWith(u'/') ? pathAndQuery : QStringLiteral("/control/") + pathAndQuery;
    QNetworkRequest request(QUrl(baseUrl() + path));
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    QNetworkReply* reply = network_->get(request);

    QEventLoop loop;
    QTimer timeout;
    timeout.setSingleShot(true);
    connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    connect(&timeout, &QTimer::timeout, &loop, &QEventLoop::quit);
    timeout.start(ControlTimeoutMs);
    if (!reply->isFinished())
        loop.exec();

    std::optional<QByteArray> result;
    if (!reply->isFinished()) {
        qWarning("SimulatorProcess: %s timed out", qPrintable(path));
        reply->abort();
    } else if (const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
               status == 200) {
        result = reply->readAll();
    } else {
        qWarning("SimulatorProcess: %s answered %d %s", qPrintable(path), status,
                 reply->readAll().trimmed().constData());
    }
    reply->deleteLater();
    return result;
}

bool SimulatorProcess::control(const QString& pathAndQuery)
{
    return controlText(pathAndQuery).has_value();
}

bool SimulatorProcess::setFault(int sensor, const QString& kind, const QString& arg)
{
    QString query = QStringLiteral("fault?sensor=%1&kind=%2")
                        .arg(sensor == AllSensors ? QStringLiteral("all") : QString::number(sensor),
                             QString::fromLatin1(QUrl::toPercentEncoding(kind)));
    if (!arg.isNull())
        query += QStringLiteral("&arg=") + QString::fromLatin1(QUrl::toPercentEncoding(arg));
    return control(query);
}

bool SimulatorProcess::setLatency(int ms)
{
    return control(QStringLiteral("latency?ms=%1").arg(ms));
}

bool SimulatorProcess::clear()
{
    return control(QStringLiteral("clear"));
}

QMap<int, int> SimulatorProcess::stats()
{
    QMap<int, int> counts;
    const auto text = controlText(QStringLiteral("stats"));
    if (!text)
        return counts;
    for (const QByteArray& line : text->split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        bool ok = false;
        const int sensor = fields.size() == 2 ? fields[0].toInt(&ok) : 0;
        if (ok && sensor >= 1)
            counts.insert(sensor, fields[1].toInt());
    }
    return counts;
}
