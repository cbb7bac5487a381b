#include "windowfixture.h"

#include "acquisition/acquisitioncycle.h"
#include "adapterconfig.h"
#include "mainwindow/pageview.h"
#include "mainwindow/statuspanels.h"
#include "runtime/commondialog.h"
#include "runtime/localeformats.h"
#include "simulatorprocess.h"
#include "sources/adapter/adapterreader.h"
#include "sources/adapter/webpagecomponent.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QScopeGuard>
#include <QScreen>
#include <QSignalSpy>
#include <QTimer>
#include <QToolBar>

#include <cmath>
#include <functional>

using namespace quorvel;
using namespace quorvel::testing;
namespace keys = quorvel::runtime::settingskeys;

namespace {

QStringList readLines(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    const QByteArray all = f.readAll();
    QStringList lines = QString::fromLocal8Bit(all).split(QStringLiteral("\r\n"));
    return lines;
}

} // namespace

class tst_frmMain : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void controlsAtDesignGeometry_data();
    void controlsAtDesignGeometry();
    void captionsAndInitialState();
    void onlyEdgeBarsFollowTheWidth();
    void tabOrderAsDesigned();
    void hiddenUntilFirstPageCompleted();
    void addressListKeepsTheNewest();
    void readingsAppearAsTaken_data();
    void readingsAppearAsTaken();
    void placementSaved_data();
    void placementSaved();
    void minimizedSavesNothing();
    void stopProgramWithLoggingLeavesCompleteLog();
    void exitAndCloseBoxEndAfterSaving_data();
    void exitAndCloseBoxEndAfterSaving();
    void refusedSettingsWriteShowsMessageAndEnds();
    void programWithoutDisplayEndsWithOneLine();
    void badSettingEndsBeforeAnyRequest_data();
    void badSettingEndsBeforeAnyRequest();
    void unopenableLogFileKeepsLoggingOff();
    void loggingStartedWhileLastPageIsHeldRecordsThatSweep();
    void programIgnoresQtCommandLineOptions();

private:
    SimulatorProcess sim_;
};

void tst_frmMain::initTestCase()
{
    QVERIFY2(sim_.start(), "the adapter simulator did not start");
}

void tst_frmMain::controlsAtDesignGeometry_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRect>("twips");
    QTest::newRow("sbStatusBar") << "sbStatusBar" << QRect(0, 7910, 15120, 270);
    QTest::newRow("tbToolBar") << "tbToolBar" << QRect(0, 0, 15120, 280);
    QTest::newRow("brwWebBrowser") << "brwWebBrowser" << QRect(1920, 960, 11650, 4570);
    QTest::newRow("cboAddress") << "cboAddress" << QRect(1920, 360, 11650, 280);
    QTest::newRow("btnFileWrite") << "btnFileWrite" << QRect(1920, 5760, 1690, 730);
    QTest::newRow("btnStop") << "btnStop" << QRect(11760, 5760, 1690, 730);
    QTest::newRow("txtSensorNum") << "txtSensorNum" << QRect(360, 2280, 1090, 610);
    QTest::newRow("Label1") << "Label1" << QRect(360, 1920, 1210, 250);
    QTest::newRow("txtTemperature") << "txtTemperature" << QRect(360, 3360, 1090, 610);
    QTest::newRow("Label2") << "Label2" << QRect(360, 3120, 1210, 250);
    QTest::newRow("txtFileName") << "txtFileName" << QRect(3840, 5760, 3970, 300);
    QTest::newRow("txtRecNum") << "txtRecNum" << QRect(3840, 6240, 850, 300);
    QTest::newRow("Label3") << "Label3" << QRect(4800, 6240, 850, 370);
}

void tst_frmMain::controlsAtDesignGeometry()
{
    QFETCH(QString, name);
    QFETCH(QRect, twips);
    WindowFixture fx;
    Program program;
    frmMain& w = program.window();
    QCOMPARE(w.logicalDpiX(), 96);
    QCOMPARE(w.client()->size(), QSize(1008, 545)); // 15120 x 8180 twips at 15 twips a pixel
    auto* control = w.client()->findChild<QWidget*>(name, Qt::FindDirectChildrenOnly);
    QVERIFY2(control, qPrintable(name));
    auto px = [](int t) { return (t * 96 + 720) / 1440; };
    const QRect expected(px(twips.x()), px(twips.y()), px(twips.width()), px(twips.height()));
    if (name.startsWith(QLatin1String("Label"))) {
        // Labels may only grow to the right, to fit the desktop's font.
        QCOMPARE(control->geometry().topLeft(), expected.topLeft());
        QCOMPARE(control->height(), expected.height());
        QVERIFY(control->width() >= expected.width());
        QVERIFY(control->width() <= expected.width() + 20);
    } else {
        QCOMPARE(control->geometry(), expected);
    }
    QVERIFY(control->isVisibleTo(&w));
    QVERIFY(control->isEnabled());
}

void tst_frmMain::captionsAndInitialState()
{
    WindowFixture fx;
    Program program;
    frmMain& w = program.window();
    QCOMPARE(w.windowTitle(), QStringLiteral("Vintrel1"));
    QCOMPARE(btnFileWrite(w)->text(), QStringLiteral("Start Logging"));
    QCOMPARE(btnStop(w)->text(), QStringLiteral("Stop Program"));
    QCOMPARE(Label1(w)->text(), QStringLiteral("Sensor Number"));
    QCOMPARE(Label2(w)->text(), QStringLiteral("Temperature"));
    QCOMPARE(Label3(w)->text(), QStringLiteral("Records Written"));
    for (QLineEdit* box : {txtSensorNum(w), txtTemperature(w), txtFileName(w), txtRecNum(w)}) {
        QCOMPARE(box->text(), QString());
        QVERIFY(!box->isReadOnly());
    }
    QVERIFY(cboAddress(w)->isEditable());
    QCOMPARE(cboAddress(w)->count(), 0);
    QCOMPARE(cboAddress(w)->currentText(), QString());
    QCOMPARE(sbStatusBar(w)->textPanel()->text(), QStringLiteral("Status"));
    // The date with a four-digit year and the time without seconds, as the locale writes them; read
    // around the panels so a minute or day that turns meanwhile does not fail the test.
    const QLocale locale;
    const QDateTime before = QDateTime::currentDateTime();
    const QString date = sbStatusBar(w)->datePanel()->text();
    const QString time = sbStatusBar(w)->timePanel()->text();
    const QDateTime after = QDateTime::currentDateTime();
    const auto dateText = [&](const QDateTime& t) {
        return locale.toString(t.date(), runtime::shortDateFormat(locale));
    };
    const auto timeText = [&](const QDateTime& t) {
        return locale.toString(t.time(), runtime::shortTimeFormat(locale));
    };
    QVERIFY2(date == dateText(before) || date == dateText(after), qPrintable(date));
    QVERIFY2(time == timeText(before) || time == timeText(after), qPrintable(time));
    QVERIFY2(date.contains(QString::number(before.date().year())), qPrintable(date));
    QVERIFY2(!time.contains(before.toString(QStringLiteral(":mm:ss"))), qPrintable(time));
    QVERIFY(sbStatusBar(w)->datePanel()->minimumWidth() >= 96);
    QVERIFY(sbStatusBar(w)->timePanel()->minimumWidth() >= 96);
    QCOMPARE(timTimer(w)->interval(), 600);
    QVERIFY(timTimer(w)->isActive());
    QCOMPARE(w.LoggingActive(), std::int16_t(0));
    QVERIFY(!w.isVisible());
}

void tst_frmMain::onlyEdgeBarsFollowTheWidth()
{
    WindowFixture fx;
    Program program;
    frmMain& w = program.window();
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    // Shown at the design size: the client area below the menu bar is 15120 x 8180 twips.
    QCOMPARE(w.client()->size(), QSize(1008, 545));
    const QRect browser = brwWebBrowser(w)->geometry();
    const QRect stop = btnStop(w)->geometry();
    w.resize(1300, 760);
    QTRY_COMPARE(w.client()->width(), 1300);
    QCOMPARE(tbToolBar(w)->geometry(), QRect(0, 0, 1300, 19));
    QCOMPARE(sbStatusBar(w)->geometry(), QRect(0, w.client()->height() - 18, 1300, 18));
    QCOMPARE(brwWebBrowser(w)->geometry(), browser);
    QCOMPARE(btnStop(w)->geometry(), stop);
    w.resize(500, 300);
    QTRY_COMPARE(w.client()->width(), 500);
    QCOMPARE(tbToolBar(w)->width(), 500);
    QCOMPARE(brwWebBrowser(w)->geometry(), browser);
    w.hide();
}

void tst_frmMain::tabOrderAsDesigned()
{
    WindowFixture fx;
    Program program;
    frmMain& w = program.window();
    const QList<QWidget*> expected{brwWebBrowser(w), cboAddress(w),     btnFileWrite(w), btnStop(w),
                                   txtSensorNum(w),  txtTemperature(w), txtFileName(w),  txtRecNum(w)};
    QList<QWidget*> seen;
    QWidget* x = brwWebBrowser(w);
    for (int guard = 0; guard < 500 && seen.size() < expected.size(); ++guard) {
        if (expected.contains(x) && !seen.contains(x))
            seen.append(x);
        x = x->nextInFocusChain();
    }
    QCOMPARE(seen, expected);
    for (QLabel* l : {Label1(w), Label2(w), Label3(w)})
        QCOMPARE(l->focusPolicy(), Qt::NoFocus);
    QCOMPARE(tbToolBar(w)->focusPolicy(), Qt::NoFocus);
}

void tst_frmMain::hiddenUntilFirstPageCompleted()
{
    WindowFixture fx;
    fx.setAdapter(QStringLiteral("127.0.0.1:8080"));
    OnFakePages fake;
    FakePage& page = fake.page;
    page.autoComplete = false;
    frmMain& w = fake.w;
    w.Show();
    QVERIFY(w.isLoaded());
    QVERIFY(!w.isVisible());
    QCOMPARE(page.ReadyState(), 1);
    QCOMPARE(cboAddress(w)->currentText(),
             QStringLiteral(
                 "http://127.0.0.1:8080/1Wire/ReadDS18B20.html?DS18B20Request=%7b9C000000B4A89828,12%7d"));
    QCOMPARE(page.navigations, QStringList{cboAddress(w)->currentText()});
    // Whatever is queued runs: the window stays hidden while the page loads.
    QCoreApplication::processEvents();
    QVERIFY(!w.isVisible());
    page.complete({QStringLiteral("21.5")});
    QTRY_VERIFY(w.isVisible());
    QCOMPARE(txtSensorNum(w)->text(), QStringLiteral("1"));
    QCOMPARE(txtTemperature(w)->text(), QStringLiteral("21.5"));
    w.cycle().stop();
}

void tst_frmMain::addressListKeepsTheNewest()
{
    WindowFixture fx;
    fx.setAdapter(QStringLiteral("127.0.0.1:8080"));
    OnFakePages fake;
    fake.w.Show();
    const int limit = frmMain::AddressListLimit;
    QTRY_VERIFY_WITH_TIMEOUT(fake.page.navigations.size() > limit + 13, 60000);
    fake.w.cycle().stop();
    const QStringList& asked = fake.page.navigations;
    QCOMPARE(cboAddress(fake.w)->count(), limit);
    QCOMPARE(cboAddress(fake.w)->currentText(), asked.last());
    for (int i = 0; i < limit; ++i)
        QCOMPARE(cboAddress(fake.w)->itemText(i), asked.at(asked.size() - limit + i));
}

void tst_frmMain::readingsAppearAsTaken_data()
{
    QTest::addColumn<QByteArray>("list"); // the SensorList file; none when empty
    QTest::addColumn<QStringList>("roms");
    QTest::addColumn<int>("sensor5"); // the slot of the simulator's sensor 5, which reads -10.125
    QTest::newRow("the built-in thirteen") << QByteArray() << acquisition::builtInRomCodes() << 4;
    QTest::newRow("a SensorList of three, in its order")
        << QByteArray("# mine\n28-000001234567 Cellar\n6e00000027cd1e28\nBC 00 00 00 0A BC DE 28 Attic\n")
        << QStringList{"3000000123456728", "6E00000027CD1E28", "BC0000000ABCDE28"} << 1;
}

void tst_frmMain::readingsAppearAsTaken()
{
    QFETCH(QByteArray, list);
    QFETCH(QStringList, roms);
    QFETCH(int, sensor5);
    WindowFixture fx;
    const QString adapter = QStringLiteral("127.0.0.1:%1").arg(sim_.port());
    fx.setAdapter(adapter);
    if (!list.isEmpty()) {
        const QString path = fx.settingsDir.filePath(QStringLiteral("sensors"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(list) == list.size());
        fx.setSetting(keys::SensorList, path);
    }
    QVERIFY(sim_.setFault(5, QStringLiteral("value"), QStringLiteral("-10.125")));
    Program program;
    frmMain& w = program.window();
    w.Show();
    // Taken while the first sweep ends: once the wait returns, the next sweep may already have begun.
    QStringList addressesAtSweepEnd;
    QString sensorAtSweepEnd;
    connect(&w.cycle(), &acquisition::AcquisitionCycle::sweepCompleted, this, [&] {
        if (!sensorAtSweepEnd.isEmpty())
            return;
        for (int i = 0; i < cboAddress(w)->count(); ++i)
            addressesAtSweepEnd << cboAddress(w)->itemText(i);
        sensorAtSweepEnd = txtSensorNum(w)->text();
    });
    QSignalSpy sweeps(&w.cycle(), &acquisition::AcquisitionCycle::sweepCompleted);
    QVERIFY(sweeps.wait(10000));
    QStringList expected;
    for (const QString& rom : roms)
        expected << acquisition::sensorUrl(adapter, rom);
    QCOMPARE(addressesAtSweepEnd, expected);
    QCOMPARE(sensorAtSweepEnd, QString::number(roms.size()));
    QCOMPARE(w.cycle().table().Readings[sensor5], -10.125f);
    QVERIFY(w.cycle().table().Readings[0] != 0.0f);
    QTRY_VERIFY(brwWebBrowser(w)->toPlainText().contains(QStringLiteral("Temperature")));
    // Typing into the boxes changes nothing else; the next reading overwrites it.
    txtSensorNum(w)->setText(QStringLiteral("typed"));
    QTRY_VERIFY(txtSensorNum(w)->text() != QLatin1String("typed"));
    w.cycle().stop();
    QVERIFY(sim_.clear());
}

void tst_frmMain::placementSaved_data()
{
    QTest::addColumn<bool>("maximized");
    QTest::newRow("normal") << false;
    QTest::newRow("maximized") << true;
}

void tst_frmMain::placementSaved()
{
    QFETCH(bool, maximized);
    WindowFixture fx;
    Program program;
    frmMain& w = program.window();
    // Odd pixels: at 100 dpi (the tst_frmmain_100dpi run) they are 878.4 and 676.8 twips.
    w.move(61, 47);
    if (maximized)
        w.showMaximized();
    else
        w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    const QRect bounds = w.frameGeometry();
    QVERIFY(w.Form_Unload());
    // 15 twips a pixel at 96 dpi; at other resolutions the nearest whole twip.
    const double dpiX = w.screen()->logicalDotsPerInchX();
    const double dpiY = w.screen()->logicalDotsPerInchY();
    const auto twips = [](int pixels, double dpi) {
        return QString::number(std::lround(pixels * 1440.0 / dpi));
    };
    auto s = fx.settings();
    s->beginGroup(keys::Settings);
    QCOMPARE(s->value(keys::MainLeft).toString(), twips(bounds.x(), dpiX));
    QCOMPARE(s->value(keys::MainTop).toString(), twips(bounds.y(), dpiY));
    QCOMPARE(s->value(keys::MainWidth).toString(), twips(bounds.width(), dpiX));
    QCOMPARE(s->value(keys::MainHeight).toString(), twips(bounds.height(), dpiY));
    // Whole numbers are written without a decimal separator.
    for (const QLatin1StringView key : {keys::MainLeft, keys::MainTop, keys::MainWidth, keys::MainHeight}) {
        const QString text = s->value(key).toString();
        QVERIFY2(!text.contains(QLatin1Char('.')) && !text.contains(QLatin1Char(',')), qPrintable(text));
    }
    if (maximized) {
        // The maximized bounds, not the normal ones, are what is saved.
        QVERIFY(w.isMaximized());
        QCOMPARE(bounds.size(), w.screen()->availableGeometry().size());
        QVERIFY(bounds.size() != w.normalGeometry().size());
    }
}

void tst_frmMain::minimizedSavesNothing()
{
    WindowFixture fx;
    {
        auto s = fx.settings();
        s->setValue(keys::path(keys::MainLeft), QStringLiteral("1234"));
        s->sync();
    }
    Program program;
    frmMain& w = program.window();
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    w.showMinimized();
    QTRY_VERIFY(w.isMinimized());
    QVERIFY(w.Form_Unload());
    auto s = fx.settings();
    QCOMPARE(s->value(keys::path(keys::MainLeft)).toString(), QStringLiteral("1234"));
    QVERIFY(!s->contains(keys::path(keys::MainTop)));
}

void tst_frmMain::stopProgramWithLoggingLeavesCompleteLog()
{
    WindowFixture fx;
    fx.setAdapter(QStringLiteral("127.0.0.1:8080"));
    QTemporaryDir dir;
    const QString logPath = dir.filePath(QStringLiteral("stop.log"));
    OnFakePages fake;
    frmMain& w = fake.w;
    w.Show();
    acceptFileDialogWith(logPath);
    w.btnFileWrite_Click();
    QCOMPARE(w.LoggingActive(), std::int16_t(-1));
    QCOMPARE(btnFileWrite(w)->text(), QStringLiteral("Stop Logging"));
    QCOMPARE(txtFileName(w)->text(), logPath);
    QSignalSpy sweeps(&w.cycle(), &acquisition::AcquisitionCycle::sweepCompleted);
    QVERIFY(sweeps.wait(10000));
    QVERIFY(sweeps.wait(10000));
    QCOMPARE(txtRecNum(w)->text(), QStringLiteral("2"));

    w.btnStop_Click();
    QCOMPARE(fx.exitCode, std::optional<int>(0));
    QCOMPARE(w.LoggingActive(), std::int16_t(0));
    QVERIFY(!w.cycle().isRunning());
    QVERIFY(!w.isVisible());
    const QStringList lines = readLines(logPath);
    QCOMPARE(lines.size(), 3); // two records and the empty rest after the last line end
    QCOMPARE(lines.last(), QString());
    for (int i = 0; i < 2; ++i)
        QCOMPARE(lines[i].count(QStringLiteral(" , ")), 12);
    // Placement was saved on the way out.
    QVERIFY(fx.settings()->contains(keys::path(keys::MainHeight)));
}

void tst_frmMain::exitAndCloseBoxEndAfterSaving_data()
{
    QTest::addColumn<bool>("closeBox");
    QTest::newRow("File > Exit") << false;
    QTest::newRow("close box") << true;
}

void tst_frmMain::exitAndCloseBoxEndAfterSaving()
{
    QFETCH(bool, closeBox);
    WindowFixture fx;
    fx.setAdapter(QStringLiteral("127.0.0.1:8080"));
    QTemporaryDir dir;
    const QString logPath = dir.filePath(QStringLiteral("exit.log"));
    OnFakePages fake;
    frmMain& w = fake.w;
    w.Show();
    QTRY_VERIFY_WITH_TIMEOUT(w.isVisible(), 5000);
    acceptFileDialogWith(logPath);
    w.btnFileWrite_Click();
    QCOMPARE(w.LoggingActive(), std::int16_t(-1));
    if (closeBox)
        QVERIFY(w.close());
    else
        w.mnuFileExit_Click();
    QCOMPARE(fx.exitCode, std::optional<int>(0));
    QVERIFY(w.isUnloaded());
    QVERIFY(!w.cycle().isRunning());
    QCOMPARE(w.LoggingActive(), std::int16_t(0));
    QVERIFY(fx.settings()->contains(keys::path(keys::MainLeft)));
    QVERIFY(QFile::exists(logPath));
}

void tst_frmMain::refusedSettingsWriteShowsMessageAndEnds()
{
    WindowFixture fx;
    fx.recordMessages();
    // A file where the settings folder should be: the store cannot write.
    QTemporaryDir dir;
    const QString blocker = dir.filePath(QStringLiteral("blocked"));
    QFile f(blocker);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.close();
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, blocker);
    Program program;
    frmMain& w = program.window();
    w.show();
    w.mnuFileExit_Click();
    QCOMPARE(fx.exitCode, std::optional<int>(1));
    QCOMPARE(fx.messages.size(), 1);
    QVERIFY2(fx.messages[0].prompt.contains(QStringLiteral("settings")), qPrintable(fx.messages[0].prompt));
    QCOMPARE(fx.messages[0].title, QStringLiteral("Quorvel-3"));
}

void tst_frmMain::badSettingEndsBeforeAnyRequest_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value"); // "LIST": the path of a file holding list
    QTest::addColumn<QByteArray>("list");
    QTest::addColumn<QStringList>("told"); // in the message, with LIST for the list's path
    QTest::newRow("an AdapterAddress that is no address")
        << QString(keys::AdapterAddress) << "adapter.local" << QByteArray()
        << QStringList{keys::AdapterAddress, "\"adapter.local\""};
    QTest::newRow("a SensorList with bad lines")
        << QString(keys::SensorList) << "LIST" << QByteArray("3000000123456728\n2867452301000030\nxyz\n")
        << QStringList{keys::SensorList, "LIST:2: ROM code 2867452301000030 is written family code first"};
    QTest::newRow("a SensorList that is missing")
        << QString(keys::SensorList) << "LIST" << QByteArray()
        << QStringList{keys::SensorList, "LIST: No such file or directory"};
}

void tst_frmMain::badSettingEndsBeforeAnyRequest()
{
    QFETCH(QString, key);
    QFETCH(QString, value);
    QFETCH(QByteArray, list);
    QFETCH(QStringList, told);
    WindowFixture fx;
    fx.recordMessages();
    const QString path = fx.settingsDir.filePath(QStringLiteral("sensors"));
    if (!list.isEmpty()) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(list) == list.size());
    }
    fx.setSetting(QLatin1StringView(key.toLatin1()), QString(value).replace(QLatin1String("LIST"), path));
    Program program;
    frmMain& w = program.window();
    w.Show();
    QCOMPARE(fx.exitCode, std::optional<int>(1));
    QCOMPARE(fx.messages.size(), 1);
    for (const QString& part : told)
        QVERIFY2(fx.messages[0].prompt.contains(QString(part).replace(QLatin1String("LIST"), path)),
                 qPrintable(fx.messages[0].prompt));
    // The first bad line only: the box is read by a person.
    QVERIFY2(!fx.messages[0].prompt.contains(QLatin1String(":3:")), qPrintable(fx.messages[0].prompt));
    QCOMPARE(program.page().ReadyState(), 0);
    QCOMPARE(cboAddress(w)->count(), 0);
}

void tst_frmMain::unopenableLogFileKeepsLoggingOff()
{
    WindowFixture fx;
    fx.recordMessages();
    fx.setAdapter(QStringLiteral("127.0.0.1:8080"));
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("missing-folder/x.log"));
    OnFakePages fake;
    frmMain& w = fake.w;
    w.Show();
    acceptFileDialogWith(path);
    w.btnFileWrite_Click();
    QCOMPARE(w.LoggingActive(), std::int16_t(0));
    QCOMPARE(btnFileWrite(w)->text(), QStringLiteral("Start Logging"));
    QCOMPARE(txtFileName(w)->text(), QString());
    QCOMPARE(fx.messages.size(), 1);
    QVERIFY(fx.messages[0].prompt.contains(path));
    QVERIFY(!fx.exitCode.has_value());
    // The sweep goes on.
    QSignalSpy sweeps(&w.cycle(), &acquisition::AcquisitionCycle::sweepCompleted);
    QVERIFY(sweeps.wait(10000));
    w.cycle().stop();
}

// The chooser is open while the sweep's last page completes: the sweep ends after the handler has opened
// the file, so it gets its line.
void tst_frmMain::loggingStartedWhileLastPageIsHeldRecordsThatSweep()
{
    WindowFixture fx;
    fx.setAdapter(QStringLiteral("127.0.0.1:8080"));
    QTemporaryDir dir;
    const QString logPath = dir.filePath(QStringLiteral("held.log"));
    OnFakePages fake;
    FakePage& page = fake.page;
    page.autoComplete = false;
    frmMain& w = fake.w;
    w.Show();
    for (int slot = 0; slot < 12; ++slot) {
        QTRY_COMPARE(page.navigations.size(), slot + 1);
        page.complete(page.defaultAnswer);
    }
    // Slot 12's request under way.
    QTRY_COMPARE(page.navigations.size(), 13);
    QCOMPARE(w.cycle().currentSlot(), 12);
    QCOMPARE(page.ReadyState(), 1);

    QString recordAtSweepEnd = QStringLiteral("<none>");
    connect(&w.cycle(), &acquisition::AcquisitionCycle::sweepCompleted, this, [&] {
        if (recordAtSweepEnd == QLatin1String("<none>"))
            recordAtSweepEnd = txtRecNum(w)->text();
    });
    QSignalSpy sweeps(&w.cycle(), &acquisition::AcquisitionCycle::sweepCompleted);
    // The page completes while the chooser is open; its completion waits for the chooser.
    std::function<void()> completeUnderChooser = [&] {
        if (!QApplication::activeModalWidget()) {
            QTimer::singleShot(0, &page, completeUnderChooser);
            return;
        }
        page.complete(page.defaultAnswer);
    };
    QTimer::singleShot(0, &page, completeUnderChooser);
    acceptFileDialogWith(logPath, 200);
    btnFileWrite(w)->click();
    QCOMPARE(w.LoggingActive(), std::int16_t(-1));
    QCOMPARE(sweeps.size(), 0);
    QCOMPARE(page.ReadyState(), 4);
    QVERIFY(sweeps.wait(5000));
    QCOMPARE(recordAtSweepEnd, QStringLiteral("1"));
    QCOMPARE(readLines(logPath).size(), 2); // one record and the empty rest after its line end
    w.cycle().stop();
}

// The built program, started with Qt's own options: none of them may take effect. An honoured
// "-platform" alone would end it at once, before any request; the platform comes from the environment.
void tst_frmMain::programIgnoresQtCommandLineOptions()
{
    const QString program = qEnvironmentVariable("QUORVEL_PROGRAM");
    QVERIFY2(!program.isEmpty(), "QUORVEL_PROGRAM is not set");
    QTemporaryDir config;
    QProcessEnvironment env =
        programEnvironment(config.path(), QStringLiteral("127.0.0.1:%1").arg(sim_.port()));
    QVERIFY(!env.isEmpty());
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    const int sweepsBefore = sim_.stats().value(SimulatorProcess::SensorCount);

    QProcess p;
    p.setProcessEnvironment(env);
    p.start(program,
            {QStringLiteral("-platform"), QStringLiteral("nosuchplatform"), QStringLiteral("-style"),
             QStringLiteral("nosuchstyle"), QStringLiteral("-reverse"), QStringLiteral("-qwindowgeometry"),
             QStringLiteral("10x10+5+5"), QStringLiteral("-qwindowtitle"), QStringLiteral("changed")});
    QVERIFY2(p.waitForStarted(5000), qPrintable(p.errorString()));
    const auto cleanup = qScopeGuard([&p] {
        p.kill();
        p.waitForFinished(5000);
    });
    // A whole sweep read: the program runs, on the environment's platform.
    QTRY_VERIFY_WITH_TIMEOUT(sim_.stats().value(SimulatorProcess::SensorCount) > sweepsBefore ||
                                 p.state() != QProcess::Running,
                             20000);
    const QByteArray errors = p.readAllStandardError();
    QVERIFY2(p.state() == QProcess::Running, errors.constData());
    QVERIFY2(!errors.contains("nosuch"), errors.constData());
}

// Without a display, whatever the arguments: one line and a failure, not the platform plugin's abort.
void tst_frmMain::programWithoutDisplayEndsWithOneLine()
{
    const QString program = qEnvironmentVariable("QUORVEL_PROGRAM");
    QVERIFY2(!program.isEmpty(), "QUORVEL_PROGRAM is not set");
    QTemporaryDir config;
    QProcessEnvironment env =
        programEnvironment(config.path(), QStringLiteral("127.0.0.1:%1").arg(sim_.port()));
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(QString::fromLatin1(name));
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(program, {QStringLiteral("--help")});
    QVERIFY2(p.waitForFinished(30000), qPrintable(p.errorString()));
    const QByteArray errors = p.readAllStandardError();
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QCOMPARE(p.exitCode(), EXIT_FAILURE);
    QCOMPARE(errors.count('\n'), 1);
    QVERIFY2(errors.startsWith("quorvel3: no display"), errors.constData());
}

QTEST_MAIN(tst_frmMain)
#include "tst_frmmain.moc"
