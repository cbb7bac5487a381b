#include "fakes.h"
#include "manualtimer.h"

#include "acquisition/acquisitioncycle.h"
#include "runtime/modaltracker.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>
#include <QThread>

using namespace quorvel::acquisition;
using namespace quorvel::testing;
using quorvel::runtime::ModalTracker;

Q_DECLARE_METATYPE(std::optional<SensorAnswer>)
Q_DECLARE_METATYPE(PlausibilityBounds)

namespace {

const QString Address = QStringLiteral("127.0.0.1:8080");

QString urlOf(int slot)
{
    return sensorUrl(Address, RomCodes[slot]);
}

// Runs what the event loop has queued, and what that queues in turn, without waiting: for checks that
// something did not happen.
void drainEvents()
{
    for (int round = 0; round < 5; ++round)
        QCoreApplication::processEvents();
}

// The cycle's timer that starts each next slot: the pause after no answer holds until the test fires it.
ManualTimer* manualTimer(AcquisitionCycle& cycle)
{
    auto timer = std::make_unique<ManualTimer>();
    ManualTimer* next = timer.get();
    cycle.setTimer(std::move(timer));
    return next;
}

// Holds the cycle while a modal box is open, as the window does.
void holdWhileModal(AcquisitionCycle& cycle)
{
    ModalTracker::instance().holdWhileOpen(
        &cycle, [&cycle] { cycle.hold(); }, [&cycle] { cycle.resume(); });
}

struct Rig {
    FakePage page;
    AdapterReader reader{page};
    RecordingDisplay display;
    RecordingRecorder recorder;
    AcquisitionCycle cycle{reader, &recorder};
    ManualTimer* next = manualTimer(cycle);

    Rig()
    {
        display.listen(cycle, &reader);
        holdWhileModal(cycle);
    }

    bool runSweeps(int n)
    {
        QSignalSpy spy(&cycle, &AcquisitionCycle::sweepCompleted);
        while (spy.count() < n)
            if (!spy.wait(5000))
                return false;
        return true;
    }
};

} // namespace

class tst_AcquisitionCycle : public QObject {
    Q_OBJECT
private slots:
    void sweepsInSlotOrderForEver();
    void windowShownOnlyAfterFirstPage();
    void addressListGrowsBySweep();
    void failedReadKeepsPreviousValue_data();
    void failedReadKeepsPreviousValue();
    void neverReadSlotShowsZero();
    void emptySlotIsSkipped();
    void recordsAtEndOfSweepWhileLogging();
    void loggingSwitchedOnMidSweepRecordsThatSweep();
    void logWriteFailureIsShownUntilNextRecord();
    void recordNumberSticksAtMaximum();
    void holdsWhileModalBoxIsOpen();
    void holdsBeforeNextRequestWhileModalBoxIsOpen();
    void boxOpenedRightAfterAnotherKeepsTheHold();
    void pausesOnlyAfterRequestWithoutAnswer();
    void noAnswerPauseIsOneSecond();
    void readerSweepWithoutNumberPauses_data();
    void readerSweepWithoutNumberPauses();
    void sweepIntervalPacesTheStarts_data();
    void sweepIntervalPacesTheStarts();
    void stopEndsTheCycle();
    void readerThatNeverAnswers();
    void eventsTellEachReadAndSweep_data();
    void eventsTellEachReadAndSweep();
    void implausibleReadsAreHeldBack_data();
    void implausibleReadsAreHeldBack();
};

void tst_AcquisitionCycle::sweepsInSlotOrderForEver()
{
    Rig rig;
    rig.cycle.start(Address);
    QVERIFY(rig.runSweeps(2));
    QVERIFY(rig.page.navigations.size() >= 26);
    for (int n = 0; n < 26; ++n)
        QCOMPARE(rig.page.navigations.at(n), urlOf(n % SensorCount));
    QCOMPARE(rig.display.events.at(0), QStringLiteral("address ") + urlOf(0));
}

void tst_AcquisitionCycle::windowShownOnlyAfterFirstPage()
{
    Rig rig;
    rig.page.autoComplete = false;
    rig.cycle.start(Address);
    QCOMPARE(rig.page.navigations.size(), 1);
    QVERIFY(!rig.display.visible);
    rig.page.complete({QStringLiteral("21.5"), true});
    QVERIFY(rig.display.visible);
    const QStringList expected{QStringLiteral("address ") + urlOf(0), QStringLiteral("shown"),
                               QStringLiteral("sensor 1")};
    QCOMPARE(rig.display.events.mid(0, 3), expected);
    QCOMPARE(rig.display.temperature, QStringLiteral("21.5"));
    QCOMPARE(rig.display.pagesShown, 1);
}

void tst_AcquisitionCycle::addressListGrowsBySweep()
{
    Rig rig;
    // Counted as each sweep ends: afterwards the next sweep's first address may already be in.
    QList<int> countAtSweepEnd;
    connect(&rig.cycle, &AcquisitionCycle::sweepCompleted, &rig.cycle,
            [&] { countAtSweepEnd.append(rig.display.addressCount()); });
    rig.cycle.start(Address);
    QVERIFY(rig.runSweeps(2));
    QCOMPARE(countAtSweepEnd.mid(0, 2), (QList<int>{13, 26}));
    for (int n = 0; n < 26; ++n)
        QCOMPARE(rig.display.addressList.at(n), urlOf(n % SensorCount));

    // Each text told is the one asked for.
    QVERIFY(rig.runSweeps(3));
    QCOMPARE(rig.display.addressList, rig.page.navigations);
}

void tst_AcquisitionCycle::failedReadKeepsPreviousValue_data()
{
    QTest::addColumn<bool>("elementPresent");
    QTest::addColumn<QString>("badValue");
    QTest::newRow("element missing") << false << QString();
    QTest::newRow("dashes") << true << "----";
    QTest::newRow("empty") << true << "";
    QTest::newRow("text") << true << "error";
    QTest::newRow("beyond single") << true << "1e39";
}

void tst_AcquisitionCycle::failedReadKeepsPreviousValue()
{
    QFETCH(bool, elementPresent);
    QFETCH(QString, badValue);
    Rig rig;
    rig.page.answers.insert(QString::fromLatin1(RomCodes[4].data(), 16), {QStringLiteral("-10.125"), true});
    rig.recorder.active = true;
    rig.cycle.start(Address);
    QVERIFY(rig.runSweeps(1));
    QCOMPARE(rig.cycle.table().Readings[4], -10.125f);

    FakePage::Answer bad;
    if (elementPresent)
        bad.temperature = badValue;
    rig.page.answers.insert(QString::fromLatin1(RomCodes[4].data(), 16), bad);
    QVERIFY(rig.runSweeps(2));
    QCOMPARE(rig.cycle.table().Readings[4], -10.125f);
    // The record of a sweep with a failed read carries the previous value.
    QVERIFY(rig.recorder.records.size() >= 2);
    QCOMPARE(rig.recorder.records.back()[4], -10.125f);
    QCOMPARE(rig.recorder.records.back()[3], 20.5f);
    QVERIFY(rig.display.temperatures.contains(QStringLiteral("-10.125")));
}

void tst_AcquisitionCycle::neverReadSlotShowsZero()
{
    Rig rig;
    rig.page.defaultAnswer = {std::nullopt, false};
    rig.cycle.setNoAnswerPauseMs(0);
    rig.cycle.start(Address);
    QVERIFY(rig.runSweeps(1));
    QVERIFY(rig.display.visible);
    for (int i = 0; i < SensorCount; ++i)
        QCOMPARE(rig.cycle.table().Readings[i], 0.0f);
    QCOMPARE(rig.display.temperatures.mid(0, 13), QStringList(13, QStringLiteral("0")));
}

void tst_AcquisitionCycle::emptySlotIsSkipped()
{
    Rig rig;
    rig.page.autoComplete = false;
    rig.cycle.start(Address);
    rig.cycle.table().SensorUrls[4].clear();
    rig.page.autoComplete = true;
    rig.page.complete({QStringLiteral("20"), true});
    QVERIFY(rig.runSweeps(1));
    QCOMPARE(rig.page.navigations.size() >= 12, true);
    QCOMPARE(rig.page.navigations.at(3), urlOf(3));
    QCOMPARE(rig.page.navigations.at(4), urlOf(5));
    QVERIFY(!rig.display.events.contains(QStringLiteral("sensor 5")));
    QVERIFY(rig.display.events.contains(QStringLiteral("sensor 6")));
}

void tst_AcquisitionCycle::recordsAtEndOfSweepWhileLogging()
{
    Rig rig;
    rig.page.autoComplete = false;
    rig.recorder.active = true;
    rig.cycle.start(Address);
    for (int i = 0; i < 12; ++i)
        rig.page.complete({QString::number(i), true}), QCoreApplication::processEvents();
    QVERIFY(rig.recorder.records.empty());
    QCOMPARE(rig.display.recordNumber, QString());
    rig.page.complete({QStringLiteral("12"), true});
    QCOMPARE(rig.recorder.records.size(), size_t(1));
    for (int i = 0; i < SensorCount; ++i)
        QCOMPARE(rig.recorder.records[0][i], static_cast<float>(i));
    // The number shown is the one of the record just written.
    QCOMPARE(rig.display.recordNumber, QStringLiteral("1"));
    QCOMPARE(rig.cycle.RecordNumber(), std::int16_t(2));
}

void tst_AcquisitionCycle::loggingSwitchedOnMidSweepRecordsThatSweep()
{
    Rig rig;
    rig.page.autoComplete = false;
    rig.cycle.start(Address);
    for (int i = 0; i < 7; ++i)
        rig.page.complete({QStringLiteral("1"), true}), QCoreApplication::processEvents();
    rig.recorder.active = true;
    for (int i = 7; i < 13; ++i)
        rig.page.complete({QStringLiteral("1"), true}), QCoreApplication::processEvents();
    QCOMPARE(rig.recorder.records.size(), size_t(1));
    // Switched off during the next sweep: nothing at its end.
    for (int i = 0; i < 6; ++i)
        rig.page.complete({QStringLiteral("1"), true}), QCoreApplication::processEvents();
    rig.recorder.active = false;
    for (int i = 6; i < 13; ++i)
        rig.page.complete({QStringLiteral("1"), true}), QCoreApplication::processEvents();
    QCOMPARE(rig.recorder.records.size(), size_t(1));
}

void tst_AcquisitionCycle::logWriteFailureIsShownUntilNextRecord()
{
    Rig rig;
    rig.recorder.active = true;
    rig.recorder.failWith = quorvel::runtime::Failure{QStringLiteral("No space left on device")};
    rig.cycle.start(Address);
    QVERIFY(rig.runSweeps(1));
    QCOMPARE(rig.display.logError, QStringLiteral("No space left on device"));
    // The counter moves on even when the write failed.
    QCOMPARE(rig.display.recordNumber, QStringLiteral("1"));
    rig.recorder.failWith.reset();
    QVERIFY(rig.runSweeps(1));
    QCOMPARE(rig.display.logError, QString());
    QCOMPARE(rig.display.recordNumber, QStringLiteral("2"));
    // The recorder's notice of the logging period outlasts the write: shown instead of the failure.
    rig.recorder.failWith = quorvel::runtime::Failure{QStringLiteral("No space left on device")};
    rig.recorder.noticeText = QStringLiteral("3 records could not be written since 11:54:53");
    QVERIFY(rig.runSweeps(1));
    QCOMPARE(rig.display.logError, rig.recorder.noticeText);
    rig.recorder.failWith.reset();
    QVERIFY(rig.runSweeps(1));
    QCOMPARE(rig.display.logError, rig.recorder.noticeText);
}

void tst_AcquisitionCycle::recordNumberSticksAtMaximum()
{
    Rig rig;
    rig.recorder.active = true;
    rig.cycle.start(Address);
    QVERIFY(rig.runSweeps(32766));
    QCOMPARE(rig.display.recordNumber, QStringLiteral("32766"));
    QVERIFY(rig.runSweeps(1));
    QCOMPARE(rig.display.recordNumber, QStringLiteral("32767"));
    QVERIFY(rig.runSweeps(2));
    QCOMPARE(rig.display.recordNumber, QStringLiteral("32767"));
    QCOMPARE(rig.cycle.RecordNumber(), std::int16_t(32767));
    QCOMPARE(rig.recorder.records.size(), size_t(32769));
}

void tst_AcquisitionCycle::holdsWhileModalBoxIsOpen()
{
    Rig rig;
    rig.page.autoComplete = false;
    rig.cycle.start(Address);
    rig.page.complete({QStringLiteral("1"), true});
    QTRY_COMPARE(rig.page.navigations.size(), 2);
    QCOMPARE(rig.display.sensorNumber, QStringLiteral("1"));

    ModalTracker::instance().enter();
    rig.page.complete({QStringLiteral("2"), true});
    drainEvents();
    QCOMPARE(rig.display.sensorNumber, QStringLiteral("1"));
    QCOMPARE(rig.page.navigations.size(), 2);

    ModalTracker::instance().leave();
    // Not inside leave(): the handler that closed the box finishes first.
    QCOMPARE(rig.display.sensorNumber, QStringLiteral("1"));
    QTRY_COMPARE(rig.display.sensorNumber, QStringLiteral("2"));
    QCOMPARE(rig.display.temperature, QStringLiteral("2"));
    QTRY_COMPARE(rig.page.navigations.size(), 3);
    QCOMPARE(rig.page.navigations.at(2), urlOf(2));
}

void tst_AcquisitionCycle::holdsBeforeNextRequestWhileModalBoxIsOpen()
{
    Rig rig;
    rig.page.autoComplete = false;
    rig.cycle.start(Address);
    ModalTracker::instance().enter();
    ModalTracker::instance().enter(); // nested boxes: only the last close releases the cycle
    // The page completed before the box opened: the next request waits for the box.
    rig.page.complete({QStringLiteral("1"), true});
    QCOMPARE(rig.display.sensorNumber, QString());
    ModalTracker::instance().leave();
    drainEvents();
    QCOMPARE(rig.display.sensorNumber, QString());
    ModalTracker::instance().leave();
    QTRY_COMPARE(rig.display.sensorNumber, QStringLiteral("1"));
    QTRY_COMPARE(rig.page.navigations.size(), 2);

    rig.page.complete({QStringLiteral("2"), true});
    ModalTracker::instance().enter();
    drainEvents();
    QCOMPARE(rig.page.navigations.size(), 2);
    ModalTracker::instance().leave();
    QCOMPARE(rig.page.navigations.size(), 2);
    QTRY_COMPARE(rig.page.navigations.size(), 3);
    QCOMPARE(rig.page.navigations.at(2), urlOf(2));
}

void tst_AcquisitionCycle::boxOpenedRightAfterAnotherKeepsTheHold()
{
    Rig rig;
    rig.page.autoComplete = false;
    rig.cycle.start(Address);
    ModalTracker::instance().enter();
    rig.page.complete({QStringLiteral("1"), true});
    // A handler that closes one box and opens the next before returning to the event loop.
    ModalTracker::instance().leave();
    ModalTracker::instance().enter();
    drainEvents();
    QCOMPARE(rig.display.sensorNumber, QString());
    QCOMPARE(rig.page.navigations.size(), 1);
    ModalTracker::instance().leave();
    QTRY_COMPARE(rig.display.sensorNumber, QStringLiteral("1"));
    QTRY_COMPARE(rig.page.navigations.size(), 2);
    QCOMPARE(rig.display.temperature, QStringLiteral("1"));
}

void tst_AcquisitionCycle::pausesOnlyAfterRequestWithoutAnswer()
{
    Rig rig;
    rig.page.autoComplete = false;
    rig.cycle.start(Address);

    rig.page.complete({std::nullopt, true}); // an answer without the element: no pause
    // Never from inside the page's own completion signal: through the event loop.
    QCOMPARE(rig.page.navigations.size(), 1);
    QCOMPARE(rig.next->interval(), 0);
    drainEvents();
    QCOMPARE(rig.page.navigations.size(), 2);

    rig.page.complete({std::nullopt, false});
    // The reading and display happen at once; only the next request waits.
    QCOMPARE(rig.display.sensorNumber, QStringLiteral("2"));
    QVERIFY(rig.next->isHolding());
    QCOMPARE(rig.next->interval(), AcquisitionCycle::NoAnswerPauseMs);
    drainEvents();
    QCOMPARE(rig.page.navigations.size(), 2);
    QVERIFY(rig.next->fire());
    QCOMPARE(rig.page.navigations.size(), 3);
    QCOMPARE(rig.page.navigations.at(2), urlOf(2));
}

// The program's own timer, in real time: the pause is a second and never ends early.
void tst_AcquisitionCycle::noAnswerPauseIsOneSecond()
{
    QCOMPARE(AcquisitionCycle::NoAnswerPauseMs, 1000);
    FakePage page;
    AdapterReader reader{page};
    RecordingRecorder recorder;
    AcquisitionCycle cycle{reader, &recorder};
    page.defaultAnswer = {std::nullopt, false};
    QElapsedTimer t;
    t.start();
    cycle.start(Address);
    QTRY_COMPARE_WITH_TIMEOUT(page.navigations.size(), 2, 5000);
    QVERIFY2(t.elapsed() >= AcquisitionCycle::NoAnswerPauseMs, qPrintable(QString::number(t.elapsed())));
}

void tst_AcquisitionCycle::readerSweepWithoutNumberPauses_data()
{
    QTest::addColumn<QList<ReadOutcome>>("outcomes");
    QTest::addColumn<int>("pause");
    QTest::addColumn<bool>("readerPauses"); // false: a reader that declares it needs no such pause
    using enum ReadOutcome;
    const int pause = AcquisitionCycle::NoAnswerPauseMs;
    QTest::newRow("every sensor unplugged or unknown")
        << QList{NoSensor, NoSensor, NoSensor} << pause << true;
    QTest::newRow("read, CRC and scratchpad errors")
        << QList{ReadError, CrcError, ZeroScratchpad} << pause << true;
    QTest::newRow("one good read") << QList{NoSensor, Ok, NoSensor} << 0 << true;
    QTest::newRow("a reader that needs no pause") << QList{NotANumber, NoElement, NoSensor} << 0 << false;
}

// A bus or server answers a failure in microseconds: a sweep that read no number waits before the next,
// while failures within a sweep never do.
void tst_AcquisitionCycle::readerSweepWithoutNumberPauses()
{
    QFETCH(QList<ReadOutcome>, outcomes);
    QFETCH(int, pause);
    QFETCH(bool, readerPauses);
    FakeReader reader;
    reader.pausesIdle = readerPauses;
    AcquisitionCycle cycle{reader, nullptr};
    ManualTimer* next = manualTimer(cycle);
    const QList<ListedSensor> sensors = builtInSensors().first(outcomes.size());
    cycle.setSensors(sensors);
    for (qsizetype i = 0; i < outcomes.size(); ++i)
        reader.answers.insert(sensors[i].romCode, SensorAnswer{outcomes[i], 20.5f, {}});
    QList<int> waits; // before each next sweep
    connect(&cycle, &AcquisitionCycle::sweepCompleted, this, [&] {
        waits << next->interval();
        // From the next sweep on every sensor is gone: that sweep pauses, whatever this one read.
        for (const ListedSensor& sensor : sensors)
            reader.answers.insert(sensor.romCode, SensorAnswer{ReadOutcome::NoSensor, 0, {}});
    });
    cycle.start(Address);
    QTRY_VERIFY(!waits.isEmpty());
    QCOMPARE(waits.first(), pause);
    if (pause > 0)
        QVERIFY(next->fire());
    QTRY_VERIFY(waits.size() >= 2);
    QCOMPARE(waits.at(1), readerPauses ? AcquisitionCycle::NoAnswerPauseMs : 0);
    cycle.stop();
}

void tst_AcquisitionCycle::sweepIntervalPacesTheStarts_data()
{
    QTest::addColumn<int>("intervalMs");
    QTest::addColumn<ReadOutcome>("outcome");
    QTest::addColumn<int>("readMs"); // how long each read takes
    QTest::addColumn<int>("leastWait");
    QTest::addColumn<int>("mostWait");
    QTest::addColumn<bool>("overran");
    using enum ReadOutcome;
    const int pause = AcquisitionCycle::NoAnswerPauseMs;
    QTest::newRow("none: at once") << 0 << Ok << 0 << 0 << 0 << false;
    QTest::newRow("a minute: the rest of it") << 60'000 << Ok << 0 << 50'000 << 60'000 << false;
    QTest::newRow("shorter than the sweep: at once, an overrun") << 5 << Ok << 10 << 0 << 0 << true;
    QTest::newRow("an idle sweep's pause, longer than the interval")
        << 5 << NoSensor << 10 << pause << pause << true;
}

// The interval runs from one sweep's start to the next's; the reads' own time is within it.
void tst_AcquisitionCycle::sweepIntervalPacesTheStarts()
{
    QFETCH(int, intervalMs);
    QFETCH(ReadOutcome, outcome);
    QFETCH(int, readMs);
    QFETCH(int, leastWait);
    QFETCH(int, mostWait);
    QFETCH(bool, overran);
    FakeReader reader;
    reader.defaultAnswer = {outcome, 20.5f, {}};
    AcquisitionCycle cycle{reader, nullptr};
    ManualTimer* next = manualTimer(cycle);
    cycle.setSensors(builtInSensors().first(2));
    cycle.setSweepIntervalMs(intervalMs);
    connect(&cycle, &AcquisitionCycle::slotStarted, this, [readMs] { QThread::msleep(readMs); });
    std::optional<std::pair<int, bool>> after; // the wait before the next sweep, and the overrun
    connect(&cycle, &AcquisitionCycle::sweepCompleted, this,
            [&](const SweepReport& sweep) { after.emplace(next->interval(), sweep.overran); });
    cycle.start(Address);
    QTRY_VERIFY(after.has_value());
    QVERIFY2(after->first >= leastWait && after->first <= mostWait,
             qPrintable(QString::number(after->first)));
    QCOMPARE(after->second, overran);
    cycle.stop();
}

// A reader that breaks its word: the cycle takes the slot as no answer at its own deadline, has the reader
// drop the read (an answer that still came would be taken for the next read of the slot), and goes on.
void tst_AcquisitionCycle::readerThatNeverAnswers()
{
    FakeReader reader;
    reader.silentReads = 1;
    AcquisitionCycle cycle{reader, nullptr};
    auto timer = std::make_unique<ManualTimer>();
    ManualTimer* deadline = timer.get();
    cycle.setDeadlineTimer(std::move(timer));
    cycle.setNoAnswerPauseMs(0);
    cycle.setSensors(builtInSensors().first(2));
    QList<SensorReading> reads;
    connect(&cycle, &AcquisitionCycle::sensorRead, this, [&](const SensorReading& r) { reads << r; });
    cycle.start(Address);
    drainEvents();
    QVERIFY(reads.isEmpty() && deadline->isHolding());
    QCOMPARE(deadline->interval(), reader.noAnswerAfterMs() + AcquisitionCycle::ReaderAnswerMarginMs);
    QVERIFY(deadline->fire());
    QCOMPARE(reader.cancels, 2); // at the start, and at the deadline
    QTRY_VERIFY(reads.size() >= 2);
    QCOMPARE(reads.at(0).outcome, ReadOutcome::NoAnswer);
    QCOMPARE(reads.at(0).reason, QStringLiteral("no answer within 12 s; the read was given up"));
    QCOMPARE(reads.at(1).outcome, ReadOutcome::Ok);

    // The deadline runs on past answers: when it ends during a later read, that read gets the rest of its
    // own time before it is given up.
    reader.silentReads = reader.reads + 1;
    QTRY_COMPARE(reader.reads, reader.silentReads);
    const qsizetype before = reads.size();
    QVERIFY(deadline->fire());
    drainEvents();
    QCOMPARE(reads.size(), before);
    QVERIFY(deadline->isHolding());
    QVERIFY(deadline->interval() <= reader.noAnswerAfterMs() + AcquisitionCycle::ReaderAnswerMarginMs);
    QVERIFY(deadline->fire());
    QTRY_VERIFY(reads.size() > before);
    QCOMPARE(reads.at(before).outcome, ReadOutcome::NoAnswer);
}

void tst_AcquisitionCycle::stopEndsTheCycle()
{
    Rig rig;
    rig.page.autoComplete = false;
    rig.cycle.start(Address);
    rig.cycle.stop();
    rig.page.complete({QStringLiteral("1"), true});
    drainEvents();
    QCOMPARE(rig.page.navigations.size(), 1);
    QCOMPARE(rig.display.sensorNumber, QString());
    QVERIFY(!rig.cycle.isRunning());

    // Stopped during the pause after no answer: the pause ends with it.
    rig.cycle.start(Address);
    rig.page.complete({std::nullopt, false});
    QVERIFY(rig.next->isHolding());
    rig.cycle.stop();
    QVERIFY(!rig.next->isActive());
}

void tst_AcquisitionCycle::eventsTellEachReadAndSweep_data()
{
    QTest::addColumn<FakePage::Answer>("answer"); // sensor 5's; the others read 20.5
    QTest::addColumn<QString>("outcome");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<float>("value");
    QTest::addColumn<int>("logging"); // 0 off, 1 written, 2 the write fails
    QTest::addColumn<bool>("withDisplay");
    QTest::addColumn<std::optional<SensorAnswer>>("readerAnswer"); // set: a reader's source, no display
    const QString http500 = QStringLiteral("HTTP 500 Internal Server Error");
    const QString refused = QStringLiteral("Connection refused");
    QTest::newRow("ok, logging off") << FakePage::Answer{QStringLiteral("-10.125")} << "ok"
                                     << "" << -10.125f << 0 << true << std::optional<SensorAnswer>();
    QTest::newRow("no element, written") << FakePage::Answer{} << "no_element"
                                         << "the page has no value with the id Temperature_0" << 0.0f << 1
                                         << true << std::optional<SensorAnswer>();
    QTest::newRow("not a number, write fails") << FakePage::Answer{QStringLiteral("----")} << "not_a_number"
                                               << "the value \"----\" of Temperature_0 is not a number"
                                               << 0.0f << 2 << true << std::optional<SensorAnswer>();
    QTest::newRow("error page") << FakePage::Answer{std::nullopt, true, http500} << "http_error" << http500
                                << 0.0f << 1 << true << std::optional<SensorAnswer>();
    QTest::newRow("no answer") << FakePage::Answer{std::nullopt, false, refused} << "no_answer" << refused
                               << 0.0f << 1 << true << std::optional<SensorAnswer>();
    QTest::newRow("power-on value") << FakePage::Answer{QStringLiteral("85")} << "power_on_reset"
                                    << "" << 85.0f << 1 << true << std::optional<SensorAnswer>();
    QTest::newRow("no display, no recorder") << FakePage::Answer{QStringLiteral("21")} << "ok"
                                             << "" << 21.0f << 0 << false << std::optional<SensorAnswer>();
    const QString crc = QStringLiteral("CRC 57 of the scratchpad is wrong");
    QTest::newRow("a bus's CRC error, written")
        << FakePage::Answer{} << "crc_error" << crc << 0.0f << 1 << false
        << std::optional(SensorAnswer{ReadOutcome::CrcError, 0, crc});
    QTest::newRow("a bus's power-on value")
        << FakePage::Answer{} << "power_on_reset"
        << "" << 85.0f << 1 << false << std::optional(SensorAnswer{ReadOutcome::Ok, 85.0f, {}});
    QTest::newRow("a server that does not answer")
        << FakePage::Answer{} << "no_answer" << refused << 0.0f << 0 << false
        << std::optional(SensorAnswer{ReadOutcome::NoAnswer, 0, refused});
}

// One read event per slot in slot order, each naming its adapter, sensor and outcome, then the sweep.
void tst_AcquisitionCycle::eventsTellEachReadAndSweep()
{
    QFETCH(FakePage::Answer, answer);
    QFETCH(QString, outcome);
    QFETCH(QString, reason);
    QFETCH(float, value);
    QFETCH(int, logging);
    QFETCH(bool, withDisplay);
    QFETCH(std::optional<SensorAnswer>, readerAnswer);
    FakePage page;
    AdapterReader adapter{page};
    FakeReader reader;
    RecordingDisplay display;
    RecordingRecorder recorder;
    recorder.active = logging > 0;
    if (logging == 2)
        recorder.failWith = quorvel::runtime::Failure{QStringLiteral("No space left on device")};
    auto made = readerAnswer ? std::make_unique<AcquisitionCycle>(reader, logging > 0 ? &recorder : nullptr)
                             : std::make_unique<AcquisitionCycle>(adapter, withDisplay ? &recorder : nullptr);
    AcquisitionCycle& cycle = *made;
    if (withDisplay)
        display.listen(cycle, &adapter);
    cycle.setNoAnswerPauseMs(0);
    QList<ListedSensor> sensors = builtInSensors();
    sensors[4].name = QStringLiteral("Cellar");
    cycle.setSensors(sensors);
    page.answers.insert(sensors[4].romCode, answer);
    if (readerAnswer)
        reader.answers.insert(sensors[4].romCode, *readerAnswer);
    QList<SensorReading> reads;
    QList<SweepReport> sweeps;
    connect(&cycle, &AcquisitionCycle::sensorRead, this, [&](const SensorReading& r) { reads << r; });
    connect(&cycle, &AcquisitionCycle::sweepCompleted, this, [&](const SweepReport& sweep) {
        QCOMPARE(reads.size(), SensorCount); // the sweep comes after its last read
        sweeps << sweep;
        cycle.stop();
    });
    cycle.start(Address);
    QTRY_COMPARE(sweeps.size(), 1);

    for (int slot = 0; slot < SensorCount; ++slot) {
        const SensorReading& read = reads.at(slot);
        QCOMPARE(read.source, Address);
        QCOMPARE(read.slot, slot);
        QCOMPARE(read.romCode, sensors[slot].romCode);
        QCOMPARE(read.name, sensors[slot].name);
        QVERIFY(read.requested.isValid() && read.requested <= read.when);
        QCOMPARE(readOutcomeLabel(read.outcome), slot == 4 ? outcome : QStringLiteral("ok"));
        QCOMPARE(read.reason, slot == 4 ? reason : QString());
        QCOMPARE(read.value, slot == 4 ? value : 20.5f);
    }
    const SweepReport& sweep = sweeps.first();
    QCOMPARE(sweep.source, Address);
    QCOMPARE(sweep.readings, cycle.table().Readings);
    QVERIFY(sweep.when >= reads.last().when);
    QCOMPARE(sweep.recordWritten, logging == 0 ? std::nullopt : std::optional(logging == 1));
    QCOMPARE(sweep.recordsLost, qint64(logging == 2 ? 1 : 0));
    QCOMPARE(sweep.logNotice, logging == 2 ? QStringLiteral("No space left on device") : QString());
    QCOMPARE(display.temperatures.size(), withDisplay ? SensorCount : 0);
    QCOMPARE(readerAnswer ? reader.reads : int(page.navigations.size()), SensorCount);
}

void tst_AcquisitionCycle::implausibleReadsAreHeldBack_data()
{
    QTest::addColumn<PlausibilityBounds>("bounds");
    QTest::addColumn<float>("offset");
    QTest::addColumn<QString>("numbers");  // each sweep's read of the one sensor; x: a failed read
    QTest::addColumn<QString>("expected"); // each read's outcome and what the table, so the log, holds
    QTest::addColumn<QString>("reason");   // the first implausible read's
    const PlausibilityBounds step{5.0, std::nullopt};
    const PlausibilityBounds range{std::nullopt, TemperatureRange{-55, 125}};
    const auto jump = [](const char* from, const char* to) {
        return QStringLiteral(
                   "jumped from %1 to %2 °C, more than max_step 5 °C; believed if the next read agrees")
            .arg(QLatin1String(from), QLatin1String(to));
    };
    QTest::newRow("a spike held back, and again after a good read")
        << step << 0.0f << "20 60 20.5 60 20.75"
        << "ok 20, implausible 20, ok 20.5, implausible 20.5, ok 20.75" << jump("20", "60");
    QTest::newRow("a real step believed one read late, after a jump it disagrees with")
        << step << 0.0f << "21.5 60 90 90.5 91"
        << "ok 21.5, implausible 21.5, implausible 21.5, ok 90.5, ok 91" << jump("21.5", "60");
    QTest::newRow("range violation never believed, its edges are")
        << range << 0.0f << "125 125.0625 125.0625 -55 -55.0625"
        << "ok 125, implausible 125, implausible 125, ok -55, implausible -55"
        << "125.0625 °C is outside the range -55 to 125 °C";
    QTest::newRow("the range looks at the number as read, before the offset")
        << range << 10.0f << "120 130"
        << "ok 130, implausible 130"
        << "130 °C is outside the range -55 to 125 °C";
    QTest::newRow("a power-on 85 does not move last good") << step << 0.0f << "85 21 22"
                                                           << "power_on_reset 85, ok 21, ok 22" << QString();
    QTest::newRow("a failure between the jump and the read that agrees")
        << step << 0.0f << "21.5 60 x 60.5"
        << "ok 21.5, implausible 21.5, read_error 21.5, ok 60.5" << jump("21.5", "60");
}

// Checked on the number as read, before the table takes it: a number not believed is a failure, so the
// log keeps the last good value.
void tst_AcquisitionCycle::implausibleReadsAreHeldBack()
{
    QFETCH(PlausibilityBounds, bounds);
    QFETCH(float, offset);
    QFETCH(QString, numbers);
    QFETCH(QString, expected);
    QFETCH(QString, reason);
    FakeReader reader;
    reader.pausesIdle = false;
    AcquisitionCycle cycle{reader, nullptr};
    const QString rom = builtInRomCodes().first();
    cycle.setSensors({{rom, {}}});
    cycle.setPlausibility(PlausibilityCheck({bounds}));
    cycle.setValueTransform([offset](int, float read) { return read + offset; });
    const QStringList script = numbers.split(u' ');
    const auto answer = [&](qsizetype i) {
        reader.answers.insert(rom, script.at(i) == u'x'
                                       ? SensorAnswer{ReadOutcome::ReadError, 0, {}}
                                       : SensorAnswer{ReadOutcome::Ok, script.at(i).toFloat(), {}});
    };
    QStringList seen;
    QString firstReason;
    connect(&cycle, &AcquisitionCycle::sensorRead, this, [&](const SensorReading& read) {
        seen << readOutcomeLabel(read.outcome) + u' ' + QString::number(read.value);
        if (read.outcome == ReadOutcome::Implausible && firstReason.isEmpty())
            firstReason = read.reason;
        if (seen.size() == script.size())
            cycle.stop();
        else
            answer(seen.size());
    });
    answer(0);
    cycle.start(Address);
    QTRY_COMPARE(seen.size(), script.size());
    QCOMPARE(seen.join(QStringLiteral(", ")), expected);
    QCOMPARE(firstReason, reason);
}

QTEST_GUILESS_MAIN(tst_AcquisitionCycle)
#include "tst_acquisitioncycle.moc"
