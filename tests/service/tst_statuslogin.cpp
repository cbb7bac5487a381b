#include "programfixture.h"
#include "scratchdir.h"
#include "servicefixture.h"

#include "service/http/basicauth.h"
#include "service/http/webconfig.h"
#include "service/outputs/web/servicemetrics.h"
#include "service/outputs/web/statusserver.h"
#include "service/state/statestore.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
#include <QProcess>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTest>

#include <crypt.h>

using namespace quorvel;
using namespace quorvel::acquisition;
using namespace quorvel::testing;

class TestStatusLogin : public QObject {
    Q_OBJECT

private slots:
    void init() { dir_ = scratchDir(QStringLiteral("statuslogin")); }
    void listenerAsksForTheLogin_data();
    void listenerAsksForTheLogin();

private:
    std::unique_ptr<QTemporaryDir> dir_;
};

void TestStatusLogin::listenerAsksForTheLogin_data()
{
    QTest::addColumn<bool>("tls");
    QTest::addColumn<QByteArray>("login"); // user:password; empty: none sent
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("strangers"); // 0: none; 1: they guess after the login was taken once; 2: before
    for (const bool tls : {false, true}) {
        const char* over = tls ? "TLS" : "plain";
        QTest::addRow("%s, no login", over) << tls << QByteArray() << 401 << 0;
        QTest::addRow("%s, right password", over) << tls << QByteArray("scraper:s3cret") << 200 << 0;
        QTest::addRow("%s, wrong password", over) << tls << QByteArray("scraper:guess") << 401 << 0;
        QTest::addRow("%s, unknown user", over) << tls << QByteArray("nobody:s3cret") << 401 << 0;
    }
    QTest::newRow("right password, a NUL and more")
        << false << QByteArray("scraper:s3cret\0more", 19) << 401 << 0;
    QTest::newRow("right password again while strangers guess")
        << false << QByteArray("scraper:s3cret") << 200 << 1;
    QTest::newRow("a first login while strangers fill the queue of checks")
        << false << QByteArray("scraper:s3cret") << 200 << 2;
}

// The web configuration's TLS and users, as a scraper meets them; bcrypt made here at its lowest cost.
// Strangers guess from 127.0.0.2 and .3: unknown users enough to fill the memory of wrong headers, and
// wrong passwords on every connection the listener takes, so that the checks queue up.
void TestStatusLogin::listenerAsksForTheLogin()
{
    QFETCH(bool, tls);
    QFETCH(QByteArray, login);
    QFETCH(int, status);
    QFETCH(int, strangers);
    const QByteArray hash = crypt("s3cret", "$2b$10$abcdefghijklmnopqrstuu");
    QByteArray yaml = "basic_auth_users:\n  scraper: " + hash + '\n';
    if (tls) {
        QProcess openssl;
        openssl.setWorkingDirectory(dir_->path());
        openssl.start(QStringLiteral("openssl"),
                      {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                       "-keyout", "key.pem", "-out", "cert.pem", "-days", "1", "-subj", "/CN=127.0.0.1"});
        if (!openssl.waitForFinished(30000) || openssl.exitCode() != 0)
            QSKIP("openssl cannot make a certificate here");
        yaml += "tls_server_config:\n  cert_file: cert.pem\n  key_file: key.pem\n";
    }
    QVERIFY(writeFile(dir_->filePath(QStringLiteral("web.yml")), yaml));
    const service::WebConfigResult config = service::readWebConfig(dir_->filePath(QStringLiteral("web.yml")));
    QVERIFY2(config.config, qPrintable(config.error));
    service::StateStore store(300, true);
    store.addSource(Source, Kind, Adapter, builtInSensors(), {});
    const service::ServiceMetrics metrics(store, QStringLiteral("1.0.0"));
    auto server = std::make_unique<service::StatusServer>(store, metrics);
    QCOMPARE(server->configure(*config.config), std::nullopt);
    const auto bound = server->listenOn({QHostAddress::LocalHost, 0});
    QVERIFY2(bound.port, qPrintable(bound.error));

    QNetworkAccessManager network;
    QNetworkRequest request(QUrl(QStringLiteral("%1://127.0.0.1:%2/readings.json")
                                     .arg(tls ? QStringLiteral("https") : QStringLiteral("http"))
                                     .arg(bound.port)));
    if (!login.isEmpty())
        request.setRawHeader("Authorization", "Basic " + login.toBase64());
    const auto ask = [&] {
        QNetworkReply* reply = network.get(request);
        connect(reply, &QNetworkReply::sslErrors, reply, [reply] { reply->ignoreSslErrors(); });
        connect(reply, &QNetworkReply::finished, reply, &QObject::deleteLater);
        return reply;
    };
    if (strangers == 1) {
        QPointer<QNetworkReply> first = ask();
        QTRY_VERIFY_WITH_TIMEOUT(!first, 10000);
    }
    std::vector<std::unique_ptr<QTcpSocket>> guessers;
    const auto guess = [&](int from, const QByteArray& requests) {
        auto& socket = guessers.emplace_back(std::make_unique<QTcpSocket>());
        QVERIFY(socket->bind(QHostAddress(QStringLiteral("127.0.0.%1").arg(from))));
        socket->connectToHost(QHostAddress::LocalHost, bound.port);
        socket->write(requests);
    };
    const auto asking = [](const QByteArray& credentials) {
        return "GET /metrics HTTP/1.1\r\nAuthorization: Basic " + credentials.toBase64() + "\r\n\r\n";
    };
    if (strangers > 0) {
        QByteArray unknown;
        for (int i = 0; i < 2 * service::BasicAuth::CachedHeaders; ++i)
            unknown += asking("nobody" + QByteArray::number(i) + ":guess");
        guess(2, unknown);
        QTRY_COMPARE_WITH_TIMEOUT(guessers.back()->peek(1 << 20).count(" 401 "),
                                  2 * service::BasicAuth::CachedHeaders, 10000);
        guessers.clear();
        for (int i = 0; i < service::BasicAuth::QueuedChecks; ++i)
            guess(2 + i % 2, asking("scraper:guess" + QByteArray::number(i)));
        for (const auto& socket : guessers)
            QVERIFY(socket->waitForBytesWritten(5000));
    }
    QNetworkReply* reply = ask();
    QSignalSpy done(reply, &QNetworkReply::finished);
    QVERIFY(reply->isFinished() || done.wait(10000));
    QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), status);
    QCOMPARE(reply->rawHeader("X-Content-Type-Options"), QByteArray("nosniff"));
    if (status == 401)
        QVERIFY(reply->rawHeader("WWW-Authenticate").startsWith("Basic realm="));
    else
        QVERIFY(QJsonDocument::fromJson(reply->readAll()).isObject());
    if (strangers > 0) {
        // Strangers' checks still queued or running hold nothing up at exit: not one bcrypt round.
        QElapsedTimer stopping;
        stopping.start();
        server.reset();
        const qint64 stopMs = stopping.elapsed();
        QElapsedTimer round;
        round.start();
        QVERIFY(service::BasicAuth::matches("s3cret", hash));
        QVERIFY2(stopMs < round.elapsed(), qPrintable(QString::number(stopMs)));
    }
}

QTEST_GUILESS_MAIN(TestStatusLogin)
#include "tst_statuslogin.moc"
