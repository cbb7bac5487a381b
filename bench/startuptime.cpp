// Time from starting the real program to its first request: a loopback listener stands in for the
// adapter, and a private settings folder points the program at it.

#include "adapterconfig.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <vector>

namespace {

constexpr int GiveUpMs = 20000;

struct Start {
    double acceptedMs = 0;
    double requestMs = 0;
};

std::optional<Start> measureOnce(const QString& program)
{
    QTemporaryDir config;
    QTemporaryDir runtime;
    if (!config.isValid() || !runtime.isValid())
        return std::nullopt;
    QTcpServer listener;
    if (!listener.listen(QHostAddress::LocalHost, 0))
        return std::nullopt;
    QProcessEnvironment env = quorvel::testing::programEnvironment(
        config.path(), QStringLiteral("127.0.0.1:%1").arg(listener.serverPort()));
    if (env.isEmpty())
        return std::nullopt;
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());

    QProcess process;
    process.setProcessEnvironment(env);
    process.setProcessChannelMode(QProcess::ForwardedChannels);

    QEventLoop loop;
    QElapsedTimer clock;
    Start start;
    bool got = false;
    QByteArray request;
    QTcpSocket* peer = nullptr;
    QObject::connect(&listener, &QTcpServer::newConnection, &loop, [&] {
        if (peer)
            return;
        start.acceptedMs = double(clock.nsecsElapsed()) / 1e6;
        peer = listener.nextPendingConnection();
        auto readRequest = [&] {
            request += peer->readAll();
            if (!got && request.contains("\r\n\r\n")) {
                start.requestMs = double(clock.nsecsElapsed()) / 1e6;
                got = true;
                loop.quit();
            }
        };
        QObject::connect(peer, &QTcpSocket::readyRead, &loop, readRequest);
        readRequest();
    });
    QObject::connect(&process, &QProcess::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(GiveUpMs, &loop, &QEventLoop::quit);

    clock.start();
    process.start(program, {});
    loop.exec();
    process.kill();
    process.waitForFinished(5000);
    if (!got) {
        std::fprintf(stderr, "bench_startup: no request within %d ms (exit code %d)\n", GiveUpMs,
                     process.exitCode());
        return std::nullopt;
    }
    if (!request.startsWith("GET /1Wire/ReadDS18B20.html?"))
        std::fprintf(stderr, "bench_startup: unexpected first request: %s\n", request.left(80).constData());
    return start;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption programOption(QStringLiteral("program"), QStringLiteral("The quorvel3 binary."),
                                           QStringLiteral("PATH"));
    const QCommandLineOption runsOption(QStringLiteral("runs"), QStringLiteral("Starts (default 5)."),
                                        QStringLiteral("N"), QStringLiteral("5"));
    parser.addOptions({programOption, runsOption});
    parser.process(app);
    const QString program = parser.value(programOption);
    const int runs = parser.value(runsOption).toInt();
    if (program.isEmpty() || runs <= 0) {
        std::fprintf(stderr, "bench_startup: needs --program and a positive --runs\n");
        return 2;
    }

    std::vector<double> requestTimes;
    for (int i = 0; i < runs; ++i) {
        const auto start = measureOnce(program);
        if (!start)
            return 1;
        std::printf("startup_run n=%d accepted_ms=%.1f request_ms=%.1f\n", i + 1, start->acceptedMs,
                    start->requestMs);
        std::fflush(stdout);
        requestTimes.push_back(start->requestMs);
    }
    std::printf("startup runs=%d median_ms=%.1f min_ms=%.1f max_ms=%.1f\n", runs, median(requestTimes),
                *std::min_element(requestTimes.begin(), requestTimes.end()),
                *std::max_element(requestTimes.begin(), requestTimes.end()));
    return 0;
}
