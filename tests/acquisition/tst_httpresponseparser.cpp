#include "sources/adapter/httpresponseparser.h"

#include <QtTest>

using quorvel::acquisition::HttpResponseParser;
using State = HttpResponseParser::State;
using Failure = HttpResponseParser::Failure;

namespace {

struct Outcome {
    State state = State::StatusLine;
    Failure failure = Failure::None;
    bool hasStatus = false;
    int status = 0;
    QByteArray reason;
    QByteArray body;
    bool keepAlive = false;
    QByteArray location;
    qsizetype used = 0;
};

// Feeds the pieces in order, counting the bytes the parser takes, and ends the connection if asked.
Outcome parse(const QList<QByteArrayView>& pieces, qint64 maxBody, bool close)
{
    HttpResponseParser parser(maxBody);
    Outcome out;
    for (const QByteArrayView piece : pieces) {
        const qsizetype used = parser.feed(piece);
        if (used < 0 || used > piece.size())
            qFatal("feed() took %lld of %lld bytes", qlonglong(used), qlonglong(piece.size()));
        out.used += used;
    }
    if (close)
        parser.finish();
    out.state = parser.state();
    out.failure = parser.failure();
    out.hasStatus = parser.hasStatus();
    out.status = parser.status();
    out.reason = parser.reasonPhrase();
    out.body = parser.body();
    out.keepAlive = parser.keepAlive();
    out.location = parser.header("LOCATION");
    return out;
}

QByteArray head(const QByteArray& statusAndFields)
{
    return "HTTP/1.1 " + statusAndFields + "\r\n\r\n";
}

} // namespace

Q_DECLARE_METATYPE(HttpResponseParser::State)
Q_DECLARE_METATYPE(HttpResponseParser::Failure)

class TestHttpResponseParser : public QObject {
    Q_OBJECT
private slots:
    void answers_data();
    void answers();
    void answersBackToBack();
};

void TestHttpResponseParser::answers_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<qint64>("maxBody");
    QTest::addColumn<bool>("close"); // the connection ends after the input
    QTest::addColumn<State>("state");
    QTest::addColumn<Failure>("failure");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("keepAlive");   // checked for complete answers only
    QTest::addColumn<qsizetype>("unused"); // bytes of the input that are not this answer's

    const qint64 cap = 1048576;
    const auto done = State::Complete;
    const auto failed = State::Failed;
    const auto ok = Failure::None;
    const QByteArray hello = "hello";

    // Framing
    QTest::newRow("length") << head("200 OK\r\nContent-Length: 5") + hello << cap << false << done << ok
                            << 200 << hello << true << qsizetype(0);
    QTest::newRow("length, then the next answer's bytes")
        << head("200 OK\r\nContent-Length: 5") + hello + "HTTP/1.1 200" << cap << false << done << ok << 200
        << hello << true << qsizetype(12);
    QTest::newRow("length zero") << head("200 OK\r\nContent-Length: 0") << cap << false << done << ok << 200
                                 << QByteArray() << true << qsizetype(0);
    QTest::newRow("chunked, extensions and trailers")
        << head("200 OK\r\nTransfer-Encoding: chunked").chopped(2) +
               "\r\n5;name=\"v\"\r\nhello\r\nA \r\n0123456789\r\n0;last\r\nX-Sum: 1\r\nX-More: 2\r\n\r\n"
        << cap << false << done << ok << 200 << QByteArray("hello0123456789") << true << qsizetype(0);
    QTest::newRow("chunked, bare line feeds and upper-case hex")
        << QByteArray("HTTP/1.1 200 OK\nTransfer-Encoding: Chunked\n\nB\nhello world\n0\n\n") << cap << false
        << done << ok << 200 << QByteArray("hello world") << true << qsizetype(0);
    QTest::newRow("chunked wins over a length, closes after")
        << head("200 OK\r\nContent-Length: 3\r\nTransfer-Encoding: chunked") + "5\r\nhello\r\n0\r\n\r\n"
        << cap << false << done << ok << 200 << hello << false << qsizetype(0);
    QTest::newRow("other transfer coding, read until the close")
        << head("200 OK\r\nTransfer-Encoding: gzip") + hello << cap << true << done << ok << 200 << hello
        << false << qsizetype(0);
    QTest::newRow("no length, read until the close")
        << head("200 OK") + hello << cap << true << done << ok << 200 << hello << false << qsizetype(0);
    QTest::newRow("no length, still open") << head("200 OK") + hello << cap << false << State::Body << ok
                                           << 200 << hello << false << qsizetype(0);
    QTest::newRow("204 has no body") << head("204 No Content") + "HTTP" << cap << false << done << ok << 204
                                     << QByteArray() << true << qsizetype(4);
    QTest::newRow("equal repeated lengths")
        << head("200 OK\r\nContent-Length: 5, 5\r\ncontent-length: 5") + hello << cap << false << done << ok
        << 200 << hello << true << qsizetype(0);

    // Status lines and interim answers
    QTest::newRow("interim answers skipped")
        << head("100 Continue") + head("103 Early Hints\r\nLink: x") + head("200 OK\r\nContent-Length: 5") +
               hello
        << cap << false << done << ok << 200 << hello << true << qsizetype(0);
    QTest::newRow("blank lines before the status line")
        << "\r\n\r\n" + head("200 OK\r\nContent-Length: 5") + hello << cap << false << done << ok << 200
        << hello << true << qsizetype(0);
    QTest::newRow("no reason phrase") << QByteArray("HTTP/1.1 404\r\nContent-Length: 0\r\n\r\n") << cap
                                      << false << done << ok << 404 << QByteArray() << true << qsizetype(0);
    QTest::newRow("switching protocols")
        << head("101 Switching Protocols\r\nUpgrade: x") << cap << false << failed << Failure::Malformed
        << 101 << QByteArray() << false << qsizetype(0);
    QTest::newRow("version 2") << QByteArray("HTTP/2 200 OK\r\n\r\n") << cap << false << failed
                               << Failure::Malformed << 0 << QByteArray() << false << qsizetype(0);
    QTest::newRow("not http") << QByteArray("ICY 200 OK\r\n\r\n") << cap << false << failed
                              << Failure::Malformed << 0 << QByteArray() << false << qsizetype(0);
    QTest::newRow("two-digit status") << QByteArray("HTTP/1.1 20 OK\r\n\r\n") << cap << false << failed
                                      << Failure::Malformed << 0 << QByteArray() << false << qsizetype(0);
    QTest::newRow("status run into the reason")
        << QByteArray("HTTP/1.1 200OK\r\n\r\n") << cap << false << failed << Failure::Malformed << 0
        << QByteArray() << false << qsizetype(0);
    QTest::newRow("status below 100") << QByteArray("HTTP/1.1 099 Odd\r\n\r\n") << cap << false << failed
                                      << Failure::Malformed << 99 << QByteArray() << false << qsizetype(0);

    // Header fields
    QTest::newRow("names in any case") << head("200 OK\r\ncontent-LENGTH: 5") + hello << cap << false << done
                                       << ok << 200 << hello << true << qsizetype(0);
    QTest::newRow("garbage line skipped")
        << head("200 OK\r\nthis is no field\r\n: empty name\r\nContent-Length: 5") + hello << cap << false
        << done << ok << 200 << hello << true << qsizetype(0);
    QTest::newRow("blank before the colon is no field")
        << head("200 OK\r\nContent-Length : 2") + hello << cap << true << done << ok << 200 << hello << false
        << qsizetype(0);
    QTest::newRow("folded line first") << head("200 OK\r\n folded\r\nContent-Length: 5") + hello << cap
                                       << false << done << ok << 200 << hello << true << qsizetype(0);
    QTest::newRow("conflicting lengths")
        << head("200 OK\r\nContent-Length: 5\r\nContent-Length: 6") + hello << cap << false << failed
        << Failure::Malformed << 200 << QByteArray() << false << qsizetype(0);
    QTest::newRow("negative length") << head("200 OK\r\nContent-Length: -1") << cap << false << failed
                                     << Failure::Malformed << 200 << QByteArray() << false << qsizetype(0);
    QTest::newRow("length with letters")
        << head("200 OK\r\nContent-Length: 5x") << cap << false << failed << Failure::Malformed << 200
        << QByteArray() << false << qsizetype(0);
    QTest::newRow("line longer than allowed")
        << "HTTP/1.1 200 OK\r\nX: " + QByteArray(HttpResponseParser::MaxLineBytes, 'a') + "\r\n\r\n"
        << cap << false << failed << Failure::Malformed << 200 << QByteArray() << false << qsizetype(0);

    // Connection
    QTest::newRow("1.1 asked to close")
        << head("200 OK\r\nConnection: Upgrade, CLOSE\r\nContent-Length: 5") + hello << cap << false << done
        << ok << 200 << hello << false << qsizetype(0);
    QTest::newRow("1.0 without keep-alive")
        << QByteArray("HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nhello") << cap << false << done << ok
        << 200 << hello << false << qsizetype(0);
    QTest::newRow("1.0 with keep-alive")
        << QByteArray("HTTP/1.0 200 OK\r\nConnection: Keep-Alive\r\nContent-Length: 5\r\n\r\nhello") << cap
        << false << done << ok << 200 << hello << true << qsizetype(0);

    // Size cap and cut answers
    QTest::newRow("length at the cap") << head("200 OK\r\nContent-Length: 5") + hello << qint64(5) << false
                                       << done << ok << 200 << hello << true << qsizetype(0);
    QTest::newRow("length over the cap, judged by the head")
        << head("200 OK\r\nContent-Length: 6") << qint64(5) << false << failed << Failure::TooLarge << 200
        << QByteArray() << false << qsizetype(0);
    QTest::newRow("unsized body over the cap") << head("200 OK") + "hello!" << qint64(5) << false << failed
                                               << Failure::TooLarge << 200 << hello << false << qsizetype(0);
    QTest::newRow("unsized body at the cap")
        << head("200 OK") + hello << qint64(5) << true << done << ok << 200 << hello << false << qsizetype(0);
    QTest::newRow("chunks over the cap") << head("200 OK\r\nTransfer-Encoding: chunked") + "3\r\nhel\r\n3\r\n"
                                         << qint64(5) << false << failed << Failure::TooLarge << 200
                                         << QByteArray("hel") << false << qsizetype(0);
    QTest::newRow("huge chunk size") << head("200 OK\r\nTransfer-Encoding: chunked") +
                                            "FFFFFFFFFFFFFFFFFFFF\r\n"
                                     << cap << false << failed << Failure::Malformed << 200 << QByteArray()
                                     << false << qsizetype(0);
    QTest::newRow("chunk size not hex")
        << head("200 OK\r\nTransfer-Encoding: chunked") + "zz\r\n"
        << cap << false << failed << Failure::Malformed << 200 << QByteArray() << false << qsizetype(0);
    QTest::newRow("chunk longer than its size")
        << head("200 OK\r\nTransfer-Encoding: chunked") + "3\r\nhello\r\n"
        << cap << false << failed << Failure::Malformed << 200 << QByteArray("hel") << false << qsizetype(0);
    QTest::newRow("cut in the body") << head("200 OK\r\nContent-Length: 10") + hello << cap << true << failed
                                     << Failure::Truncated << 200 << hello << false << qsizetype(0);
    QTest::newRow("cut in the head") << QByteArray("HTTP/1.1 200 OK\r\nContent-Le") << cap << true << failed
                                     << Failure::Truncated << 200 << QByteArray() << false << qsizetype(0);
    QTest::newRow("cut before the last chunk")
        << head("200 OK\r\nTransfer-Encoding: chunked") + "5\r\nhello\r\n"
        << cap << true << failed << Failure::Truncated << 200 << hello << false << qsizetype(0);
    QTest::newRow("nothing at all") << QByteArray() << cap << true << failed << Failure::Truncated << 0
                                    << QByteArray() << false << qsizetype(0);
}

// Every answer gives the same outcome whole, byte by byte, and split in two at every position.
void TestHttpResponseParser::answers()
{
    QFETCH(QByteArray, input);
    QFETCH(qint64, maxBody);
    QFETCH(bool, close);
    QFETCH(State, state);
    QFETCH(Failure, failure);
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(bool, keepAlive);
    QFETCH(qsizetype, unused);

    const Outcome whole = parse({input}, maxBody, close);
    QCOMPARE(whole.state, state);
    QCOMPARE(whole.failure, failure);
    QCOMPARE(whole.status, status);
    QCOMPARE(whole.hasStatus, status >= 100);
    QCOMPARE(whole.body, body);
    if (state == State::Complete) {
        QCOMPARE(whole.keepAlive, keepAlive);
        QCOMPARE(whole.used, input.size() - unused);
    }

    QList<QByteArrayView> bytes;
    for (qsizetype i = 0; i < input.size(); ++i)
        bytes.append(QByteArrayView(input).sliced(i, 1));
    QList<QList<QByteArrayView>> splits{bytes};
    if (input.size() < 2000) {
        for (qsizetype at = 0; at <= input.size(); ++at)
            splits.append({QByteArrayView(input).first(at), QByteArrayView(input).sliced(at)});
    }
    for (const QList<QByteArrayView>& pieces : std::as_const(splits)) {
        const Outcome split = parse(pieces, maxBody, close);
        const QByteArray where = "pieces: " + QByteArray::number(pieces.size()) + ", first " +
                                 QByteArray::number(pieces.isEmpty() ? 0 : pieces.front().size());
        QVERIFY2(split.state == whole.state && split.failure == whole.failure &&
                     split.status == whole.status && split.body == whole.body &&
                     split.keepAlive == whole.keepAlive &&
                     (state != State::Complete || split.used == whole.used) && split.reason == whole.reason &&
                     split.location == whole.location,
                 where.constData());
    }
}

// A kept-alive connection carries one answer after the other; reset() starts the next.
void TestHttpResponseParser::answersBackToBack()
{
    const QByteArray stream =
        "HTTP/1.1 302 Found\r\nLocation: /a\r\n  b\r\nContent-Length: 2\r\n\r\nabHTTP/1.1 "
        "200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\ncd\r\n0\r\n\r\n";
    HttpResponseParser parser;
    const qsizetype first = parser.feed(stream);
    QVERIFY(parser.isComplete());
    QCOMPARE(parser.status(), 302);
    QCOMPARE(parser.reasonPhrase(), QByteArray("Found"));
    QCOMPARE(parser.header("location"), QByteArray("/a b"));
    QCOMPARE(parser.header("x-missing"), QByteArray());
    QCOMPARE(parser.contentLength(), 2);
    QCOMPARE(parser.body(), QByteArray("ab"));
    QCOMPARE(parser.feed("more"), 0);

    parser.reset();
    QCOMPARE(parser.feed(QByteArrayView(stream).sliced(first)), stream.size() - first);
    QVERIFY(parser.isComplete());
    QCOMPARE(parser.status(), 200);
    QCOMPARE(parser.header("LOCATION"), QByteArray());
    QCOMPARE(parser.contentLength(), -1);
    QCOMPARE(parser.body(), QByteArray("cd"));
    QVERIFY(parser.keepAlive());
}

QTEST_GUILESS_MAIN(TestHttpResponseParser)
#include "tst_httpresponseparser.moc"
