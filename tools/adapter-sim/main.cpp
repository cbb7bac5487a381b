#include "adaptersimulator.h"
#include "fault.h"
#include "sensortable.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>
#include <cstdlib>

using namespace quorvel::adaptersim;

namespace {

// The logger's ROM codes, five to an indented line.
QString romCodeLines()
{
    QString lines;
    for (int sensor = 1; sensor <= SensorCount; ++sensor) {
        lines += (sensor % 5 == 1 ? QStringLiteral("      ") : QStringLiteral(" ")) +
                 QString::fromLatin1(romCode(sensor));
        if (sensor % 5 == 0 || sensor == SensorCount)
            lines += QLatin1Char('\n');
    }
    return lines;
}

const char* const Description =
    R"(Serves the thirteen DS18B20 sensor pages of a 1-Wire-to-Ethernet adapter on 127.0.0.1,
for tests, benchmarks and demonstrations of the logger. Once listening it prints the bound port on
standard output as one decimal line and nothing else; errors go to standard error with a non-zero exit.

Sensor pages (sensor 1..13, ROM codes in that order):
  GET /1Wire/ReadDS18B20.html?DS18B20Request=%7b<ROM>,12%7d
<ROM codes>
  The braces may be raw or percent-encoded in either case. Any other DS18B20 ROM code (sixteen
  upper-case hexadecimal digits ending in the family code 28) is served too, as sensor 14, 15, ...
  in the order first asked, up to 113 sensors, so a logger with a sensor list of its own finds its
  sensors. Any other path or ROM code gets 404.
  The temperature is the VALUE of the INPUT element with ID Temperature_0. Sensor n drifts between
  15+n and 21+n degrees in 0.0625 steps, at most one step per request, the same for the same --seed;
  sensors 14 and up repeat the ranges of 1 to 13.

Fault kinds (per sensor, via --fault or /control/fault):
  none                 normal page
  missing              page without any Temperature_0 element
  dashes               VALUE="----"
  value                VALUE is ARG exactly, inserted verbatim (may be empty, " 23.5 ", NaN, 1e39, abc)
  novalue              Temperature_0 on a SPAN, which has no value property
  garbage              200 with 300 pseudo-random bytes including NULs, application/octet-stream
  status500            HTTP 500 with a small error page without Temperature_0
  close                reads the request, then closes the connection without answering
  silent               never answers and keeps the connection open
  drip                 200 with correct headers, then the page one byte every 200 ms (over 30 s)
  huge                 200 with a valid page padded by a comment to 2 MiB
  redirect-other-host  302 to the same path and query on http://127.0.0.2:<port>
  redirect-same        302 to the same URL with &r=1 appended, which is answered normally
  redirect-loop        302 to the same URL, for ever
  power-on-reset       the next page reads 85 (the power-on value), later pages drift on as before
  rise                 from the present reading, each page ARG degrees more (0.5 when ARG is no number;
                       below 0 it falls), within -55 to 125: a sensor that drifts past a limit

Control requests (GET, answered at once with 200 "ok" in text/plain, 400 on bad arguments):
  /control/latency?ms=N
      delay before every later answer other than a control answer
  /control/fault?sensor=N|all&kind=KIND[&arg=TEXT]
      set the fault of one or every sensor; arg is percent-decoded
  /control/clear
      all faults off, latency unchanged
  /control/stats
      one line "<sensor> <requests>" per sensor page, then "total <n>", their sum

A request with "Connection: close" is answered and then the connection is closed; otherwise
connections are kept alive.)";

void fail(const QString& message, int code = 2)
{
    std::fprintf(stderr, "quorvel3-adapter-sim: %s\n", qPrintable(message));
    std::exit(code);
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("quorvel3-adapter-sim"));
    QCoreApplication::setApplicationVersion(QStringLiteral("1.0.0"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QString::fromLatin1(Description).replace(QStringLiteral("<ROM codes>\n"), romCodeLines()));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption portOption(
        QStringLiteral("port"), QStringLiteral("TCP port on 127.0.0.1; 0 picks a free one (default)."),
        QStringLiteral("N"), QStringLiteral("0"));
    const QCommandLineOption latencyOption(
        QStringLiteral("latency"),
        QStringLiteral(
            "Delay in ms before each page answer (default 0; a real sensor at 12 bits takes 750)."),
        QStringLiteral("MS"), QStringLiteral("0"));
    const QCommandLineOption faultOption(
        QStringLiteral("fault"),
        QStringLiteral("Fault for SENSOR (1..113 or all), see the kinds above; repeatable, later wins."),
        QStringLiteral("SENSOR:KIND[:ARG]"));
    const QCommandLineOption seedOption(QStringLiteral("seed"),
                                        QStringLiteral("Seed of the temperature drift (default 1)."),
                                        QStringLiteral("N"), QStringLiteral("1"));
    parser.addOptions({portOption, latencyOption, faultOption, seedOption});
    parser.process(app);

    if (!parser.positionalArguments().isEmpty())
        fail(QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().constFirst()));

    bool ok = false;
    const uint port = parser.value(portOption).toUInt(&ok);
    if (!ok || port > 65535)
        fail(QStringLiteral("--port needs a number from 0 to 65535"));
    const int latency = parser.value(latencyOption).toInt(&ok);
    if (!ok || latency < 0)
        fail(QStringLiteral("--latency needs a number of milliseconds, 0 or more"));
    const quint64 seed = parser.value(seedOption).toULongLong(&ok);
    if (!ok)
        fail(QStringLiteral("--seed needs a non-negative whole number"));

    AdapterSimulator simulator(seed);
    simulator.setLatency(latency);
    for (const QString& text : parser.values(faultOption)) {
        const auto fault = parseFaultOption(text);
        if (!fault)
            fail(QStringLiteral(
                     "bad --fault '%1': expected SENSOR:KIND[:ARG], SENSOR 1..113 or all, KIND one of %2")
                     .arg(text, faultKindNames().join(u", ")));
        simulator.setFault(*fault);
    }

    const auto bound = simulator.listenLocal(quint16(port));
    if (!bound)
        fail(QStringLiteral("cannot listen on 127.0.0.1:%1").arg(port), 1);

    std::printf("%u\n", unsigned(*bound));
    std::fflush(stdout);
    return app.exec();
}
