#pragma once

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QString>
#include <QStringList>

#include <csignal>

namespace quorvel::testing {

// A GET on loopback: the status (0 without an answer in 5 s) and the body; the headers too when asked.
inline std::pair<int, QByteArray> httpGet(int port, const QString& path,
                                          QList<QNetworkReply::RawHeaderPair>* headers = nullptr)
{
    QNetworkAccessManager network;
    QNetworkReply* reply =
        network.get(QNetworkRequest(QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(port).arg(path))));
    QSignalSpy done(reply, &QNetworkReply::finished);
    if (!reply->isFinished() && !done.wait(5000))
        return {0, {}};
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QByteArray body = reply->readAll();
    if (headers)
        *headers = reply->rawHeaderPairs();
    reply->deleteLater();
    return {status, body};
}

inline QString servicePath()
{
    return qEnvironmentVariable("QUORVEL_SERVICE");
}

// quorvel3d as a child process; its standard error is kept for the messages.
class Service {
public:
    Service() { process.setProcessChannelMode(QProcess::SeparateChannels); }
    ~Service()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(5000);
        }
    }
    // wrapper: a command that runs the service (the program and arguments follow it).
    void start(const QStringList& arguments,
               const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment(),
               const QStringList& wrapper = {})
    {
        process.setProcessEnvironment(env);
        if (wrapper.isEmpty())
            process.start(servicePath(), arguments);
        else
            process.start(wrapper.first(), wrapper.mid(1) + QStringList{servicePath()} + arguments);
    }
    // Waits in the event loop, so the test's own sockets (the notify socket) keep being read meanwhile.
    bool finish(int ms = 30000)
    {
        if (process.state() != QProcess::NotRunning) {
            QSignalSpy finished(&process, &QProcess::finished);
            if (!finished.wait(ms))
                return false;
        }
        return process.exitStatus() == QProcess::NormalExit;
    }
    void signal(int number) const { ::kill(static_cast<pid_t>(process.processId()), number); }
    QString errors()
    {
        stderrText += QString::fromLocal8Bit(process.readAllStandardError());
        return stderrText;
    }
    // The port the start message names for the metrics.
    int metricsPort()
    {
        static const QRegularExpression pattern(
            QStringLiteral("metrics http://127\\.0\\.0\\.1:(\\d+)/metrics"));
        const auto match = pattern.match(errors());
        return match.hasMatch() ? match.captured(1).toInt() : 0;
    }

    QProcess process;
    QString stderrText;
};

} // namespace quorvel::testing
