#include "windowfixture.h"

#include "acquisition/acquisitioncycle.h"
#include "logfile/logrecord.h"
#include "sources/adapter/webpagecomponent.h"
#include "mainwindow/statuspanels.h"
#include "manualtimer.h"
#include "scriptedserver.h"
#include "simulatorprocess.h"

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTimer>

#include <cmath>

using namespace quorvel;
using namespace quorvel::testing;
using quorvel::acquisition::SensorReadings;

namespace {

std::vector<SensorReadings> readLog(const QString& path, bool* complete)
{
    QFile f(path);
    std::vector<SensorReadings> out;
    *complete = false;
    if (!f.open(QIODevice::ReadOnly))
        return out;
    const QByteArray all = f.readAll();
    *complete = all.isEmpty() || all.endsWith("\r\n");
    QList<QByteArray> lines = all.split('\n');
    lines.removeLast();
    for (const QByteArray& line : lines) {
        if (!line.endsWith('\r')) {
            *complete = false;
            continue;
        }
        const auto r = acquisition::parseLogRecord(QString::fromLocal8Bit(line.chopped(1)));
        if (!r) {
            *complete = false;
            continue;
        }
        out.push_back(r->readings);
    }
    return out;
}

// A logger window with logging on, that remembers the readings at the end of every sweep.
struct Logger {
    WindowFixture fx;
    QTemporaryDir dir;
    QString logPath;
    // The adapter's own page component, end to end: these faults are about what it makes of the pages.
    std::unique_ptr<acquisition::WebPageComponent> ownPage =
        std::make_unique<acquisition::WebPageComponent>();
    acquisition::WebPageComponent& page = *ownPage;
    Program program{std::move(ownPage)};
    frmMain& w = program.window();
    // The pause after a request without an answer holds until fired: waits below fire it as they poll.
    ManualTimer* pause = nullptr;
    std::vector<SensorReadings> sweeps;

    explicit Logger(quint16 port, const QString& logName = QStringLiteral("faults.log"))
    {
        fx.recordMessages();
        fx.setAdapter(QStringLiteral("127.0.0.1:%1").arg(port));
        logPath = logName.startsWith(QLatin1Char('/')) ? logName : dir.filePath(logName);
        // Short enough for a test, the same mechanism as the 10 s default.
        page.setTimeout(800);
        auto timer = std::make_unique<ManualTimer>();
        pause = timer.get();
        w.cycle().setTimer(std::move(timer));
        w.Show();
        acceptFileDialogWith(logPath);
        w.btnFileWrite_Click();
        QObject::connect(&w.cycle(), &acquisition::AcquisitionCycle::sweepCompleted, &w,
                         [this] { sweeps.push_back(w.cycle().table().Readings); });
    }

    // Waits for done, cutting each pause after no answer short.
    template <typename Done> bool waitFor(Done done, int timeoutMs)
    {
        return QTest::qWaitFor(
            [&] {
                pause->fire();
                return done();
            },
            timeoutMs);
    }

    bool runSweeps(int n, int timeoutMs = 20000)
    {
        const size_t target = sweeps.size() + static_cast<size_t>(n);
        return waitFor([&] { return sweeps.size() >= target; }, timeoutMs);
    }

    [[nodiscard]] float reading(int slot) { return w.cycle().table().Readings[slot]; }
};

} // namespace

class tst_Faults : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void failingSensorKeepsLastReading_data();
    void failingSensorKeepsLastReading();
    void numberWithBlanksIsRead();
    void sameHostRedirectIsFollowed();
    void adapterDownAtStart();
    void adapterGoneMidSweepAndBack();
    void diskFullWhileLogging();
    void logRenamedWhileLogging();

private:
    SimulatorProcess sim_;
};

void tst_Faults::initTestCase()
{
    QVERIFY(sim_.start());
}

void tst_Faults::failingSensorKeepsLastReading_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("arg");
    QTest::newRow("element missing") << "missing"
                                     << "";
    QTest::newRow("dashes") << "dashes"
                            << "";
    QTest::newRow("text") << "value"
                          << "Sensor error";
    QTest::newRow("empty value") << "value"
                                 << "";
    QTest::newRow("NaN") << "value"
                         << "NaN";
    QTest::newRow("1e39") << "value"
                          << "1e39";
    QTest::newRow("no value property") << "novalue"
                                       << "";
    QTest::newRow("not HTML") << "garbage"
                              << "";
    QTest::newRow("HTTP 500") << "status500"
                              << "";
    QTest::newRow("closed without answer") << "close"
                                           << "";
    QTest::newRow("never answers") << "silent"
                                   << "";
    QTest::newRow("slow drip") << "drip"
                               << "";
    QTest::newRow("oversized answer") << "huge"
                                      << "";
    QTest::newRow("off-host redirect") << "redirect-other-host"
                                       << "";
    QTest::newRow("redirect loop") << "redirect-loop"
                                   << "";
}

void tst_Faults::failingSensorKeepsLastReading()
{
    QFETCH(QString, kind);
    QFETCH(QString, arg);
    QVERIFY(sim_.clear());
    Logger logger(sim_.port());
    QCOMPARE(logger.w.LoggingActive(), std::int16_t(-1));
    QVERIFY(logger.runSweeps(1));
    QVERIFY(logger.reading(4) != 0.0f);

    QVERIFY(sim_.setFault(5, kind, arg));
    // The sweep under way while the fault was set may still have read sensor 5; the next one cannot.
    QVERIFY(logger.runSweeps(2));
    const float before = logger.reading(4);
    const std::size_t from = logger.sweeps.size();
    QVERIFY(logger.runSweeps(3));
    // The failing sensor keeps its last reading; the others go on updating. A simulated sensor may rest
    // for a sweep or come back to a value, so a change in any of these sweeps counts.
    QCOMPARE(logger.reading(4), before);
    int changed = 0;
    for (int i = 0; i < 13; ++i) {
        bool moved = false;
        for (std::size_t n = from; n < logger.sweeps.size(); ++n)
            moved = moved || logger.sweeps[n][i] != logger.sweeps[from - 1][i];
        if (i != 4 && moved)
            ++changed;
    }
    QVERIFY2(changed >= 8, qPrintable(QString::number(changed)));
    QCOMPARE(txtTemperature(logger.w)->isVisible(), true);

    // Exactly one complete line per sweep, each holding what the cycle had read.
    logger.w.btnFileWrite_Click();
    QCOMPARE(logger.w.LoggingActive(), std::int16_t(0));
    bool complete = false;
    const auto lines = readLog(logger.logPath, &complete);
    QVERIFY(complete);
    QCOMPARE(lines.size(), logger.sweeps.size());
    for (size_t n = 0; n < lines.size(); ++n)
        for (int i = 0; i < 13; ++i)
            QCOMPARE(lines[n][i], logger.sweeps[n][i]);
    // Every value was served by the simulator: 12-bit steps, never a parse of the fault text.
    for (const auto& line : lines)
        for (float v : line)
            QCOMPARE(std::fmod(v * 16.0f, 1.0f), 0.0f);
    logger.w.cycle().stop();
    QVERIFY(sim_.clear());
}

void tst_Faults::numberWithBlanksIsRead()
{
    QVERIFY(sim_.clear());
    QVERIFY(sim_.setFault(5, QStringLiteral("value"), QStringLiteral("  23.5  ")));
    Logger logger(sim_.port());
    QVERIFY(logger.runSweeps(1));
    QCOMPARE(logger.reading(4), 23.5f);
    logger.w.cycle().stop();
    QVERIFY(sim_.clear());
}

void tst_Faults::sameHostRedirectIsFollowed()
{
    QVERIFY(sim_.clear());
    QVERIFY(sim_.setFault(5, QStringLiteral("redirect-same")));
    Logger logger(sim_.port());
    QVERIFY(logger.runSweeps(2));
    QVERIFY(logger.reading(4) != 0.0f);
    logger.w.cycle().stop();
    QVERIFY(sim_.clear());
}

void tst_Faults::adapterDownAtStart()
{
    // A port nobody listens on, which the simulator then takes.
    const quint16 port = ScriptedServer::unusedPort();
    QVERIFY(port != 0);

    Logger logger(port);
    QTRY_VERIFY_WITH_TIMEOUT(logger.w.isVisible(), 5000);
    QCOMPARE(txtTemperature(logger.w)->text(), QStringLiteral("0"));
    QVERIFY(!logger.program.page().lastLoadGotAnswer());

    SimulatorProcess late;
    QVERIFY(late.start({QStringLiteral("--port"), QString::number(port)}));
    QVERIFY(logger.waitFor([&] { return txtTemperature(logger.w)->text() != QLatin1String("0"); }, 5000));
    logger.w.cycle().stop();
}

void tst_Faults::adapterGoneMidSweepAndBack()
{
    SimulatorProcess sim;
    QVERIFY(sim.start());
    const quint16 port = sim.port();
    Logger logger(port);
    QVERIFY(logger.runSweeps(1));

    sim.stop();
    // A request under way when it went ends first; after that nothing is read.
    QTRY_VERIFY_WITH_TIMEOUT(logger.pause->isHolding(), 5000);
    const SensorReadings during = logger.w.cycle().table().Readings;
    const int addressesBefore = cboAddress(logger.w)->count();
    // Refused at once, each attempt is followed by the one-second pause: one attempt per pause, no spin of
    // connections.
    for (int attempts = 1; attempts <= 3; ++attempts) {
        QCOMPARE(logger.pause->interval(), acquisition::AcquisitionCycle::NoAnswerPauseMs);
        QVERIFY(logger.pause->fire());
        QTRY_VERIFY_WITH_TIMEOUT(logger.pause->isHolding(), 5000);
        QCOMPARE(cboAddress(logger.w)->count() - addressesBefore, attempts);
    }
    QVERIFY(logger.w.cycle().isRunning());
    QVERIFY(logger.w.cycle().table().Readings == during);

    QVERIFY(sim.start({QStringLiteral("--port"), QString::number(port)}));
    QVERIFY(logger.runSweeps(2, 30000));
    int changed = 0;
    for (int i = 0; i < 13; ++i)
        changed += logger.sweeps.back()[i] != during[i] ? 1 : 0;
    QVERIFY(changed >= 1);

    logger.w.btnFileWrite_Click();
    bool complete = false;
    const auto lines = readLog(logger.logPath, &complete);
    QVERIFY(complete);
    QCOMPARE(lines.size(), logger.sweeps.size());
    logger.w.cycle().stop();
}

void tst_Faults::diskFullWhileLogging()
{
    QVERIFY(sim_.clear());
    Logger logger(sim_.port(), QStringLiteral("/dev/full"));
    QCOMPARE(logger.w.LoggingActive(), std::int16_t(-1));
    QVERIFY(logger.runSweeps(2));
    // Every record of the period is counted as lost, with the reason.
    const QString status = sbStatusBar(logger.w)->textPanel()->text();
    QVERIFY2(status.startsWith(
                 QStringLiteral("%1 records could not be written since ").arg(logger.sweeps.size())) &&
                 status.endsWith(QStringLiteral(": No space left on device")),
             qPrintable(status));
    // The counter and the sweep go on.
    QCOMPARE(txtRecNum(logger.w)->text(), QString::number(logger.sweeps.size()));
    QVERIFY(logger.w.cycle().isRunning());
    logger.w.cycle().stop();
}

// Log rotation renames the file under the running logger: the records go on at the chosen path, in a new
// file, and the status bar says so.
void tst_Faults::logRenamedWhileLogging()
{
    QVERIFY(sim_.clear());
    Logger logger(sim_.port());
    QVERIFY(logger.runSweeps(2));
    const QString moved = logger.logPath + QStringLiteral(".1");
    QVERIFY(QFile::rename(logger.logPath, moved));
    const size_t beforeRename = logger.sweeps.size();
    QVERIFY(logger.runSweeps(2));
    const QString status = sbStatusBar(logger.w)->textPanel()->text();
    QVERIFY2(status.startsWith(QStringLiteral("A new log file was started at ")) &&
                 status.endsWith(QStringLiteral(": ") + logger.logPath),
             qPrintable(status));
    QCOMPARE(txtRecNum(logger.w)->text(), QString::number(logger.sweeps.size()));

    logger.w.btnFileWrite_Click();
    bool complete = false;
    const auto early = readLog(moved, &complete);
    QVERIFY(complete);
    QCOMPARE(early.size(), beforeRename);
    const auto later = readLog(logger.logPath, &complete);
    QVERIFY(complete);
    QCOMPARE(later.size(), logger.sweeps.size() - beforeRename);
    for (size_t n = 0; n < later.size(); ++n)
        QVERIFY(later[n] == logger.sweeps[beforeRename + n]);
    // Told until the next Start Logging, which begins with nothing to tell.
    QCOMPARE(sbStatusBar(logger.w)->textPanel()->text(), status);
    acceptFileDialogWith(logger.logPath);
    logger.w.btnFileWrite_Click();
    QCOMPARE(logger.w.LoggingActive(), std::int16_t(-1));
    QCOMPARE(sbStatusBar(logger.w)->textPanel()->text(), QStringLiteral("Status"));
    logger.w.cycle().stop();
}

QTEST_MAIN(tst_Faults)
#include "tst_faults.moc"
