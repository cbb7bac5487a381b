#include "sources/adapter/webpagecomponent.h"
#include "manualtimer.h"
#include "runtime/conversions.h"
#include "scriptedserver.h"
#include "simulatorprocess.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QtTest>

#include <zlib.h>

#include <array>
#include <cmath>

using quorvel::acquisition::HtmlDocument;
using quorvel::acquisition::PageComponent;
using quorvel::acquisition::WebPageComponent;
using quorvel::testing::ManualTimer;
using quorvel::testing::ScriptedServer;

namespace {

const QString TemperatureId = QStringLiteral("Temperature_0");

// A reading the acquisition would accept: a number on the sensor's 0.0625 grid.
bool isReading(const std::optional<QString>& value)
{
    if (!value)
        return false;
    const std::optional<float> number = quorvel::runtime::textToSingle(*value, QLocale::c());
    return number && std::fmod(*number * 16.0f, 1.0f) == 0.0f;
}

// Each answer followed by a close, as a server that does not keep connections sends it; an empty one closes
// without an answer.
QList<ScriptedServer::Reply> closingEach(const QList<QByteArray>& answers)
{
    QList<ScriptedServer::Reply> script;
    for (const QByteArray& answer : answers)
        script.append(ScriptedServer::closing(answer));
    return script;
}

// The bytes compressed as a server set to compress sends them. windowBits as for deflateInit2: 15 + 16
// gzip, 15 zlib, -15 raw deflate.
QByteArray compressed(const QByteArray& bytes, int windowBits)
{
    z_stream stream{};
    if (deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return {};
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
    stream.avail_in = uInt(bytes.size());
    QByteArray out;
    std::array<char, 16384> buffer{};
    int status = Z_OK;
    while (status == Z_OK) {
        stream.next_out = reinterpret_cast<Bytef*>(buffer.data());
        stream.avail_out = uInt(buffer.size());
        status = deflate(&stream, Z_FINISH);
        out.append(buffer.data(), qsizetype(buffer.size() - stream.avail_out));
    }
    deflateEnd(&stream);
    return status == Z_STREAM_END ? out : QByteArray();
}

const QByteArray ReadingPage = "<INPUT ID=Temperature_0 VALUE=\"21.5\">";
const QByteArray ReadingAnswer =
    "HTTP/1.1 200 OK\r\nContent-Length: " + QByteArray::number(ReadingPage.size()) + "\r\n\r\n" + ReadingPage;

// Over connections kept open: the n-th request gets the n-th answer (the last one repeats), an empty answer
// closes the connection instead, and after the answers listed in closeAfter the server closes the
// connection as an idle one.
QList<ScriptedServer::Reply> keptOpen(const QList<QByteArray>& answers, const QList<int>& closeAfter = {})
{
    const int last = closeAfter.isEmpty() ? 0 : *std::max_element(closeAfter.begin(), closeAfter.end()) + 1;
    QList<ScriptedServer::Reply> script;
    for (int n = 0; n < std::max(int(answers.size()), last + 1); ++n) {
        const QByteArray& answer = answers.at(std::min<qsizetype>(n, answers.size() - 1));
        script.append({answer, answer.isEmpty() || closeAfter.contains(n)});
    }
    return script;
}

} // namespace

// A socket that fails inside the call of ours that started the work, as a real one does when the network
// is gone (a connect that is refused or unreachable at once) or the peer vanishes as a request goes out.
class FailingSocket : public QTcpSocket {
public:
    enum class Where { Nowhere, Connect, Write, CloseInWrite };

    FailingSocket(Where where, int atWrite, QObject* parent)
        : QTcpSocket(parent), where_(where), atWrite_(atWrite)
    {
    }

    using QTcpSocket::connectToHost;
    void connectToHost(const QString& host, quint16 port, OpenMode mode,
                       NetworkLayerProtocol protocol) override
    {
        if (where_ != Where::Connect) {
            QTcpSocket::connectToHost(host, port, mode, protocol);
            return;
        }
        setSocketError(NetworkError);
        setErrorString(QStringLiteral("Network is unreachable"));
        emit errorOccurred(NetworkError);
    }

protected:
    qint64 writeData(const char* data, qint64 size) override
    {
        if ((where_ != Where::Write && where_ != Where::CloseInWrite) || ++writes_ != atWrite_)
            return QTcpSocket::writeData(data, size);
        if (where_ == Where::Write) {
            setSocketError(NetworkError);
            setErrorString(QStringLiteral("Broken pipe"));
            emit errorOccurred(NetworkError);
        }
        // Emits disconnected() at once, from inside this write.
        abort();
        return -1;
    }

private:
    Where where_;
    int atWrite_;
    int writes_ = 0;
};

class TestWebPageComponent : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void normalPage();
    void allSensorsFromCompleted();
    void secondNavigationAbandonsFirst_data();
    void secondNavigationAbandonsFirst();
    void refusedConnection();
    void faults_data();
    void faults();
    void redirectLimitIsPerNavigation();
    void cannedAnswers_data();
    void cannedAnswers();
    void requestLineKeepsTheAddressAsWritten();
    void requestHead_data();
    void requestHead();
    void keepAlive_data();
    void keepAlive();
    void otherAdapterClosesTheConnection();
    void unsupportedScheme();
    void failureInsideOurOwnCall_data();
    void failureInsideOurOwnCall();
    void malformedUrl_data();
    void malformedUrl();

private:
    SimulatorProcess simulator_;
};

void TestWebPageComponent::initTestCase()
{
    QVERIFY(simulator_.start());
}

void TestWebPageComponent::init()
{
    QVERIFY(simulator_.clear());
    QVERIFY(simulator_.setLatency(0));
}

void TestWebPageComponent::normalPage()
{
    WebPageComponent page;
    QCOMPARE(page.ReadyState(), int(PageComponent::Uninitialized));
    QCOMPARE(page.Document(), nullptr);

    QSignalSpy completed(&page, &PageComponent::completed);
    page.Navigate(simulator_.sensorUrl(0));
    QCOMPARE(page.ReadyState(), int(PageComponent::Loading));
    QVERIFY(page.Document() != nullptr);
    QCOMPARE(page.Document()->elementValue(TemperatureId), std::nullopt);
    QVERIFY(completed.wait(5000));
    QCOMPARE(completed.count(), 1);

    QCOMPARE(page.ReadyState(), int(PageComponent::Complete));
    QVERIFY(page.lastLoadGotAnswer());
    QCOMPARE(page.htmlDocument()->errorReason(), std::nullopt);
    const std::optional<QString> value = page.Document()->elementValue(TemperatureId);
    QVERIFY2(isReading(value), qPrintable(value.value_or(QStringLiteral("(none)"))));
    QVERIFY(!page.htmlDocument()->rendered());
    QVERIFY(page.Document()->displayHtml().contains(u'[' + *value + u']'));

    // A view asked for the rendering: from the next page on it is made as the page is read.
    page.Navigate(simulator_.sensorUrl(1));
    QVERIFY(completed.wait(5000));
    QVERIFY(page.htmlDocument()->rendered());
    QVERIFY(page.Document()->displayHtml().contains(QStringLiteral("06000000A4EC7428")));
}

// The acquisition starts each next load from the completed() of the previous one, over one connection.
void TestWebPageComponent::allSensorsFromCompleted()
{
    const QMap<int, int> before = simulator_.stats();
    WebPageComponent page;
    QStringList values;
    int rendered = 0;
    connect(&page, &PageComponent::completed, this, [&] {
        rendered += page.htmlDocument()->rendered() ? 1 : 0;
        values << page.Document()->elementValue(TemperatureId).value_or(QStringLiteral("(none)"));
        if (values.size() < 13)
            page.Navigate(simulator_.sensorUrl(int(values.size())));
    });
    QSignalSpy completed(&page, &PageComponent::completed);
    page.Navigate(simulator_.sensorUrl(0));
    while (completed.count() < 13 && completed.wait(5000)) {
    }
    QCOMPARE(completed.count(), 13);
    for (const QString& value : std::as_const(values))
        QVERIFY2(isReading(value), qPrintable(value));
    // Read as the service reads, asking for values only: no page was rendered.
    QCOMPARE(rendered, 0);

    const QMap<int, int> after = simulator_.stats();
    for (int sensor = 1; sensor <= 13; ++sensor)
        QCOMPARE(after.value(sensor) - before.value(sensor), 1);
}

void TestWebPageComponent::secondNavigationAbandonsFirst_data()
{
    QTest::addColumn<QString>("firstKind");
    QTest::addColumn<int>("latencyMs");

    QTest::newRow("both slow") << QString() << 300;
    QTest::newRow("first silent") << QStringLiteral("silent") << 0;
    QTest::newRow("first dripping") << QStringLiteral("drip") << 0;
}

void TestWebPageComponent::secondNavigationAbandonsFirst()
{
    QFETCH(QString, firstKind);
    QFETCH(int, latencyMs);
    QVERIFY(simulator_.setLatency(latencyMs));
    if (!firstKind.isEmpty())
        QVERIFY(simulator_.setFault(1, firstKind));

    WebPageComponent page(nullptr, 2000);
    auto timer = std::make_unique<ManualTimer>();
    const ManualTimer& deadline = *timer;
    page.setDeadlineTimer(std::move(timer));
    QSignalSpy completed(&page, &PageComponent::completed);
    page.Navigate(simulator_.sensorUrl(0));
    page.Navigate(simulator_.sensorUrl(1));
    QVERIFY(completed.wait(5000));
    QCOMPARE(completed.count(), 1);
    QVERIFY(isReading(page.Document()->elementValue(TemperatureId)));
    const QString shown = page.Document()->displayHtml();
    QVERIFY(shown.contains(QStringLiteral("06000000A4EC7428")));
    QVERIFY(!shown.contains(QStringLiteral("9C000000B4A89828")));

    // The abandoned load stays silent: no deadline is left to end it, and past the simulator's latency
    // nothing comes late from its connection.
    QVERIFY(!deadline.isActive());
    QCOMPARE(deadline.interval(), 2000);
    QVERIFY(!completed.wait(latencyMs + 200));
    QCOMPARE(page.ReadyState(), int(PageComponent::Complete));
}

void TestWebPageComponent::refusedConnection()
{
    const quint16 port = ScriptedServer::unusedPort();
    QVERIFY(port != 0);

    WebPageComponent page;
    QSignalSpy completed(&page, &PageComponent::completed);
    page.Navigate(QStringLiteral("http://127.0.0.1:%1/1Wire/ReadDS18B20.html").arg(port));
    QVERIFY(completed.wait(5000));
    QCOMPARE(completed.count(), 1);
    QCOMPARE(page.ReadyState(), int(PageComponent::Complete));
    QVERIFY(!page.lastLoadGotAnswer());
    QCOMPARE(page.Document()->elementValue(TemperatureId), std::nullopt);
    QCOMPARE(page.htmlDocument()->errorReason(),
             std::optional<QString>(QStringLiteral("Connection refused")));
    QVERIFY(page.Document()->displayHtml().contains(QStringLiteral("The page cannot be displayed")));
}

void TestWebPageComponent::faults_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("arg");
    QTest::addColumn<int>("timeoutMs");
    QTest::addColumn<bool>("gotAnswer");
    // "(error)": an error page whose reason contains reasonText; "(reading)": any valid reading; "(none)":
    // a page without a readable element; else the exact element value.
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("reasonText");
    QTest::addColumn<int>("requests"); // -1: not checked

    const int normal = WebPageComponent::DefaultTimeoutMs;
    const QString none;
    const QString error = QStringLiteral("(error)");
    QTest::newRow("missing") << "missing" << none << normal << true << "(none)" << none << 1;
    QTest::newRow("dashes") << "dashes" << none << normal << true << "----" << none << 1;
    QTest::newRow("value with blanks") << "value"
                                       << " 23.5 " << normal << true << " 23.5 " << none << 1;
    QTest::newRow("empty value") << "value" << none << normal << true << none << none << 1;
    QTest::newRow("novalue") << "novalue" << none << normal << true << "(none)" << none << 1;
    QTest::newRow("garbage") << "garbage" << none << normal << true << "(none)" << none << 1;
    QTest::newRow("status500") << "status500" << none << normal << true << error
                               << "HTTP 500 Internal Server Error" << 1;
    QTest::newRow("close") << "close" << none << normal << false << error << "without an answer" << -1;
    QTest::newRow("silent") << "silent" << none << 500 << false << error
                            << "did not answer within 0.5 seconds" << 1;
    QTest::newRow("drip") << "drip" << none << 500 << true << error << "whole page within 0.5 seconds" << 1;
    QTest::newRow("huge") << "huge" << none << normal << true << error << "larger than 1 MiB" << 1;
    QTest::newRow("redirect-same") << "redirect-same" << none << normal << true << "(reading)" << none << 2;
    QTest::newRow("redirect-other-host") << "redirect-other-host" << none << normal << true << error
                                         << "Redirect to another host refused" << 1;
    QTest::newRow("redirect-loop") << "redirect-loop" << none << normal << true << error
                                   << "Too many redirects" << 1 + WebPageComponent::MaxRedirects;
}

void TestWebPageComponent::faults()
{
    QFETCH(QString, kind);
    QFETCH(QString, arg);
    QFETCH(int, timeoutMs);
    QFETCH(bool, gotAnswer);
    QFETCH(QString, value);
    QFETCH(QString, reasonText);
    QFETCH(int, requests);

    constexpr int sensor = 5;
    QVERIFY(simulator_.setFault(sensor, kind, arg));
    const int requestsBefore = simulator_.stats().value(sensor);

    WebPageComponent page(nullptr, timeoutMs);
    QSignalSpy completed(&page, &PageComponent::completed);
    QElapsedTimer clock;
    clock.start();
    page.Navigate(simulator_.sensorUrl(sensor - 1));
    QVERIFY(completed.wait(std::min(timeoutMs, 5000) + 20000));
    const qint64 elapsed = clock.elapsed();
    QCOMPARE(completed.count(), 1);
    QCOMPARE(page.ReadyState(), int(PageComponent::Complete));
    QCOMPARE(page.lastLoadGotAnswer(), gotAnswer);

    const std::optional<QString> reason = page.htmlDocument()->errorReason();
    const std::optional<QString> element = page.Document()->elementValue(TemperatureId);
    if (value == u"(error)") {
        QVERIFY(reason.has_value());
        QVERIFY2(reason->contains(reasonText), qPrintable(*reason));
        QCOMPARE(element, std::nullopt);
        QVERIFY(page.Document()->displayHtml().contains(reasonText));
    } else {
        QVERIFY2(!reason.has_value(), qPrintable(reason.value_or(QString())));
        if (value == u"(reading)")
            QVERIFY(isReading(element));
        else if (value == u"(none)")
            QCOMPARE(element, std::nullopt);
        else
            QCOMPARE(element, std::optional<QString>(value));
    }
    if (timeoutMs < WebPageComponent::DefaultTimeoutMs) {
        QVERIFY2(elapsed >= timeoutMs - 20, qPrintable(QString::number(elapsed)));
        // Ended by this time-out, not the default one, however late a busy machine runs it.
        QVERIFY2(elapsed < WebPageComponent::DefaultTimeoutMs, qPrintable(QString::number(elapsed)));
    }
    if (requests >= 0)
        QCOMPARE(simulator_.stats().value(sensor) - requestsBefore, requests);

    // The same component loads the next page normally, and nothing late from this one shows up.
    QVERIFY(simulator_.clear());
    page.Navigate(simulator_.sensorUrl(sensor - 1));
    QVERIFY(completed.wait(5000));
    QCOMPARE(completed.count(), 2);
    QVERIFY(page.lastLoadGotAnswer());
    QVERIFY(isReading(page.Document()->elementValue(TemperatureId)));
}

void TestWebPageComponent::redirectLimitIsPerNavigation()
{
    constexpr int sensor = 7;
    QVERIFY(simulator_.setFault(sensor, QStringLiteral("redirect-same")));
    WebPageComponent page;
    QSignalSpy completed(&page, &PageComponent::completed);
    for (int load = 1; load <= WebPageComponent::MaxRedirects + 1; ++load) {
        page.Navigate(simulator_.sensorUrl(sensor - 1));
        QVERIFY(completed.wait(5000));
        QCOMPARE(completed.count(), load);
        QVERIFY2(isReading(page.Document()->elementValue(TemperatureId)),
                 qPrintable(page.htmlDocument()->errorReason().value_or(QString())));
    }
}

void TestWebPageComponent::cannedAnswers_data()
{
    QTest::addColumn<QList<QByteArray>>("answers");
    QTest::addColumn<qint64>("maxBody");
    QTest::addColumn<bool>("gotAnswer");
    QTest::addColumn<QString>("value"); // empty: an error page whose reason contains reasonText
    QTest::addColumn<QString>("reasonText");
    QTest::addColumn<int>("requests");

    const QByteArray page = "<INPUT ID=Temperature_0 VALUE=\"21.5\">";
    const qint64 cap = WebPageComponent::DefaultMaxBodyBytes;
    // With a Content-Length the client knows the answer is whole before the close, so it never
    // retries; the rows about unknown lengths leave it out.
    const auto answer = [](const QByteArray& head, const QByteArray& body) {
        return "HTTP/1.1 " + head + "\r\nContent-Length: " + QByteArray::number(body.size()) +
               "\r\nConnection: close\r\n\r\n" + body;
    };
    const auto unsized = [](const QByteArray& head, const QByteArray& body) {
        return "HTTP/1.1 " + head + "\r\nConnection: close\r\n\r\n" + body;
    };
    const QByteArray padded = page + "<!--" + QByteArray(2000, 'x') + "-->";

    QTest::newRow("no length, over the cap")
        << QList{unsized("200 OK\r\nContent-Type: text/html", padded)} << qint64(1000) << true << ""
        << "larger than 1000 bytes" << 1;
    QTest::newRow("no length, at the cap") << QList{unsized("200 OK\r\nContent-Type: text/html", padded)}
                                           << qint64(padded.size()) << true << "21.5"
                                           << "" << 1;
    QTest::newRow("length over the cap")
        << QList{answer("200 OK", padded)} << qint64(padded.size() - 1) << true << ""
        << "larger than" << 1;
    QTest::newRow("length over the cap, judged by the header")
        << QList{unsized("200 OK\r\nContent-Length: 1048577", page)} << cap << true << ""
        << "larger than 1 MiB" << 1;
    QTest::newRow("charset from content type")
        << QList{answer("200 OK\r\nContent-Type: text/html; charset=\"ISO-8859-1\"",
                        "<INPUT ID=Temperature_0 VALUE=\"21\xb0\">")}
        << cap << true << QString::fromUtf8("21\u00b0") << "" << 1;
    QTest::newRow("any content type is html")
        << QList{answer("200 OK\r\nContent-Type: application/octet-stream", page)} << cap << true << "21.5"
        << "" << 1;
    QTest::newRow("cut short") << QList{unsized("200 OK\r\nContent-Length: 500", page)} << cap << true << ""
                               << "before the page was complete" << 1;
    QTest::newRow("closed before the status line") << QList{QByteArray()} << cap << false << ""
                                                   << "without an answer" << -1;
    QTest::newRow("404") << QList{answer("404 Not Found", "<P>no")} << cap << true << ""
                         << "HTTP 404 Not Found" << 1;
    QTest::newRow("relative redirect")
        << QList{answer("301 Moved\r\nLocation: /moved", {}), answer("200 OK", page)} << cap << true << "21.5"
        << "" << 2;
    QTest::newRow("303 and 307 and 308")
        << QList{answer("303 See Other\r\nLocation: /a", {}), answer("307 Temporary\r\nLocation: /b", {}),
                 answer("308 Permanent\r\nLocation: http://127.0.0.1:%PORT%/c", {}), answer("200 OK", page)}
        << cap << true << "21.5"
        << "" << 4;
    QTest::newRow("five redirects followed")
        << QList{answer("302 Found\r\nLocation: /r", {}), answer("302 Found\r\nLocation: /r", {}),
                 answer("302 Found\r\nLocation: /r", {}), answer("302 Found\r\nLocation: /r", {}),
                 answer("302 Found\r\nLocation: /r", {}), answer("200 OK", page)}
        << cap << true << "21.5"
        << "" << 6;
    QTest::newRow("redirect to another port")
        << QList{answer("302 Found\r\nLocation: http://127.0.0.1:1/x", {})} << cap << true << ""
        << "another port refused" << 1;
    QTest::newRow("redirect to another scheme")
        << QList{answer("302 Found\r\nLocation: https://127.0.0.1:%PORT%/x", {})} << cap << true << ""
        << "another scheme refused" << 1;
    // The request asks for identity; a server set to compress answers encoded all the same.
    const auto encoded = [&](const QByteArray& coding, const QByteArray& body) {
        return answer("200 OK\r\nContent-Type: text/html\r\nContent-Encoding: " + coding, body);
    };
    const QByteArray gzip = compressed(page, 15 + 16);
    QTest::newRow("gzip") << QList{encoded("gzip", gzip)} << cap << true << "21.5"
                          << "" << 1;
    QTest::newRow("deflate, zlib stream")
        << QList{encoded("deflate", compressed(page, 15))} << cap << true << "21.5"
        << "" << 1;
    QTest::newRow("deflate, raw") << QList{encoded("Deflate", compressed(page, -15))} << cap << true << "21.5"
                                  << "" << 1;
    QTest::newRow("identity") << QList{encoded("identity", page)} << cap << true << "21.5"
                              << "" << 1;
    QTest::newRow("unknown encoding") << QList{encoded("br", page)} << cap << true << ""
                                      << "The adapter's answer was encoded (br), which cannot be read" << 1;
    QTest::newRow("gzip at the cap once decoded")
        << QList{encoded("gzip", compressed(padded, 15 + 16))} << qint64(padded.size()) << true << "21.5"
        << "" << 1;
    QTest::newRow("gzip over the cap once decoded")
        << QList{encoded("gzip", compressed(padded, 15 + 16))} << qint64(padded.size() - 1) << true << ""
        << "larger than " + QString::number(padded.size() - 1) + " bytes" << 1;
    QTest::newRow("gzip bomb") << QList{encoded("gzip", compressed(page + QByteArray(4 << 20, ' '), 15 + 16))}
                               << cap << true << ""
                               << "The answer was larger than 1 MiB" << 1;
    QTest::newRow("gzip cut short") << QList{encoded("gzip", gzip.first(gzip.size() - 6))} << cap << true
                                    << ""
                                    << "encoded (gzip) but could not be decoded" << 1;
    QTest::newRow("labelled gzip, not gzip") << QList{encoded("gzip", page)} << cap << true << ""
                                             << "encoded (gzip) but could not be decoded" << 1;
    QTest::newRow("300 not followed")
        << QList{answer("300 Multiple Choices\r\nLocation: /x", {})} << cap << true << ""
        << "Redirect refused (HTTP 300)" << 1;
}

void TestWebPageComponent::cannedAnswers()
{
    QFETCH(QList<QByteArray>, answers);
    QFETCH(qint64, maxBody);
    QFETCH(bool, gotAnswer);
    QFETCH(QString, value);
    QFETCH(QString, reasonText);
    QFETCH(int, requests);

    ScriptedServer server(closingEach(answers));
    QVERIFY(server.listen());
    WebPageComponent page;
    page.setMaxBodySize(maxBody);
    QSignalSpy completed(&page, &PageComponent::completed);
    page.Navigate(QStringLiteral("http://127.0.0.1:%1/page").arg(server.port()));
    QVERIFY(completed.wait(5000));
    QCOMPARE(completed.count(), 1);
    QCOMPARE(page.lastLoadGotAnswer(), gotAnswer);
    const std::optional<QString> reason = page.htmlDocument()->errorReason();
    if (value.isEmpty()) {
        QVERIFY(reason.has_value());
        QVERIFY2(reason->contains(reasonText), qPrintable(*reason));
        QCOMPARE(page.Document()->elementValue(TemperatureId), std::nullopt);
    } else {
        QVERIFY2(!reason.has_value(), qPrintable(reason.value_or(QString())));
        QCOMPARE(page.Document()->elementValue(TemperatureId), std::optional<QString>(value));
    }
    if (requests >= 0)
        QCOMPARE(server.requests(), requests);
}

// The adapter gets the sensor address as the table writes it, byte for byte: nothing re-encoded or
// decoded, the escapes' lower-case hex digits, the ROM code and the comma verbatim.
void TestWebPageComponent::requestLineKeepsTheAddressAsWritten()
{
    ScriptedServer server(closingEach({"HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"}));
    QVERIFY(server.listen());
    const QByteArray pathAndQuery = "/1Wire/ReadDS18B20.html?DS18B20Request=%7b9C000000B4A89828,12%7d";
    WebPageComponent page;
    QSignalSpy completed(&page, &PageComponent::completed);
    page.Navigate(QStringLiteral("http://127.0.0.1:%1").arg(server.port()) +
                  QString::fromLatin1(pathAndQuery));
    QVERIFY(completed.wait(5000));
    QCOMPARE(server.requestLines().size(), 1);
    QCOMPARE(server.requestLines().at(0),
             QByteArray("GET /1Wire/ReadDS18B20.html?DS18B20Request=%7b9C000000B4A89828,12%7d HTTP/1.1"));
}

// The whole request head: nothing the adapter could take for a proxy, cookie or cache request.
void TestWebPageComponent::requestHead_data()
{
    QTest::addColumn<QString>("address"); // %1: the port
    QTest::addColumn<QByteArray>("requestLine");

    QTest::newRow("path only") << "http://127.0.0.1:%1/page" << QByteArray("GET /page HTTP/1.1");
    QTest::newRow("no path") << "http://127.0.0.1:%1" << QByteArray("GET / HTTP/1.1");
    QTest::newRow("query without path")
        << "http://127.0.0.1:%1?a=%7b1%7d" << QByteArray("GET /?a=%7b1%7d HTTP/1.1");
    QTest::newRow("fragment left out")
        << "http://127.0.0.1:%1/p?q=1#part" << QByteArray("GET /p?q=1 HTTP/1.1");
    QTest::newRow("escapes and reserved characters kept")
        << "http://127.0.0.1:%1/a%2Fb;c=%41?x=%2b&y=/z" << QByteArray("GET /a%2Fb;c=%41?x=%2b&y=/z HTTP/1.1");
}

void TestWebPageComponent::requestHead()
{
    QFETCH(QString, address);
    QFETCH(QByteArray, requestLine);

    // The answer comes in pieces, its head split across reads, as from a slow adapter.
    ScriptedServer server({{ReadingAnswer, false, 4, 5}});
    QVERIFY(server.listen());
    WebPageComponent page;
    QSignalSpy completed(&page, &PageComponent::completed);
    page.Navigate(address.arg(server.port()));
    QVERIFY(completed.wait(5000));
    QVERIFY2(!page.htmlDocument()->errorReason(),
             qPrintable(page.htmlDocument()->errorReason().value_or(QString())));
    QCOMPARE(page.Document()->elementValue(TemperatureId), std::optional<QString>(QStringLiteral("21.5")));
    QCOMPARE(server.heads().size(), 1);
    const QByteArray expected = requestLine + "\r\nHost: 127.0.0.1:" + QByteArray::number(server.port()) +
                                "\r\nUser-Agent: Quorvel-3/1.0\r\nAccept-Encoding: identity\r\n"
                                "Connection: keep-alive\r\n\r\n";
    QCOMPARE(server.heads().at(0), expected);
}

void TestWebPageComponent::keepAlive_data()
{
    QTest::addColumn<QList<QByteArray>>("answers"); // an empty one: close without an answer
    QTest::addColumn<QList<int>>("closeAfter");     // answers after which the server closes
    // Per navigation: the reading, or "!" and a text the error reason contains.
    QTest::addColumn<QStringList>("results");
    QTest::addColumn<int>("connections");
    QTest::addColumn<int>("requests");

    const QByteArray close;
    const QByteArray partial = "HTTP/1.1 200 OK\r\nContent-Length: 500\r\n\r\n<INPUT";
    const QByteArray chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" +
                               QByteArray::number(ReadingPage.size(), 16) + ";x=1\r\n" + ReadingPage +
                               "\r\n0\r\nX-T: 1\r\n\r\n";
    const QByteArray closing =
        "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: " + QByteArray::number(ReadingPage.size()) +
        "\r\n\r\n" + ReadingPage;
    const QByteArray old = "HTTP/1.0 200 OK\r\nContent-Length: " + QByteArray::number(ReadingPage.size()) +
                           "\r\n\r\n" + ReadingPage;
    const QByteArray oldKept = "HTTP/1.0 200 OK\r\nConnection: keep-alive\r\nContent-Length: " +
                               QByteArray::number(ReadingPage.size()) + "\r\n\r\n" + ReadingPage;
    const QByteArray interim = "HTTP/1.1 100 Continue\r\n\r\n" + ReadingAnswer;
    const QByteArray notFound = "HTTP/1.1 404 Not Found\r\nContent-Length: 2\r\n\r\nno";
    const QString v = QStringLiteral("21.5");

    QTest::newRow("kept alive") << QList{ReadingAnswer} << QList<int>{} << QStringList{v, v, v} << 1 << 3;
    QTest::newRow("chunked, kept alive") << QList{chunked} << QList<int>{} << QStringList{v, v} << 1 << 2;
    QTest::newRow("interim answer, kept alive")
        << QList{interim} << QList<int>{} << QStringList{v, v} << 1 << 2;
    QTest::newRow("error status keeps the connection")
        << QList{notFound, ReadingAnswer} << QList<int>{} << QStringList{"!HTTP 404 Not Found", v} << 1 << 2;
    QTest::newRow("closed as the next request comes: retried once")
        << QList{ReadingAnswer, close, ReadingAnswer} << QList<int>{} << QStringList{v, v} << 2 << 3;
    QTest::newRow("closed on the retry too")
        << QList{ReadingAnswer, close, close} << QList<int>{}
        << QStringList{v, "!closed the connection without an answer"} << 2 << 3;
    QTest::newRow("closed after part of the answer: not retried")
        << QList{ReadingAnswer, partial} << QList<int>{1} << QStringList{v, "!before the page was complete"}
        << 1 << 2;
    QTest::newRow("idle connection closed by the server")
        << QList{ReadingAnswer} << QList<int>{0} << QStringList{v, v} << 2 << 2;
    QTest::newRow("answer asks to close")
        << QList{closing} << QList<int>{0, 1} << QStringList{v, v} << 2 << 2;
    QTest::newRow("HTTP/1.0 closes") << QList{old} << QList<int>{0, 1} << QStringList{v, v} << 2 << 2;
    QTest::newRow("HTTP/1.0 with keep-alive")
        << QList{oldKept} << QList<int>{} << QStringList{v, v} << 1 << 2;
}

// The next load goes over the connection of the last one, and a connection the server dropped in
// between costs the load nothing.
void TestWebPageComponent::keepAlive()
{
    QFETCH(QList<QByteArray>, answers);
    QFETCH(QList<int>, closeAfter);
    QFETCH(QStringList, results);
    QFETCH(int, connections);
    QFETCH(int, requests);

    ScriptedServer server(keptOpen(answers, closeAfter));
    QVERIFY(server.listen());
    WebPageComponent page;
    QSignalSpy completed(&page, &PageComponent::completed);
    for (qsizetype load = 0; load < results.size(); ++load) {
        page.Navigate(QStringLiteral("http://127.0.0.1:%1/page").arg(server.port()));
        QVERIFY(completed.wait(5000));
        QCOMPARE(completed.count(), load + 1);
        QCOMPARE(page.lastLoadGotAnswer(), !results.at(load).contains(u"without an answer"));
        const std::optional<QString> reason = page.htmlDocument()->errorReason();
        if (results.at(load).startsWith(u'!')) {
            QVERIFY(reason.has_value());
            QVERIFY2(reason->contains(results.at(load).mid(1)), qPrintable(*reason));
        } else {
            QVERIFY2(!reason, qPrintable(reason.value_or(QString())));
            QCOMPARE(page.Document()->elementValue(TemperatureId), std::optional<QString>(results.at(load)));
        }
        // Time for the server's close of an idle connection to arrive, as it would between sweeps.
        if (closeAfter.contains(int(server.requests()) - 1))
            QTRY_COMPARE(server.openConnections(), 0);
    }
    QCOMPARE(server.connections(), connections);
    QCOMPARE(server.requests(), requests);
}

// One connection at a time: a load from another adapter closes the kept-alive one first.
void TestWebPageComponent::otherAdapterClosesTheConnection()
{
    ScriptedServer first(keptOpen({ReadingAnswer}));
    ScriptedServer second(keptOpen({ReadingAnswer}));
    QVERIFY(first.listen());
    QVERIFY(second.listen());
    WebPageComponent page;
    QSignalSpy completed(&page, &PageComponent::completed);
    for (const ScriptedServer* server : {&first, &second, &first}) {
        page.Navigate(QStringLiteral("http://127.0.0.1:%1/page").arg(server->port()));
        QVERIFY(completed.wait(5000));
        QCOMPARE(page.Document()->elementValue(TemperatureId),
                 std::optional<QString>(QStringLiteral("21.5")));
        QTRY_COMPARE(first.openConnections() + second.openConnections(), 1);
    }
    QCOMPARE(first.connections(), 2);
    QCOMPARE(second.connections(), 1);
}

// The adapter serves plain HTTP only; no other scheme is tried. (malformedUrl checks how such a load ends.)
void TestWebPageComponent::unsupportedScheme()
{
    for (const char* url : {"https://127.0.0.1:1/x", "HTTPS://127.0.0.1/x", "ftp://127.0.0.1/x"}) {
        WebPageComponent page;
        QSignalSpy completed(&page, &PageComponent::completed);
        page.Navigate(QString::fromLatin1(url));
        QVERIFY2(completed.wait(20000), url);
        QCOMPARE(page.htmlDocument()->errorReason(),
                 std::optional<QString>(QStringLiteral("Unsupported address scheme")));
    }
}

void TestWebPageComponent::failureInsideOurOwnCall_data()
{
    QTest::addColumn<FailingSocket::Where>("where");
    QTest::addColumn<int>("failingSocket");
    QTest::addColumn<int>("atWrite");
    QTest::addColumn<QStringList>("results");
    QTest::addColumn<int>("connections");

    using W = FailingSocket::Where;
    const QString v = QStringLiteral("21.5");
    QTest::newRow("unreachable inside connect, then the network returns")
        << W::Connect << 1 << 0 << QStringList{"!Network is unreachable", v} << 1;
    QTest::newRow("unreachable inside connect on every load")
        << W::Connect << 0 << 0 << QStringList{"!Network is unreachable", "!Network is unreachable"} << 0;
    QTest::newRow("error inside the first write")
        << W::Write << 1 << 1 << QStringList{"!Broken pipe", v} << 2;
    QTest::newRow("closed inside the first write")
        << W::CloseInWrite << 1 << 1 << QStringList{"!without an answer", v} << 2;
    QTest::newRow("kept-alive connection fails inside the next write: retried once")
        << W::Write << 1 << 2 << QStringList{v, v} << 2;
    QTest::newRow("kept-alive connection closed inside the next write: retried once")
        << W::CloseInWrite << 1 << 2 << QStringList{v, v} << 2;
}

// Each load ends in exactly one completion, after Navigate returned, also when the socket signals its
// failure from inside our own call; the next load works on a fresh connection.
void TestWebPageComponent::failureInsideOurOwnCall()
{
    QFETCH(FailingSocket::Where, where);
    QFETCH(int, failingSocket); // 0: every socket
    QFETCH(int, atWrite);
    QFETCH(QStringList, results);
    QFETCH(int, connections);

    ScriptedServer server(keptOpen({ReadingAnswer}));
    QVERIFY(server.listen());
    WebPageComponent page;
    int made = 0;
    page.setSocketFactory([&](QObject* parent) -> QTcpSocket* {
        ++made;
        const bool fails = failingSocket == 0 || made == failingSocket;
        return new FailingSocket(fails ? where : FailingSocket::Where::Nowhere, atWrite, parent);
    });
    QSignalSpy completed(&page, &PageComponent::completed);
    for (qsizetype load = 0; load < results.size(); ++load) {
        page.Navigate(QStringLiteral("http://127.0.0.1:%1/page").arg(server.port()));
        QCOMPARE(completed.count(), load);
        QVERIFY(completed.wait(5000));
        QCOMPARE(completed.count(), load + 1);
        const std::optional<QString> reason = page.htmlDocument()->errorReason();
        if (results.at(load).startsWith(u'!')) {
            QVERIFY2(reason && reason->contains(results.at(load).mid(1)),
                     qPrintable(reason.value_or("(none)")));
            QVERIFY(!page.lastLoadGotAnswer());
            QVERIFY(page.Document()->displayHtml().contains(QStringLiteral("The page cannot be displayed")));
        } else {
            QVERIFY2(!reason, qPrintable(reason.value_or(QString())));
            QCOMPARE(page.Document()->elementValue(TemperatureId), std::optional<QString>(results.at(load)));
        }
    }
    // Nothing more arrives late from a failed connection.
    QVERIFY(!completed.wait(200));
    QCOMPARE(completed.count(), results.size());
    QCOMPARE(server.connections(), connections);
}

void TestWebPageComponent::malformedUrl_data()
{
    QTest::addColumn<QString>("url");
    QTest::newRow("empty") << QString();
    QTest::newRow("blank") << QStringLiteral("  ");
    QTest::newRow("no scheme") << QStringLiteral("not a url");
    QTest::newRow("no host") << QStringLiteral("http://");
    QTest::newRow("bad port") << QStringLiteral("http://127.0.0.1:99999/x");
    QTest::newRow("bad characters") << QStringLiteral("http://127.0.0.1/%zz");
    QTest::newRow("other scheme") << QStringLiteral("ftp://127.0.0.1/x");
    QTest::newRow("local file") << QStringLiteral("file:///etc/hostname");
}

void TestWebPageComponent::malformedUrl()
{
    QFETCH(QString, url);

    WebPageComponent page;
    QSignalSpy completed(&page, &PageComponent::completed);
    page.Navigate(url);
    QCOMPARE(completed.count(), 0);
    QCOMPARE(page.ReadyState(), int(PageComponent::Loading));
    QVERIFY(completed.wait(20000));
    QCOMPARE(completed.count(), 1);
    QCOMPARE(page.ReadyState(), int(PageComponent::Complete));
    QVERIFY(!page.lastLoadGotAnswer());
    QVERIFY(page.htmlDocument()->errorReason().has_value());
    QCOMPARE(page.Document()->elementValue(TemperatureId), std::nullopt);
}

QTEST_GUILESS_MAIN(TestWebPageComponent)
#include "tst_webpagecomponent.moc"
