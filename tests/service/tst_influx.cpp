// The line-protocol output: lines of samples as the databases read them, and the output's answers to what a
// scripted server on loopback plays (2xx, a bad line, a refusal, too large, wait, silence, a drip, refused).
#include "service/history/outbox.h"
#include "service/outputs/influx/influxoutput.h"
#include "service/outputs/influx/influxrequest.h"
#include "service/outputs/influx/lineprotocol.h"

#include "scriptedserver.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

#include <zlib.h>

using namespace quorvel;
using namespace quorvel::service;
using namespace quorvel::service::history;
using namespace quorvel::service::influx;
using testing::ScriptedServer;

namespace {

constexpr qint64 T0 = 1'700'000'000;
constexpr int WaitMs = 10000;
const QString Output = QStringLiteral("db");
using Tags = QList<QPair<QString, QString>>;

SampleRow sampleOf(qint64 time, const QString& name, std::optional<double> celsius)
{
    SampleRow sample;
    sample.time = time;
    sample.source = QStringLiteral("cellar");
    sample.romCode = QStringLiteral("28FF");
    sample.name = name;
    sample.last = sample.raw = sample.min = sample.max = celsius;
    sample.reads = 3;
    return sample;
}

// The store's side in memory: rows in order and the cursors saved.
class FakeOutbox final : public Outbox {
public:
    QList<OutboxRow> rows;
    QHash<QString, OutboxPosition> cursors;

    OutboxPosition cursor(const QString& output) const override { return cursors.value(output); }
    QList<OutboxRow> unsent(OutboxPosition after, int maxRows) const override
    {
        QList<OutboxRow> found;
        for (const OutboxRow& row : rows)
            if (row.position > after && found.size() < maxRows)
                found.append(row);
        return found;
    }
    qint64 countUnsent(OutboxPosition after) const override { return unsent(after, int(rows.size())).size(); }
    void saveCursor(const QString& output, OutboxPosition position) override { cursors[output] = position; }
    void setOutputs(const QStringList&) override {}

    // n more rows, a second apart, each of one sensor with 3 good reads.
    void add(int n)
    {
        for (int i = 0; i < n; ++i) {
            const qint64 time = T0 + rows.size();
            rows.append({{time, 1}, sampleOf(time, QStringLiteral("left"), 20.5)});
        }
    }
};

QByteArray answer(const QByteArray& status, const QByteArray& body = {}, const QByteArray& headers = {})
{
    return "HTTP/1.1 " + status + "\r\n" + headers + "Content-Length: " + QByteArray::number(body.size()) +
           "\r\n\r\n" + body;
}
const QByteArray NoContent = answer("204 No Content");

QByteArray bodyOf(const QByteArray& request)
{
    return request.mid(request.indexOf("\r\n\r\n") + 4);
}

QByteArray header(const QByteArray& request, const QByteArray& name)
{
    const QRegularExpression line(QStringLiteral("\r\n%1: ([^\r]*)").arg(QString::fromLatin1(name)),
                                  QRegularExpression::CaseInsensitiveOption);
    return line.match(QString::fromLatin1(request)).captured(1).toLatin1();
}

// A write is whole once the body its Content-Length gives has come.
void frameByLength(ScriptedServer& server)
{
    server.setRequestEnd([](const QByteArray& bytes) -> qsizetype {
        const qsizetype blank = bytes.indexOf("\r\n\r\n");
        if (blank < 0)
            return -1;
        const qsizetype end = blank + 4 + header(bytes.left(blank + 2), "Content-Length").toLongLong();
        return bytes.size() < end ? -1 : end;
    });
}

QByteArray inflated(const QByteArray& data);

// The lines a write carried, unpacked.
QByteArray linesOf(const QByteArray& request)
{
    const QByteArray body = bodyOf(request);
    return header(request, "Content-Encoding") == "gzip" ? inflated(body) : body;
}

QByteArray inflated(const QByteArray& data)
{
    z_stream stream{};
    inflateInit2(&stream, 15 + 32);
    QByteArray out(1 << 20, Qt::Uninitialized);
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.constData()));
    stream.avail_in = uInt(data.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = uInt(out.size());
    const int status = inflate(&stream, Z_FINISH);
    out.truncate(status == Z_STREAM_END ? qsizetype(stream.total_out) : 0);
    inflateEnd(&stream);
    return status == Z_STREAM_END ? out : QByteArray("not gzip");
}

// An output of this box to the server, with short waits and no jitter.
struct Rig {
    FakeOutbox outbox;
    ScriptedServer server;
    InfluxSettings settings;
    std::unique_ptr<InfluxOutput> output;
    QStringList notices;

    explicit Rig(QList<ScriptedServer::Reply> script, quint16 port = 0) : server(std::move(script))
    {
        frameByLength(server);
        if (port == 0) {
            server.listen();
            port = server.port();
        }
        settings.name = Output;
        settings.url = QUrl(QStringLiteral("http://127.0.0.1:%1").arg(port));
        settings.database = QStringLiteral("cellar");
    }
    InfluxOutput& start(InfluxOutput::Timing timing = {100, 60000, 100, 400})
    {
        output = std::make_unique<InfluxOutput>(settings, QStringLiteral("box"), outbox);
        output->setTiming(timing);
        output->setJitter([] { return 1.0; });
        output->setClock([] { return QDateTime::fromSecsSinceEpoch(T0 + 3600, Qt::UTC); });
        QObject::connect(output.get(), &InfluxOutput::notice,
                         [this](const QString& text) { notices << text; });
        output->start();
        return *output;
    }
    [[nodiscard]] qint64 cursorTime() const { return outbox.cursors.value(Output).time; }
    // The times of the lines each request carried.
    [[nodiscard]] QList<QList<qint64>> requestTimes() const
    {
        QList<QList<qint64>> all;
        for (const QByteArray& request : server.heads()) {
            QList<qint64> times;
            for (const QByteArray& line : linesOf(request).split('\n'))
                if (!line.isEmpty())
                    times.append(line.mid(line.lastIndexOf(' ') + 1).toLongLong() - T0);
            all.append(times);
        }
        return all;
    }
};

} // namespace

Q_DECLARE_METATYPE(std::optional<double>)
Q_DECLARE_METATYPE(std::optional<qint64>)
Q_DECLARE_METATYPE(InfluxSettings)
Q_DECLARE_METATYPE(ScriptedServer::Reply)

class TestInflux : public QObject {
    Q_OBJECT
private slots:
    void sampleLine_data();
    void sampleLine();
    void gzipRoundTrip();
    void retryAfter_data();
    void retryAfter();
    void delivered_data();
    void delivered();
    void badLineDroppedAlone();
    void refusedStopsUntilRetry();
    void tooLargeHalves();
    void retryAfterWaits();
    void cutByDeadline_data();
    void cutByDeadline();
    void refusedConnectionBacksOff();
    void lostRowsSkipped();
};

void TestInflux::sampleLine_data()
{
    QTest::addColumn<QString>("measurement");
    QTest::addColumn<Tags>("tags");
    QTest::addColumn<QString>("name");
    QTest::addColumn<std::optional<double>>("celsius");
    QTest::addColumn<int>("failed");
    QTest::addColumn<QByteArray>("line");

    const QString m = QStringLiteral("temperature");
    QTest::newRow("plain") << m << Tags{} << QStringLiteral("left") << std::optional(21.5) << 1
                           << QByteArray("temperature,host=box,source=cellar,rom=28FF,name=left celsius=21.5,"
                                         "raw=21.5,min=21.5,max=21.5,reads=3i,failures=1i 1700000000\n");
    QTest::newRow("shortest float") << m << Tags{} << QStringLiteral("n") << std::optional(0.1 + 0.2) << 0
                                    << QByteArray("temperature,host=box,source=cellar,rom=28FF,name=n "
                                                  "celsius=0.30000000000000004,raw=0.30000000000000004,min=0."
                                                  "30000000000000004,max=0.30000000000000004,reads=3i,"
                                                  "failures=0i 1700000000\n");
    QTest::newRow("negative, whole") << m << Tags{} << QStringLiteral("n") << std::optional(-12.0) << 0
                                     << QByteArray("temperature,host=box,source=cellar,rom=28FF,name=n "
                                                   "celsius=-12,raw=-12,min=-12,max=-12,reads=3i,failures=0i "
                                                   "1700000000\n");
    QTest::newRow("no good read") << m << Tags{} << QStringLiteral("n") << std::optional<double>() << 3
                                  << QByteArray("temperature,host=box,source=cellar,rom=28FF,name=n reads=3i,"
                                                "failures=3i 1700000000\n");
    QTest::newRow("not a number left out")
        << m << Tags{} << QStringLiteral("n") << std::optional(std::nan("")) << 0
        << QByteArray("temperature,host=box,source=cellar,rom=28FF,name=n reads=3i,failures=0i 1700000000\n");
    QTest::newRow("escaped everywhere")
        << QStringLiteral("te mp,x=\\") << Tags{{QStringLiteral("k y,=\\"), QStringLiteral("v a,l=\\")}}
        << QStringLiteral("a b,c=d\\e") << std::optional<double>() << 3
        << QByteArray("te\\ mp\\,x=\\,host=box,source=cellar,rom=28FF,name=a\\ b\\,c\\=d\\\\e,"
                      "k\\ y\\,\\=\\\\=v\\ a\\,l\\=\\\\ reads=3i,failures=3i 1700000000\n");
    QTest::newRow("newlines become spaces")
        << QStringLiteral("t\nx") << Tags{{QStringLiteral("si\rte"), QStringLiteral("a\nb")}}
        << QStringLiteral("x\ny\r\nz") << std::optional<double>() << 3
        << QByteArray("t x,host=box,source=cellar,rom=28FF,name=x y  z,si te=a b reads=3i,failures=3i "
                      "1700000000\n");
    QTest::newRow("empty tags left out")
        << m << Tags{{QStringLiteral("site"), QString()}} << QString() << std::optional<double>() << 3
        << QByteArray("temperature,host=box,source=cellar,rom=28FF reads=3i,"
                      "failures=3i 1700000000\n");
    QTest::newRow("extra tags replace in place and follow")
        << m
        << Tags{{QStringLiteral("site"), QStringLiteral("north")},
                {QStringLiteral("host"), QStringLiteral("cellar-box")},
                {QStringLiteral("name"), QString()},
                {QStringLiteral("zone"), QStringLiteral("b")}}
        << QStringLiteral("left") << std::optional<double>() << 3
        << QByteArray("temperature,host=cellar-box,source=cellar,rom=28FF,site=north,zone=b reads=3i,"
                      "failures=3i 1700000000\n");
}

void TestInflux::sampleLine()
{
    QFETCH(QString, measurement);
    QFETCH(Tags, tags);
    QFETCH(QString, name);
    QFETCH(std::optional<double>, celsius);
    QFETCH(int, failed);
    SampleRow sample = sampleOf(T0, name, celsius);
    sample.failures[1] = failed;
    QFETCH(QByteArray, line);
    QCOMPARE(influx::sampleLine({measurement, QStringLiteral("box"), tags}, sample), line);
}

void TestInflux::gzipRoundTrip()
{
    for (const QByteArray& data : {QByteArray(), QByteArray("a,b=c d=1 2\n").repeated(20000)}) {
        const QByteArray packed = gzipped(data);
        QVERIFY(packed.startsWith("\x1f\x8b"));
        QCOMPARE(inflated(packed), data);
    }
}

void TestInflux::retryAfter_data()
{
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<std::optional<qint64>>("ms");
    QTest::newRow("seconds") << QByteArray("1") << std::optional<qint64>(1000);
    QTest::newRow("seconds, spaced") << QByteArray(" 120 ") << std::optional<qint64>(120000);
    QTest::newRow("date") << QByteArray("Tue, 14 Nov 2023 22:13:50 GMT") << std::optional<qint64>(30000);
    QTest::newRow("date past") << QByteArray("Tue, 14 Nov 2023 22:12:00 GMT") << std::optional<qint64>(0);
    QTest::newRow("negative") << QByteArray("-5") << std::optional<qint64>();
    QTest::newRow("words") << QByteArray("soon") << std::optional<qint64>();
    QTest::newRow("absent") << QByteArray() << std::optional<qint64>();
}

void TestInflux::retryAfter()
{
    QFETCH(QByteArray, value);
    QFETCH(std::optional<qint64>, ms);
    // T0 is Tue, 14 Nov 2023 22:13:20 UTC.
    QCOMPARE(retryAfterMs(value, QDateTime::fromSecsSinceEpoch(T0, Qt::UTC)), ms);
}

void TestInflux::delivered_data()
{
    QTest::addColumn<InfluxSettings>("settings");
    QTest::addColumn<QByteArray>("requestLine");
    QTest::addColumn<QByteArray>("authorization");

    InfluxSettings v1;
    v1.database = QStringLiteral("cellar db");
    QTest::newRow("v1, no credentials")
        << v1 << QByteArray("POST /write?db=cellar%20db&precision=s HTTP/1.1") << QByteArray();
    InfluxSettings basic = v1;
    basic.user = QStringLiteral("u");
    basic.password = QStringLiteral("p:w");
    basic.gzip = true;
    QTest::newRow("v1, user, gzip") << basic << QByteArray("POST /write?db=cellar%20db&precision=s HTTP/1.1")
                                    << QByteArray("Basic dTpwOnc=");
    InfluxSettings v2;
    v2.api = Api::V2;
    v2.org = QStringLiteral("home");
    v2.bucket = QStringLiteral("temps");
    v2.token = QStringLiteral("t0k");
    v2.url = QUrl(QStringLiteral("/vm/"));
    QTest::newRow("v2 under a prefix")
        << v2
        << QByteArray("POST /vm/api/v2/write?org=home&bucket=temps&precision=s "
                      "HTTP/1.1")
        << QByteArray("Token t0k");
}

void TestInflux::delivered()
{
    QFETCH(InfluxSettings, settings);
    Rig rig({ScriptedServer::closing(NoContent)});
    settings.name = rig.settings.name;
    settings.url = rig.settings.url.resolved(settings.url);
    rig.settings = settings;
    rig.outbox.add(3);
    InfluxOutput& output = rig.start();
    QTRY_COMPARE_WITH_TIMEOUT(rig.cursorTime(), T0 + 2, WaitMs);

    const QByteArray request = rig.server.heads().first();
    QFETCH(QByteArray, requestLine);
    QFETCH(QByteArray, authorization);
    QCOMPARE(rig.server.requestLines().first(), requestLine);
    QCOMPARE(header(request, "Authorization"), authorization);
    QCOMPARE(header(request, "Content-Type"), QByteArray("text/plain; charset=utf-8"));
    QCOMPARE(header(request, "Content-Encoding"), QByteArray(settings.gzip ? "gzip" : ""));
    QByteArray expected;
    for (const OutboxRow& row : rig.outbox.rows)
        expected += influx::sampleLine({settings.measurement, QStringLiteral("box"), {}}, row.sample);
    QCOMPARE(linesOf(request), expected);
    QCOMPARE(output.status().sent, 3U);
    QCOMPARE(output.status().backlog, 0);
    QVERIFY(output.status().up);
    QCOMPARE(output.status().state, QStringLiteral("caught up"));
    QVERIFY(!rig.output->status().target.contains(QStringLiteral("t0k")));

    // Samples written later go as they come.
    rig.outbox.add(2);
    emit rig.outbox.samplesWritten(2);
    QTRY_COMPARE_WITH_TIMEOUT(rig.cursorTime(), T0 + 4, WaitMs);
    QCOMPARE(rig.requestTimes(), (QList<QList<qint64>>{{0, 1, 2}, {3, 4}}));
    QCOMPARE(output.status().sent, 5U);
    QVERIFY(rig.notices.isEmpty());
}

void TestInflux::badLineDroppedAlone()
{
    // The database refuses every request that holds the line of t=5 and takes the others; the halving the
    // output does decides which request that is, so each answer is checked against its request below.
    const auto bad = ScriptedServer::closing(answer("400 Bad Request", "{\"error\":\"bad line 5\"}\nmore"));
    const auto good = ScriptedServer::closing(NoContent);
    Rig rig({bad, good, bad, bad, good, bad, good});
    rig.outbox.add(8);
    InfluxOutput& output = rig.start();
    QTRY_COMPARE_WITH_TIMEOUT(rig.cursorTime(), T0 + 7, WaitMs);

    QList<qint64> taken;
    const QList<QList<qint64>> requests = rig.requestTimes();
    for (qsizetype i = 0; i < requests.size(); ++i) {
        const bool refused = i == 0 || i == 2 || i == 3 || i == 5;
        QCOMPARE(requests.at(i).contains(5), refused);
        if (!refused)
            taken += requests.at(i);
    }
    QCOMPARE(taken, (QList<qint64>{0, 1, 2, 3, 4, 6, 7}));
    QCOMPARE(output.status().sent, 7U);
    QCOMPARE(output.status().dropped, 1U);
    QCOMPARE(rig.notices,
             QStringList(QStringLiteral("influx db: the database refused a line, which is dropped "
                                        "(so is any later one it refuses): {\"error\":\"bad line "
                                        "5\"}")));
}

void TestInflux::refusedStopsUntilRetry()
{
    Rig rig({ScriptedServer::closing(answer("401 Unauthorized", "authorization failed\nsecond")),
             ScriptedServer::closing(NoContent)});
    rig.settings.token = QStringLiteral("s3cret");
    rig.outbox.add(2);
    InfluxOutput& output = rig.start({2000, 1500, 100, 400});
    QTRY_COMPARE_WITH_TIMEOUT(output.status().state,
                              QStringLiteral("stopped: 401 Unauthorized: authorization failed"), WaitMs);
    QElapsedTimer stopped;
    stopped.start();
    QVERIFY(!output.status().up);
    QTRY_COMPARE_WITH_TIMEOUT(rig.cursorTime(), T0 + 1, WaitMs);
    QVERIFY2(stopped.elapsed() >= 1300, QByteArray::number(stopped.elapsed()));
    QCOMPARE(rig.server.requests(), 2);
    QCOMPARE(rig.notices.size(), 2);
    QVERIFY(rig.notices.first().contains(QStringLiteral("401 Unauthorized: authorization failed")));
    QVERIFY(!rig.notices.join(QLatin1Char(' ')).contains(QStringLiteral("s3cret")));
    QCOMPARE(rig.notices.last(), QStringLiteral("influx db: written again after 0 s: 2 lines waited"));
}

void TestInflux::tooLargeHalves()
{
    Rig rig({ScriptedServer::closing(answer("413 Request Entity Too Large")),
             ScriptedServer::closing(NoContent)});
    rig.settings.batch = 8;
    rig.outbox.add(12);
    InfluxOutput& output = rig.start();
    QTRY_COMPARE_WITH_TIMEOUT(rig.cursorTime(), T0 + 11, WaitMs);
    QCOMPARE(rig.requestTimes(),
             (QList<QList<qint64>>{{0, 1, 2, 3, 4, 5, 6, 7}, {0, 1, 2, 3}, {4, 5, 6, 7}, {8, 9, 10, 11}}));
    QCOMPARE(output.status().sent, 12U);
    QCOMPARE(rig.notices.size(), 1);
}

void TestInflux::retryAfterWaits()
{
    Rig rig({ScriptedServer::closing(answer("429 Too Many Requests", {}, "Retry-After: 1\r\n")),
             ScriptedServer::closing(NoContent)});
    rig.outbox.add(1);
    rig.start({2000, 60000, 100, 400});
    QTRY_COMPARE_WITH_TIMEOUT(rig.server.requests(), 1, WaitMs);
    QElapsedTimer waited;
    waited.start();
    QTRY_COMPARE_WITH_TIMEOUT(rig.cursorTime(), T0, WaitMs);
    QVERIFY2(waited.elapsed() >= 900 && waited.elapsed() < 10000, QByteArray::number(waited.elapsed()));
    QCOMPARE(rig.server.requests(), 2);
}

void TestInflux::cutByDeadline_data()
{
    QTest::addColumn<ScriptedServer::Reply>("first");
    QTest::newRow("silent") << ScriptedServer::noAnswer();
    QTest::newRow("a byte a second") << ScriptedServer::Reply{NoContent, true, int(NoContent.size()), 1000};
}

void TestInflux::cutByDeadline()
{
    QFETCH(ScriptedServer::Reply, first);
    Rig rig({first, ScriptedServer::closing(NoContent)});
    rig.outbox.add(2);
    QElapsedTimer took;
    took.start();
    InfluxOutput& output = rig.start({1500, 60000, 100, 400});
    QTRY_COMPARE_WITH_TIMEOUT(rig.cursorTime(), T0 + 1, WaitMs);
    QVERIFY2(took.elapsed() >= 1400, QByteArray::number(took.elapsed()));
    QCOMPARE(rig.server.requests(), 2);
    QCOMPARE(output.status().sent, 2U);
    QCOMPARE(rig.notices.first(), QStringLiteral("influx db: cannot write to %1: no answer within 1.5 s; the "
                                                 "samples wait in the store")
                                      .arg(output.status().target));
}

void TestInflux::refusedConnectionBacksOff()
{
    const quint16 port = ScriptedServer::unusedPort();
    Rig rig({ScriptedServer::closing(NoContent)}, port);
    rig.outbox.add(3);
    InfluxOutput& output = rig.start({2000, 60000, 100, 400});
    QTRY_VERIFY_WITH_TIMEOUT(output.status().state.startsWith(QStringLiteral("down since ")), WaitMs);
    QVERIFY2(output.status().state.endsWith(QStringLiteral("(connection refused): 3 lines wait")),
             qPrintable(output.status().state));
    QTest::qWait(1200);
    QVERIFY(rig.server.listen(port));
    QTRY_COMPARE_WITH_TIMEOUT(rig.cursorTime(), T0 + 2, WaitMs);
    QCOMPARE(output.status().state, QStringLiteral("caught up"));
    QCOMPARE(rig.notices,
             (QStringList{QStringLiteral("influx db: cannot write to http://127.0.0.1:%1/write: connection "
                                         "refused; the samples wait in the store")
                              .arg(port),
                          QStringLiteral("influx db: written again after 0 s: 3 lines waited")}));
}

void TestInflux::lostRowsSkipped()
{
    Rig rig({ScriptedServer::closing(answer("503 Service Unavailable")), ScriptedServer::closing(NoContent)});
    rig.outbox.add(6);
    InfluxOutput& output = rig.start({2000, 60000, 1000, 1000});
    output.setKeepSamples(QStringLiteral("30 days"));
    QTRY_COMPARE_WITH_TIMEOUT(rig.notices.size(), 1, WaitMs);
    emit rig.outbox.samplesLost(QStringLiteral("other"), 2, T0, T0 + 1, {T0 + 1, 1});
    emit rig.outbox.samplesLost(Output, 3, T0, T0 + 2, {T0 + 2, 1});
    QTRY_COMPARE_WITH_TIMEOUT(rig.cursorTime(), T0 + 5, WaitMs);
    QCOMPARE(rig.requestTimes(), (QList<QList<qint64>>{{0, 1, 2, 3, 4, 5}, {3, 4, 5}}));
    QCOMPARE(output.status().lost, 3U);
    QCOMPARE(output.status().sent, 3U);
    QCOMPARE(rig.notices.at(1),
             QStringLiteral("influx db: 3 lines were never sent and are gone from the store "
                            "(2023-11-14 22:13:20 to 2023-11-14 22:13:22 UTC): "
                            "keep_samples is 30 days"));
}

QTEST_GUILESS_MAIN(TestInflux)
#include "tst_influx.moc"
