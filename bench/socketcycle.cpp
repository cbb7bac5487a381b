// What a page component on one bare QTcpSocket could reach: the same event loop, the same libxml2 parse
// and value lookup as the program, without the network access manager's per-request machinery.

#include "acquisition/sensortable.h"
#include "processprobe.h"
#include "sources/adapter/adapterreader.h"
#include "sources/adapter/htmldocument.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTcpSocket>

#include <cstdio>
#include <vector>

using namespace quorvel;

namespace {

qsizetype contentLength(QByteArrayView head)
{
    for (const QByteArray& line : head.toByteArray().split('\n')) {
        const QByteArray trimmed = line.trimmed();
        if (trimmed.toLower().startsWith("content-length:"))
            return trimmed.mid(15).trimmed().toLongLong();
    }
    return 0;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption portOption(QStringLiteral("port"), QStringLiteral("Simulator port."),
                                        QStringLiteral("N"));
    const QCommandLineOption pagesOption(QStringLiteral("pages"), QStringLiteral("Pages to load."),
                                         QStringLiteral("N"), QStringLiteral("26000"));
    parser.addOptions({portOption, pagesOption});
    parser.process(app);
    const uint port = parser.value(portOption).toUInt();
    const qint64 target = parser.value(pagesOption).toLongLong();
    if (port == 0 || port > 65535 || target <= 0) {
        std::fprintf(stderr, "bench_socket: needs --port and a positive --pages\n");
        return 2;
    }

    const QString address = QStringLiteral("127.0.0.1:%1").arg(port);
    const QString prefix = QStringLiteral("http://") + address;
    std::vector<QByteArray> wire;
    for (const auto rom : acquisition::RomCodes)
        wire.push_back("GET " + acquisition::sensorUrl(address, rom).mid(prefix.size()).toLatin1() +
                       " HTTP/1.1\r\nHost: " + address.toLatin1() + "\r\nConnection: keep-alive\r\n\r\n");
    const QString valueId = QString::fromLatin1(acquisition::TemperatureElementId.data(),
                                                qsizetype(acquisition::TemperatureElementId.size()));

    QTcpSocket socket;
    socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    QByteArray in;
    qint64 pages = 0;
    qint64 readings = 0;
    const double cpuStart = bench::ProcessProbe::cpuSeconds();
    QElapsedTimer wall;

    auto sendNext = [&] { socket.write(wire[std::size_t(pages % qint64(wire.size()))]); };
    QObject::connect(&socket, &QTcpSocket::connected, &socket, [&] {
        wall.start();
        sendNext();
    });
    QObject::connect(&socket, &QTcpSocket::readyRead, &socket, [&] {
        in += socket.readAll();
        const qsizetype headEnd = in.indexOf("\r\n\r\n");
        if (headEnd < 0)
            return;
        const qsizetype total = headEnd + 4 + contentLength(QByteArrayView(in).first(headEnd));
        if (in.size() < total)
            return;
        const acquisition::HtmlDocument document(in.sliced(headEnd + 4, total - headEnd - 4));
        if (document.elementValue(valueId))
            ++readings;
        in.remove(0, total);
        if (++pages == target) {
            QCoreApplication::quit();
            return;
        }
        sendNext();
    });
    QObject::connect(&socket, &QTcpSocket::errorOccurred, &socket, [&] {
        std::fprintf(stderr, "bench_socket: %s\n", qPrintable(socket.errorString()));
        QCoreApplication::exit(1);
    });
    socket.connectToHost(QHostAddress::LocalHost, quint16(port));
    const int code = QCoreApplication::exec();
    const double seconds = double(wall.nsecsElapsed()) / 1e9;
    const double cpu = bench::ProcessProbe::cpuSeconds() - cpuStart;
    std::printf("socket pages=%lld readings=%lld seconds=%.3f pages_per_second=%.1f cpu_ms_per_page=%.4f\n",
                static_cast<long long>(pages), static_cast<long long>(readings), seconds,
                double(pages) / seconds, pages > 0 ? cpu * 1000.0 / double(pages) : -1.0);
    return code == 0 && readings == pages ? 0 : 1;
}
