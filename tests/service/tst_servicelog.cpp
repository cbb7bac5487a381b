#include "programfixture.h"
#include "scratchdir.h"
#include "servicefixture.h"

#include "logfile/logrecorder.h"
#include "logfile/logsession.h"
#include "service/app/serviceoptions.h"
#include "service/app/serviceprogram.h"
#include "service/outputs/journal/servicelog.h"
#include "service/state/statestore.h"

#include <QDir>
#include <QElapsedTimer>
#include <QTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

using namespace quorvel;
using namespace quorvel::acquisition;
using namespace quorvel::testing;

class TestServiceLog : public QObject {
    Q_OBJECT

private slots:
    void init() { dir_ = scratchDir(QStringLiteral("servicelog")); }
    void logFailuresToldOnce();
    void logQueueKeepsOrder_data();
    void logQueueKeepsOrder();
    void sweepsWriteTheWindowsLines_data();
    void sweepsWriteTheWindowsLines();

private:
    std::unique_ptr<QTemporaryDir> dir_;
};

// Each trouble is told when it begins and once more when it ends, never once a sweep.
void TestServiceLog::logFailuresToldOnce()
{
    const QString folder = dir_->filePath(QStringLiteral("logs"));
    QVERIFY(QDir().mkpath(folder));
    const QString path = folder + QStringLiteral("/sweep.log");
    QStringList told;
    service::ServiceLog log(path, false, QLocale::c(), [&](const QString& line) { told << line; });
    QList<service::LogOutcome> outcomes;
    connect(&log, &service::ServiceLog::recorded, this,
            [&outcomes](const service::LogOutcome& outcome) { outcomes << outcome; });
    QCOMPARE(log.open(), std::nullopt);
    const SensorReadings readings(SensorCount, 20.0f);
    // Written on the log's thread: what came of the record arrives on the loop.
    const auto write = [&] {
        const qsizetype before = outcomes.size();
        log.write(readings, QDateTime::currentDateTime());
        return QTest::qWaitFor([&] { return outcomes.size() > before; }, 5000) && outcomes.last().written;
    };
    QVERIFY(write());

    QVERIFY(QFile::remove(path));
    QVERIFY(write());
    QCOMPARE(told, QStringList{"the log file was moved or deleted; a new one was started: " + path});
    QCOMPARE(recordCount(path), 1);

    QVERIFY(QDir(folder).removeRecursively());
    log.reopen();
    QVERIFY(!write());
    QVERIFY(!write());
    QCOMPARE(told.size(), 3);
    QVERIFY2(told.at(1).startsWith(QLatin1String("cannot reopen the log: ")), qPrintable(told.at(1)));
    QVERIFY2(told.at(2).startsWith(QLatin1String("cannot write the log; retrying at each sweep: ")),
             qPrintable(told.at(2)));
    QCOMPARE(outcomes.at(outcomes.size() - 1).lost + outcomes.at(outcomes.size() - 2).lost, qint64(2));

    QVERIFY(QDir().mkpath(folder));
    QVERIFY(write());
    QCOMPARE(told.size(), 4);
    QVERIFY2(told.at(3).startsWith(QLatin1String("the log is written again")), qPrintable(told.at(3)));
    QCOMPARE(recordCount(path), 1);
}

void TestServiceLog::logQueueKeepsOrder_data()
{
    QTest::addColumn<bool>("stopWhileHeld");
    QTest::newRow("reader comes back") << false;
    QTest::newRow("stop while held") << true;
}

// A log whose writes do not return (a pipe nobody reads): the records queue in order up to the bound, the
// rest are counted lost and told once; a stop waits no longer than its deadline and counts what is left.
void TestServiceLog::logQueueKeepsOrder()
{
    QFETCH(bool, stopWhileHeld);
    std::signal(SIGPIPE, SIG_IGN);
    const QString fifo = dir_->filePath(QStringLiteral("out"));
    QVERIFY(::mkfifo(QFile::encodeName(fifo).constData(), 0600) == 0);
    const int reader = ::open(QFile::encodeName(fifo).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    QVERIFY(reader >= 0);
    QByteArray read;
    QStringList told;
    qint64 written = 0, lost = 0;
    const int handed = 3000; // well past what the pipe and the queue hold
    {
        // The pipe as standard output, taken at the open.
        service::ServiceLog log(QStringLiteral("/dev/stdout"), true, QLocale::c(),
                                [&](const QString& line) { told << line; });
        connect(&log, &service::ServiceLog::recorded, this, [&](const service::LogOutcome& outcome) {
            written += outcome.written;
            lost += outcome.lost;
        });
        const int saved = ::dup(STDOUT_FILENO);
        const int writer = ::open(QFile::encodeName(fifo).constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        const bool swapped = ::fcntl(writer, F_SETFL, O_WRONLY) == 0 && ::dup2(writer, STDOUT_FILENO) >= 0;
        const bool opened = swapped && !log.open();
        ::dup2(saved, STDOUT_FILENO);
        ::close(saved);
        ::close(writer);
        QVERIFY(opened);
        for (int i = 0; i < handed; ++i)
            log.write(SensorReadings(SensorCount, float(i)), QDateTime::currentDateTime());
        QCOMPARE(told.filter(QStringLiteral("the log takes no more records")).size(), 1);
        if (stopWhileHeld) {
            QElapsedTimer stopping;
            stopping.start();
            log.close();
            log.finish(QDeadlineTimer(200));
            QVERIFY2(stopping.elapsed() < 5000, qPrintable(QString::number(stopping.elapsed())));
            QCOMPARE(told.filter(QStringLiteral("lost at the stop")).size(), 1);
            QCOMPARE(written + lost, qint64(handed));
        }
        QVERIFY(QTest::qWaitFor(
            [&] {
                readInto(reader, read);
                return stopWhileHeld ? read.count("\r\n") >= written : written + lost == handed;
            },
            20000));
    }
    readInto(reader, read);
    ::close(reader);
    // Whatever reached the pipe is whole and in the order handed in, from the first record on.
    const QList<QByteArray> lines = records(read);
    QVERIFY(lines.size() >= written && lines.size() <= written + 1);
    float previous = -1;
    for (const QByteArray& line : lines) {
        const auto record = parseLogRecord(QString::fromLocal8Bit(line), QLocale::c());
        QVERIFY2(record && record->readings.value(0) > previous &&
                     (previous >= 0 || record->readings.value(0) == 0),
                 line.constData());
        previous = record->readings.value(0);
    }
    if (!stopWhileHeld) {
        QCOMPARE(written + lost, qint64(handed));
        QCOMPARE(told.filter(QStringLiteral("the log takes records again")).size(), 1);
    }
}

void TestServiceLog::sweepsWriteTheWindowsLines_data()
{
    QTest::addColumn<QString>("locale");
    QTest::newRow("C") << QStringLiteral("C");
    QTest::newRow("de_DE") << QStringLiteral("de_DE");
}

// The same readings through the window's recorder give the same bytes.
void TestServiceLog::sweepsWriteTheWindowsLines()
{
    QFETCH(QString, locale);
    const QString path = dir_->filePath(QStringLiteral("sweep.log"));
    Program service(logOptions(path, 3, QLocale(locale)));
    for (int slot = 0; slot < SensorCount; ++slot)
        service.page.answers.insert(romOf(slot), {QString::number(slot * 1.5 - 4.0625)});
    QVERIFY(service.run());

    const QList<QByteArray> lines = records(readAll(path));
    QCOMPARE(lines.size(), 3);
    for (const QByteArray& line : lines) {
        const auto record = parseLogRecord(QString::fromLocal8Bit(line), QLocale(locale));
        QVERIFY2(record, line.constData());
        for (int slot = 0; slot < SensorCount; ++slot)
            QCOMPARE(record->readings[slot], float(slot * 1.5 - 4.0625));
        const QString windowFile = dir_->filePath(QStringLiteral("window.log"));
        QFile::remove(windowFile);
        LogSession session;
        QVERIFY(!session.open(windowFile));
        LogRecorder window(session, QLocale(locale), [when = record->when] { return when; });
        QVERIFY(!window.writeRecord(record->readings));
        session.close();
        QCOMPARE(readAll(windowFile), line);
    }
}

QTEST_GUILESS_MAIN(TestServiceLog)
#include "tst_servicelog.moc"
