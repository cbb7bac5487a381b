#include "databaseprocess.h"
#include "childprocess.h"

#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QStandardPaths>
#include <QTimer>
#include <QUrlQuery>

#include <csignal>

namespace quorvel::testing {

namespace {

QString program(DatabaseProcess::Kind kind)
{
    return QStandardPaths::findExecutable(kind == DatabaseProcess::Kind::Victoria
                                              ? QStringLiteral("victoria-metrics")
                                              : QStringLiteral("influxd"),
                                          {QStringLiteral("/usr/bin"), QStringLiteral("/usr/sbin")});
}

// Lets the event loop run for ms.
void pauseFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

} // namespace

DatabaseProcess::DatabaseProcess(QObject* parent) : QObject(parent), process_(new QProcess(this))
{
    process_->setProcessChannelMode(QProcess::MergedChannels);
    diesWithParent(process_);
}

DatabaseProcess::~DatabaseProcess()
{
    stop();
}

bool DatabaseProcess::available(Kind kind)
{
    return !program(kind).isEmpty();
}

QString DatabaseProcess::url() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(port_);
}

QString DatabaseProcess::output()
{
    return QString::fromLocal8Bit(process_->readAll());
}

bool DatabaseProcess::start(Kind kind)
{
    stop();
    kind_ = kind;
    dir_ = std::make_unique<QTemporaryDir>();
    port_ = freePort();
    otherPort_ = freePort();
    if (!dir_->isValid() || port_ == 0 || otherPort_ == 0 || port_ == otherPort_ ||
        (kind == Kind::Influx1 && !writeInfluxConfig()) || !launch())
        return false;
    if (kind == Kind::Victoria)
        return true;
    const auto [status, body] =
        request("POST", QStringLiteral("/query?q=") + QStringLiteral("CREATE DATABASE %1").arg(Database));
    return status == 200 && !body.contains("\"error\"");
}

// Every listener on loopback, nothing reported home, no log of each request, the data in this folder.
bool DatabaseProcess::writeInfluxConfig()
{
    const QString config = QStringLiteral("reporting-enabled = false\n"
                                          "bind-address = \"127.0.0.1:%1\"\n"
                                          "[meta]\n  dir = \"%3/meta\"\n  logging-enabled = false\n"
                                          "[data]\n  dir = \"%3/data\"\n  wal-dir = \"%3/wal\"\n"
                                          "  query-log-enabled = false\n"
                                          "[monitor]\n  store-enabled = false\n"
                                          "[subscriber]\n  enabled = false\n"
                                          "[continuous_queries]\n  enabled = false\n"
                                          "[ifql]\n  enabled = false\n"
                                          "[http]\n  bind-address = \"127.0.0.1:%2\"\n  log-enabled = false\n"
                                          "  pprof-enabled = false\n"
                                          "[logging]\n  suppress-logo = true\n  level = \"warn\"\n")
                               .arg(otherPort_)
                               .arg(port_)
                               .arg(dir_->path());
    QFile file(dir_->filePath(QStringLiteral("influxdb.conf")));
    return file.open(QIODevice::WriteOnly) && file.write(config.toUtf8()) > 0 && file.flush();
}

bool DatabaseProcess::launch()
{
    const QString address = QStringLiteral("127.0.0.1:%1").arg(port_);
    if (kind_ == Kind::Victoria)
        process_->start(program(kind_),
                        {QStringLiteral("-httpListenAddr=") + address,
                         QStringLiteral("-storageDataPath=") + dir_->filePath(QStringLiteral("data")),
                         QStringLiteral("-dedup.minScrapeInterval=1ms"),
                         QStringLiteral("-search.disableCache"), QStringLiteral("-search.latencyOffset=0s"),
                         QStringLiteral("-retentionPeriod=100y"), QStringLiteral("-loggerLevel=ERROR")});
    else
        process_->start(program(kind_), {QStringLiteral("run"), QStringLiteral("-config"),
                                         dir_->filePath(QStringLiteral("influxdb.conf"))});
    return process_->waitForStarted(10000) && waitUntilAnswering();
}

bool DatabaseProcess::waitUntilAnswering()
{
    const QString health = kind_ == Kind::Victoria ? QStringLiteral("/health") : QStringLiteral("/ping");
    for (int attempt = 0; attempt < 300 && process_->state() == QProcess::Running; ++attempt) {
        const int status = request("GET", health).first;
        if (status == 200 || status == 204)
            return true;
        pauseFor(100);
    }
    return false;
}

bool DatabaseProcess::restart()
{
    stop();
    return launch();
}

void DatabaseProcess::stop()
{
    pause(false);
    endProcess(process_, 15000);
}

void DatabaseProcess::kill()
{
    if (process_->state() == QProcess::NotRunning)
        return;
    process_->kill();
    process_->waitForFinished(5000);
}

void DatabaseProcess::pause(bool paused)
{
    if (process_->state() == QProcess::Running)
        ::kill(pid_t(process_->processId()), paused ? SIGSTOP : SIGCONT);
}

std::pair<int, QByteArray> DatabaseProcess::request(const QByteArray& verb, const QString& pathAndQuery,
                                                    const QByteArray& body)
{
    QNetworkAccessManager network;
    QNetworkRequest request(QUrl(url() + pathAndQuery));
    request.setHeader(QNetworkRequest::ContentTypeHeader,
                      QStringLiteral("application/x-www-form-urlencoded"));
    QNetworkReply* reply = network.sendCustomRequest(request, verb, body);
    QEventLoop loop;
    QTimer deadline;
    deadline.setSingleShot(true);
    connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    deadline.start(10000);
    if (!reply->isFinished())
        loop.exec();
    const int status =
        reply->isFinished() ? reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() : 0;
    const QByteArray answer = reply->readAll();
    reply->abort();
    delete reply;
    return {status, answer};
}

std::optional<QMap<QString, QList<qint64>>> DatabaseProcess::times(const QString& measurement,
                                                                   const QString& field)
{
    QMap<QString, QList<qint64>> times;
    if (kind_ == Kind::Victoria) {
        if (request("GET", QStringLiteral("/internal/force_flush")).first != 200)
            return std::nullopt;
        QUrlQuery query;
        query.addQueryItem(QStringLiteral("match[]"), measurement + QLatin1Char('_') + field);
        const auto [status, body] = request("GET", QStringLiteral("/api/v1/export?") + query.toString());
        if (status != 200)
            return std::nullopt;
        // One series a line: {"metric":{...},"values":[...],"timestamps":[ms...]}.
        for (const QByteArray& line : body.split('\n')) {
            const QJsonObject series = QJsonDocument::fromJson(line).object();
            QList<qint64>& rom = times[series[QLatin1String("metric")][QLatin1String("rom")].toString()];
            for (const QJsonValue& ms : series[QLatin1String("timestamps")].toArray())
                rom << qint64(ms.toDouble()) / 1000;
        }
        times.remove(QString());
        return times;
    }
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("db"), QLatin1String(Database));
    query.addQueryItem(QStringLiteral("epoch"), QStringLiteral("s"));
    query.addQueryItem(QStringLiteral("q"),
                       QStringLiteral("SELECT \"%1\" FROM \"%2\" GROUP BY \"rom\"").arg(field, measurement));
    const auto [status, body] =
        request("GET", QStringLiteral("/query?") + query.toString(QUrl::FullyEncoded));
    if (status != 200)
        return std::nullopt;
    // {"results":[{"series":[{"tags":{"rom":R},"values":[[time, value], ...]}, ...]}]}; a point without the
    // field is not selected.
    const QJsonObject result = QJsonDocument::fromJson(body)[QLatin1String("results")][0].toObject();
    if (result.contains(QLatin1String("error")))
        return std::nullopt;
    for (const QJsonValue& series : result[QLatin1String("series")].toArray()) {
        QList<qint64>& rom = times[series[QLatin1String("tags")][QLatin1String("rom")].toString()];
        for (const QJsonValue& point : series[QLatin1String("values")].toArray())
            rom << qint64(point[0].toDouble());
    }
    return times;
}

std::optional<QStringList> DatabaseProcess::metricNames()
{
    if (kind_ != Kind::Victoria || request("GET", QStringLiteral("/internal/force_flush")).first != 200)
        return std::nullopt;
    const auto [status, body] = request("GET", QStringLiteral("/api/v1/label/__name__/values"));
    if (status != 200)
        return std::nullopt;
    QStringList names;
    for (const QJsonValue& name : QJsonDocument::fromJson(body)[QLatin1String("data")].toArray())
        names << name.toString();
    return names;
}

} // namespace quorvel::testing
