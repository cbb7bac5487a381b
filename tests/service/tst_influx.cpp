// The line-protocol output: lines of samples as the databases read them, and the output's answers to what a
// scripted server on loopback plays (2xx, a bad line, a refusal, too large, wait, silence, a drip, refused).
#include "service/history/outbox.h"
#include "service/outputs/influx/influxoutput.h"
#include "service/outputs/influx/influxrequest.h"
#include "service/outputs/influx/lineprotocol.h"

#include "scriptedserver.h"

#include <QElapsedTimer>
#include <QRegularExpression>
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
using Times = QList<qint64>;

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

QByteArray header(const QByteArray& request, const QByteArray& name)
{
    const QRegularExpression line(QStringLiteral("\r\n%1: ([^\r]*)").arg(QString::fromLatin1(name)),
                                  QRegularExpression::CaseInsensitiveOption);
    return line.match(QString::fromLatin1(request)).captured(1).toLatin1();
}

// The lines a write carried, unpacked.
QByteArray linesOf(const QByteArray& request)
{
    QByteArray body = request.mid(request.indexOf("\r\n\r\n") + 4);
    if (header(request, "Content-Encoding") != "gzip")
        return body;
    z_stream stream{};
    QByteArray out(1 << 20, Qt::Uninitialized);
    stream.next_in = reinterpret_cast<Bytef*>(body.data());
    stream.avail_in = uInt(body.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = uInt(out.size());
    const bool whole = inflateInit2(&stream, 15 + 32) == Z_OK && inflate(&stream, Z_FINISH) == Z_STREAM_END;
    out.truncate(qsizetype(stream.total_out));
    inflateEnd(&stream);
    return whole ? out : QByteArray("not gzip");
}

// An output of this box to a scripted server (or a port where one listens later), short waits, no jitter.
struct Rig {
    FakeOutbox outbox;
    ScriptedServer server;
    InfluxSettings settings;
    std::unique_ptr<InfluxOutput> output;
    QStringList notices;

    explicit Rig(QList<ScriptedServer::Reply> script, quint16 port = 0) : server(std::move(script))
    {
        // A write is whole once the body its Content-Length gives has come.
        server.setRequestEnd([](const QByteArray& bytes) -> qsizetype {
            const qsizetype blank = bytes.indexOf("\r\n\r\n");
            const qsizetype end = blank + 4 + header(bytes.left(blank + 2), "Content-Length").toLongLong();
            return blank < 0 || bytes.size() < end ? -1 : end;
        });
        if (port == 0 && server.listen())
            port = server.port();
        settings.name = Output;
        settings.url = QUrl(QStringLiteral("http://127.0.0.1:%1").arg(port));
        settings.database = QStringLiteral("cellar");
    }
    InfluxOutput& start(InfluxOutput::Timing timing)
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
    [[nodiscard]] QList<Times> requestTimes() const
    {
        QList<Times> all;
        for (const QByteArray& request : server.heads()) {
            all.append(Times());
            for (const QByteArray& line : linesOf(request).split('\n'))
                if (!line.isEmpty())
                    all.last().append(line.mid(line.lastIndexOf(' ') + 1).toLongLong() - T0);
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
    void retryAfter_data();
    void retryAfter();
    void answers_data();
    void answers();
    void lostRowsSkipped();
};

void TestInflux::sampleLine_data()
{
    QTest::addColumn<QString>("measurement");
    QTest::addColumn<Tags>("tags");
    QTest::addColumn<QString>("name");
    QTest::addColumn<std::optional<double>>("celsius");
    QTest::addColumn<QByteArray>("line");

    const QString m = QStringLiteral("temperature");
    const QByteArray own = "temperature,host=box,source=cellar,rom=28FF,name=n ";
    const QByteArray counts = "reads=3i,failures=1i 1700000000\n";
    const std::optional<double> none;
    QTest::newRow("shortest")
        << m << Tags{} << "n" << std::optional(0.1 + 0.2)
        << own +
               "celsius=0.30000000000000004,raw=0.30000000000000004,min=0.30000000000000004,"
               "max=0.30000000000000004," +
               counts;
    QTest::newRow("plain, negative, whole") << m << Tags{} << "n" << std::optional(-12.0)
                                            << own + "celsius=-12,raw=-12,min=-12,max=-12," + counts;
    QTest::newRow("no good read") << m << Tags{} << "n" << none << own + counts;
    QTest::newRow("not a number") << m << Tags{} << "n" << std::optional(std::nan("")) << own + counts;
    QTest::newRow("escaped everywhere")
        << "te mp,x=\\" << Tags{{"k y,=\\", "v a,l=\\"}} << "a b,c=d\\e" << none
        << "te\\ mp\\,x=\\\\,host=box,source=cellar,rom=28FF,name=a\\ b\\,c\\=d\\\\e,k\\ y\\,\\=\\\\=v\\ "
           "a\\,l\\=\\\\ " +
               counts;
    QTest::newRow("newlines become spaces")
        << "t\nx" << Tags{{"si\rte", "a\nb"}} << "x\ny\r\nz" << none
        << "t x,host=box,source=cellar,rom=28FF,name=x y  z,si te=a b " + counts;
    QTest::newRow("empty tags left out")
        << m << Tags{{"site", ""}} << "" << none << "temperature,host=box,source=cellar,rom=28FF " + counts;
    QTest::newRow("extra tags replace in place and follow")
        << m << Tags{{"site", "north"}, {"host", "cellar-box"}, {"name", ""}, {"zone", "b"}} << "n" << none
        << "temperature,host=cellar-box,source=cellar,rom=28FF,site=north,zone=b " + counts;
}

void TestInflux::sampleLine()
{
    QFETCH(QString, measurement);
    QFETCH(Tags, tags);
    QFETCH(QString, name);
    QFETCH(std::optional<double>, celsius);
    QFETCH(QByteArray, line);
    SampleRow sample = sampleOf(T0, name, celsius);
    sample.failures[1] = 1;
    QCOMPARE(influx::sampleLine({measurement, QStringLiteral("box"), tags}, sample), line);
}

void TestInflux::retryAfter_data()
{
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<std::optional<qint64>>("ms");
    // T0 is Tue, 14 Nov 2023 22:13:20 UTC.
    QTest::newRow("date") << QByteArray("Tue, 14 Nov 2023 22:13:50 GMT") << std::optional<qint64>(30000);
    QTest::newRow("date past") << QByteArray("Tue, 14 Nov 2023 22:12:00 GMT") << std::optional<qint64>(0);
    QTest::newRow("words") << QByteArray("soon") << std::optional<qint64>();
}

void TestInflux::retryAfter()
{
    QFETCH(QByteArray, value);
    QFETCH(std::optional<qint64>, ms);
    QCOMPARE(retryAfterMs(value, QDateTime::fromSecsSinceEpoch(T0, Qt::UTC)), ms);
}

void TestInflux::answers_data()
{
    QTest::addColumn<QList<ScriptedServer::Reply>>("script");
    QTest::addColumn<int>("rows");
    QTest::addColumn<InfluxSettings>("settings");
    QTest::addColumn<QList<Times>>("requests");
    QTest::addColumn<int>("dropped");
    QTest::addColumn<int>("atLeastMs");
    QTest::addColumn<QStringList>("notices");
    QTest::addColumn<QString>("state"); // one the page shows on the way

    const auto ok = ScriptedServer::closing(NoContent);
    InfluxSettings v1;
    v1.database = QStringLiteral("cellar db");
    v1.token = QStringLiteral("s3cret");
    const QString again = QStringLiteral("influx db: written again after 0 s: 2 lines waited");
    const QString outage =
        QStringLiteral("influx db: cannot write to %TARGET%: %1; the samples wait in the store");
    QTest::newRow("2xx") << QList{ok} << 2 << v1 << QList<Times>{{0, 1}} << 0 << 0 << QStringList{}
                         << QStringLiteral("caught up");
    InfluxSettings basic = v1;
    basic.token.clear();
    basic.user = QStringLiteral("u");
    basic.password = QStringLiteral("p:w");
    basic.gzip = true;
    QTest::newRow("2xx, user, gzip") << QList{ok} << 2 << basic << QList<Times>{{0, 1}} << 0 << 0
                                     << QStringList{} << QStringLiteral("caught up");
    InfluxSettings v2;
    v2.api = Api::V2;
    v2.org = QStringLiteral("home");
    v2.bucket = QStringLiteral("temps");
    v2.token = QStringLiteral("t0k");
    v2.url = QUrl(QStringLiteral("/vm/"));
    QTest::newRow("2xx, v2 under a prefix") << QList{ok} << 2 << v2 << QList<Times>{{0, 1}} << 0 << 0
                                            << QStringList{} << QStringLiteral("caught up");
    // The database refuses every request that holds the line of t=5.
    const auto bad = ScriptedServer::closing(answer("400 Bad Request", "{\"error\":\"bad line 5\"}\nmore"));
    QTest::newRow("400: the bad line alone dropped")
        << QList{bad, ok, bad, bad, ok, bad, ok} << 8 << v1
        << QList<Times>{{0, 1, 2, 3, 4, 5, 6, 7}, {0, 1, 2, 3}, {4, 5, 6, 7}, {4, 5}, {4}, {5}, {6, 7}} << 1
        << 0
        << QStringList{"influx db: the database refused a line, which is dropped (so is any later one it "
                       "refuses): "
                       "{\"error\":\"bad line 5\"}"}
        << QStringLiteral("caught up");
    InfluxSettings eight = v1;
    eight.batch = 8;
    QTest::newRow("413 halves the batch")
        << QList{ScriptedServer::closing(answer("413 Request Entity Too Large")), ok} << 12 << eight
        << QList<Times>{{0, 1, 2, 3, 4, 5, 6, 7}, {0, 1, 2, 3}, {4, 5, 6, 7}, {8, 9, 10, 11}} << 0 << 0
        << QStringList{"influx db: the database found 8 lines too large a request: 4 at most from now on"}
        << QStringLiteral("catching up: 8 lines, the oldest from 59 min ago");
    QTest::newRow("401 stops until the retry")
        << QList{ScriptedServer::closing(answer("401 Unauthorized", "authorization failed\nsecond",
                                                "WWW-Authenticate: Basic realm=\"db\"\r\n")),
                 ok}
        << 2 << v1 << QList<Times>{{0, 1}, {0, 1}} << 0 << 1400
        << QStringList{"influx db: %TARGET% refused the lines (401 Unauthorized: authorization failed); "
                       "tried "
                       "again every 1 s, the samples wait in the store",
                       again}
        << QStringLiteral("stopped: 401 Unauthorized: authorization failed");
    QTest::newRow("429 waits as told")
        << QList{ScriptedServer::closing(answer("429 Too Many Requests", {}, "Retry-After: 1\r\n")), ok} << 2
        << v1 << QList<Times>{{0, 1}, {0, 1}} << 0 << 900
        << QStringList{outage.arg("429 Too Many Requests"), again}
        << QStringLiteral("down since %HHMM% (429 Too Many Requests): 2 lines wait");
    QTest::newRow("silence cut") << QList{ScriptedServer::noAnswer(), ok} << 2 << v1
                                 << QList<Times>{{0, 1}, {0, 1}} << 0 << 1400
                                 << QStringList{outage.arg("no answer within 1.5 s"), again}
                                 << QStringLiteral(
                                        "down since %HHMM% (no answer within 1.5 s): 2 lines wait");
    QTest::newRow("a byte a second cut")
        << QList{ScriptedServer::Reply{NoContent, true, int(NoContent.size()), 1000}, ok} << 2 << v1
        << QList<Times>{{0, 1}, {0, 1}} << 0 << 1400
        << QStringList{outage.arg("no answer within 1.5 s"), again}
        << QStringLiteral("down since %HHMM% (no answer within 1.5 s): 2 lines wait");
    QTest::newRow("an endless answer cut")
        << QList{ScriptedServer::closing(answer("500 Internal Server Error", QByteArray(100 * 1024, 'x'))),
                 ok}
        << 2 << v1 << QList<Times>{{0, 1}, {0, 1}} << 0 << 0
        << QStringList{outage.arg("an answer longer than 64 KiB"), again}
        << QStringLiteral("down since %HHMM% (an answer longer than 64 KiB): 2 lines wait");
    // Nobody listens for the first 1.2 s.
    QTest::newRow("connection refused, backed off")
        << QList<ScriptedServer::Reply>{} << 2 << v1 << QList<Times>{{0, 1}} << 0 << 1200
        << QStringList{outage.arg("connection refused"), again}
        << QStringLiteral("down since %HHMM% (connection refused): 2 lines wait");
    InfluxSettings paced = v1;
    paced.batch = 10;
    paced.backfillRate = 20;
    QTest::newRow("catching up, paced")
        << QList{ok} << 25 << paced
        << QList<Times>{{0, 1, 2, 3, 4, 5, 6, 7, 8, 9},
                        {10, 11, 12, 13, 14, 15, 16, 17, 18, 19},
                        {20, 21, 22, 23, 24}}
        << 0 << 900 << QStringList{} << QStringLiteral("catching up: 15 lines, the oldest from 59 min ago");
}

void TestInflux::answers()
{
    QFETCH(QList<ScriptedServer::Reply>, script);
    QFETCH(int, rows);
    QFETCH(InfluxSettings, settings);
    QFETCH(QList<Times>, requests);
    QFETCH(int, dropped);
    QFETCH(int, atLeastMs);
    QFETCH(QStringList, notices);
    QFETCH(QString, state);
    const bool refused = script.isEmpty();
    Rig rig(refused ? QList{ScriptedServer::closing(NoContent)} : script,
            refused ? ScriptedServer::unusedPort() : 0);
    const quint16 port = quint16(rig.settings.url.port());
    settings.name = rig.settings.name;
    settings.url = rig.settings.url.resolved(settings.url);
    rig.settings = settings;
    rig.outbox.add(rows);
    QElapsedTimer took;
    took.start();
    InfluxOutput& output = rig.start({1500, 1500, 100, 2000});
    QStringList states;
    OutputLink told; // the status as statusChanged() last told it
    connect(&output, &InfluxOutput::statusChanged, this, [&] {
        states << output.status().state;
        told = output.status();
    });
    if (refused) {
        QTest::qWait(1200);
        QVERIFY(rig.server.listen(port));
    }
    QTRY_COMPARE_WITH_TIMEOUT(rig.cursorTime(), T0 + rows - 1, WaitMs);
    QVERIFY2(took.elapsed() >= atLeastMs, QByteArray::number(took.elapsed()));
    QCOMPARE(rig.requestTimes(), requests);
    QCOMPARE(output.status().sent, quint64(rows - dropped));
    QCOMPARE(output.status().dropped, quint64(dropped));
    QCOMPARE(rig.notices, notices.replaceInStrings(QStringLiteral("%TARGET%"), output.status().target));
    QVERIFY(output.status().up);
    QCOMPARE(output.status().state, QStringLiteral("caught up"));
    const QDateTime since = QDateTime::fromSecsSinceEpoch(T0 + 3600, Qt::UTC).toLocalTime();
    QVERIFY2(
        states.contains(state.replace(QStringLiteral("%HHMM%"), since.toString(QStringLiteral("HH:mm")))),
        qPrintable(states.join(QStringLiteral(" | "))));

    const QByteArray first = rig.server.heads().first();
    QByteArray lines;
    for (qsizetype i = 0; i < requests.first().size(); ++i)
        lines += influx::sampleLine({settings.measurement, QStringLiteral("box"), {}},
                                    rig.outbox.rows.at(i).sample);
    QCOMPARE(linesOf(first), lines);
    QCOMPARE(header(first, "Content-Type"), QByteArray("text/plain; charset=utf-8"));
    const QByteArray query = settings.api == Api::V1 ? "/write?db=cellar%20db&precision=s"
                                                     : "/vm/api/v2/write?org=home&bucket=temps&precision=s";
    QCOMPARE(rig.server.requestLines().first(), "POST " + query + " HTTP/1.1");
    QCOMPARE(header(first, "Authorization"),
             settings.token.isEmpty() ? QByteArray("Basic dTpwOnc=") : "Token " + settings.token.toUtf8());

    // Samples written later go as they come, and the backlog is told while a write is out.
    for (const int more : {2, 1}) {
        rig.outbox.add(more);
        emit rig.outbox.samplesWritten(more);
    }
    QCOMPARE(told.backlog, 3);
    QTRY_COMPARE_WITH_TIMEOUT(rig.cursorTime(), T0 + rows + 2, WaitMs);
    QCOMPARE(output.status().sent, quint64(rows - dropped + 3));
    QCOMPARE(output.status().backlog, 0);
    QVERIFY(told == output.status());
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
    QCOMPARE(rig.requestTimes(), (QList<Times>{{0, 1, 2, 3, 4, 5}, {3, 4, 5}}));
    QCOMPARE(output.status().lost, 3U);
    QCOMPARE(output.status().sent, 3U);
    QCOMPARE(rig.notices.at(1),
             QStringLiteral("influx db: 3 lines were never sent and are gone from the store "
                            "(2023-11-14 22:13:20 to 2023-11-14 22:13:22 UTC): keep_samples "
                            "is 30 days"));
}

QTEST_GUILESS_MAIN(TestInflux)
#include "tst_influx.moc"
