#include "owserverframes.h"

#include <QtTest>

using namespace quorvel::acquisition;
using namespace quorvel::testing::owserverframes;

class TestOwserverProtocol : public QObject {
    Q_OBJECT
private slots:
    // Whole and byte by byte, a reply decodes the same; bytes past it are not taken.
    void decodesReplies_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("state");
        QTest::addColumn<qsizetype>("used");
        QTest::addColumn<int>("ret");
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<int>("keepAlives");
        QTest::addColumn<QString>("failure");
        const int complete = int(ReplyDecoder::State::Complete);
        const int failed = int(ReplyDecoder::State::Failed);
        const int reading = int(ReplyDecoder::State::Reading);
        const QByteArray four = value("           4");
        QTest::newRow("after keep-alives") << KeepAlive + KeepAlive + four << complete << 2 * 24 + four.size()
                                           << 12 << QByteArray("           4") << 2 << QString();
        QTest::newRow("more after the reply")
            << four + four << complete << four.size() << 12 << QByteArray("           4") << 0 << QString();
        QTest::newRow("data shorter than the payload")
            << header(51, 0, RequestFlags, 50) + QByteArray(50, 'x') + '\0' << complete << qsizetype(24 + 51)
            << 0 << QByteArray(50, 'x') << 0 << QString();
        QTest::newRow("cut short") << four.left(30) << reading << qsizetype(30) << 12 << QByteArray() << 0
                                   << QString();
        QTest::newRow("only keep-alives")
            << KeepAlive + KeepAlive << reading << qsizetype(48) << 0 << QByteArray() << 2 << QString();
        QTest::newRow("negative payload") << header(-7, 0, 0) << failed << qsizetype(24) << 0 << QByteArray()
                                          << 0 << QString("payload length -7");
        QTest::newRow("a write's reply") << header(0, 0, RequestFlags, 1) << complete << qsizetype(24) << 0
                                         << QByteArray() << 0 << QString();
        QTest::newRow("negative size") << header(2, 2, 0, -3) + "12" << failed << qsizetype(24) << 2
                                       << QByteArray() << 0 << QString("(size -3)");
    }
    void decodesReplies()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(int, state);
        QFETCH(qsizetype, used);
        QFETCH(int, ret);
        QFETCH(QByteArray, data);
        QFETCH(int, keepAlives);
        QFETCH(QString, failure);
        for (const bool bytewise : {false, true}) {
            ReplyDecoder decoder;
            qsizetype taken = 0;
            if (bytewise) {
                for (qsizetype i = 0; i < bytes.size() && decoder.state() == ReplyDecoder::State::Reading;
                     ++i)
                    taken += decoder.feed(QByteArrayView(bytes).sliced(i, 1));
            } else {
                taken = decoder.feed(bytes);
            }
            QCOMPARE(int(decoder.state()), state);
            QCOMPARE(taken, used);
            QCOMPARE(decoder.keepAlives(), keepAlives);
            QVERIFY(decoder.started());
            if (state == int(ReplyDecoder::State::Complete)) {
                QCOMPARE(decoder.reply().ret, ret);
                QCOMPARE(decoder.reply().data, data);
                QVERIFY(decoder.reply().persistent());
            }
            if (!failure.isEmpty())
                QVERIFY2(decoder.failure().contains(failure), qPrintable(decoder.failure()));
        }
    }
};

QTEST_GUILESS_MAIN(TestOwserverProtocol)
#include "tst_owserverprotocol.moc"
