#include "runtime/commondialog.h"
#include "runtime/modaltracker.h"
#include "scratchdir.h"

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QLineEdit>
#include <QPrinter>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <functional>
#include <memory>

using quorvel::runtime::CommonDialog;
using quorvel::runtime::ModalTracker;
using quorvel::runtime::toNameFilters;

namespace {

// What a driven dialog looked like while it was open.
struct Seen {
    bool shown = false;
    QString objectName;
    QString title;
    QStringList nameFilters;
    QStringList patterns;
    QString preselected;
    bool modalOpen = false;
    bool stuck = false;
};

// Acts on the program's modal dialog as soon as it is up, from inside its exec() loop.
class DialogDriver : public QObject {
public:
    using Action = std::function<void(QDialog*)>;

    explicit DialogDriver(Action action) : action_(std::move(action))
    {
        timer_.setInterval(10);
        connect(&timer_, &QTimer::timeout, this, &DialogDriver::poll);
        timer_.start();
    }

    Seen seen;

private:
    void poll()
    {
        auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (!acted_ && dialog && dialog->isVisible()) {
            acted_ = true;
            seen.shown = true;
            seen.objectName = dialog->objectName();
            seen.title = dialog->windowTitle();
            seen.modalOpen = ModalTracker::instance().isModalOpen();
            if (auto* file = qobject_cast<QFileDialog*>(dialog)) {
                seen.nameFilters = file->nameFilters();
                if (auto* model = file->findChild<QFileSystemModel*>())
                    seen.patterns = model->nameFilters();
                seen.preselected = file->selectedFiles().value(0);
            }
            action_(dialog);
            return;
        }
        // A dialog that does not close (or never comes up) would hang the test: close it, and say so.
        if (++polls_ > 500) {
            timer_.stop();
            for (QWidget* w : QApplication::topLevelWidgets()) {
                if (auto* d = qobject_cast<QDialog*>(w); d && d->isVisible()) {
                    seen.stuck = true;
                    d->reject();
                }
            }
        }
    }

    Action action_;
    QTimer timer_;
    bool acted_ = false;
    int polls_ = 0;
};

void typeAndAccept(QDialog* dialog, const QString& name)
{
    auto* edit = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    QVERIFY(edit);
    // One edit, as a paste would be: typing key by key makes the dialog's completion select every
    // folder on the way, and an unfocused offscreen dialog never lets go of them.
    edit->setText(name);
    dialog->accept();
}

void cancel(QDialog* dialog)
{
    dialog->reject();
}

// The driven dialog came up and closed by the driver's action.
bool ranAndClosed(const Seen& seen)
{
    return seen.shown && !seen.stuck;
}

} // namespace

class TestCommonDialog : public QObject {
    Q_OBJECT
private slots:
    void init();

    void nameFilters_data();
    void nameFilters();
    void openAcceptsNameThatDoesNotExist_data();
    void openAcceptsNameThatDoesNotExist();
    void openCancel_data();
    void openCancel();
    void settingsCarryOver();
    void printerCancel_data();
    void printerCancel();

private:
    std::unique_ptr<QTemporaryDir> dir_;
};

void TestCommonDialog::init()
{
    dir_ = quorvel::testing::scratchDir(QStringLiteral("commondialog"));
    QVERIFY(dir_->isValid());
}

void TestCommonDialog::nameFilters_data()
{
    QTest::addColumn<QString>("filter");
    QTest::addColumn<QStringList>("expected");
    // Which entry the user picks in the dialog's type box; 0 is the one it starts with.
    QTest::addColumn<int>("chosen");
    // The patterns the dialog really filters by, and which of readings, sweep, sweep.log, notes.txt and
    // sub (a folder) it lists then.
    QTest::addColumn<QStringList>("patterns");
    QTest::addColumn<QStringList>("listed");

    const QStringList everything{"notes.txt", "readings", "sub", "sweep", "sweep.log"};
    QTest::newRow("empty") << "" << QStringList() << 0 << QStringList{"*"} << everything;
    QTest::newRow("blanks kept, every file") << "all Files | *.*" << QStringList{"all Files  ( *.*)"} << 0
                                             << QStringList{"*.*", "*"} << everything;
    QTest::newRow("description shows its pattern") << "All Files (*.*)|*.*" << QStringList{"All Files (*.*)"}
                                                   << 0 << QStringList{"*.*", "*"} << everything;
    QTest::newRow("description shows another pattern")
        << "All Files (*.*)|*.txt" << QStringList{"All Files (*.*) (*.txt)"} << 0 << QStringList{"*.txt"}
        << QStringList{"notes.txt", "sub"};
    QTest::newRow("two entries") << "Text (*.txt)|*.txt|All|*" << QStringList{"Text (*.txt)", "All (*)"} << 0
                                 << QStringList{"*.txt"} << QStringList{"notes.txt", "sub"};
    QTest::newRow("second entry chosen, every file")
        << "Text (*.txt)|*.txt|all Files | *.*" << QStringList{"Text (*.txt)", "all Files  ( *.*)"} << 1
        << QStringList{"*.*", "*"} << everything;
    QTest::newRow("several patterns")
        << "Logs|*.log;*.txt" << QStringList{"Logs (*.log *.txt)"} << 0 << QStringList{"*.log", "*.txt"}
        << QStringList{"notes.txt", "sub", "sweep.log"};
    QTest::newRow("any extension, or none")
        << "Sweeps|sweep.*" << QStringList{"Sweeps (sweep.*)"} << 0 << QStringList{"sweep.*", "sweep"}
        << QStringList{"sub", "sweep", "sweep.log"};
    QTest::newRow("description without pattern")
        << "Logs" << QStringList{"Logs (*)"} << 0 << QStringList{"*"} << everything;
    QTest::newRow("last description without pattern")
        << "Text|*.txt|Logs" << QStringList{"Text (*.txt)", "Logs (*)"} << 0 << QStringList{"*.txt"}
        << QStringList{"notes.txt", "sub"};
    QTest::newRow("pattern without description")
        << "|*.csv" << QStringList{"*.csv"} << 0 << QStringList{"*.csv"} << QStringList{"sub"};
    QTest::newRow("empty pairs skipped") << "||Text|*.txt|" << QStringList{"Text (*.txt)"} << 0
                                         << QStringList{"*.txt"} << QStringList{"notes.txt", "sub"};
    QTest::newRow("pattern the dialog cannot bracket")
        << "Odd|*(1).txt" << QStringList{"*(1).txt"} << 0 << QStringList{"*(1).txt"} << QStringList{"sub"};
}

void TestCommonDialog::nameFilters()
{
    QFETCH(QString, filter);
    QFETCH(QStringList, expected);
    QFETCH(int, chosen);
    QFETCH(QStringList, patterns);
    QFETCH(QStringList, listed);

    QCOMPARE(toNameFilters(filter), expected);
    const QDir dir(dir_->path());
    QVERIFY(dir.mkdir(QStringLiteral("sub")));
    for (const char* name : {"readings", "sweep", "sweep.log", "notes.txt"}) {
        QFile file(dir.filePath(QLatin1String(name)));
        QVERIFY(file.open(QIODevice::WriteOnly));
    }

    QFileDialog dialog;
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    quorvel::runtime::setNameFilters(dialog, filter);
    dialog.setDirectory(dir);
    auto* model = dialog.findChild<QFileSystemModel*>();
    QVERIFY(model);
    auto* types = dialog.findChild<QComboBox*>(QStringLiteral("fileTypeCombo"));
    QVERIFY(types);
    // Chosen the way a user does, with the arrow keys in the type box.
    for (int i = 0; i < chosen; ++i)
        QTest::keyClick(types, Qt::Key_Down);
    QCOMPARE(types->currentIndex(), chosen);
    QCOMPARE(model->nameFilters(), patterns);

    const auto shown = [model, &dir] {
        const QModelIndex root = model->index(dir.path());
        QStringList names;
        for (int row = 0; row < model->rowCount(root); ++row)
            names.append(model->index(row, 0, root).data().toString());
        names.sort();
        return names;
    };
    QTRY_COMPARE(shown(), listed);
}

void TestCommonDialog::openAcceptsNameThatDoesNotExist_data()
{
    QTest::addColumn<QString>("previous");
    QTest::addColumn<bool>("typeFullPath");

    QTest::newRow("full path typed, nothing chosen before") << QString() << true;
    QTest::newRow("bare name typed next to the previous file") << "old.log" << false;
}

void TestCommonDialog::openAcceptsNameThatDoesNotExist()
{
    QFETCH(QString, previous);
    QFETCH(bool, typeFullPath);
    const QString expectedPath = dir_->filePath(QStringLiteral("new.log"));

    CommonDialog common;
    common.setFilter(QStringLiteral("all Files | *.*"));
    if (!previous.isEmpty())
        common.setFileName(dir_->filePath(previous));
    const QString toType = typeFullPath ? expectedPath : QStringLiteral("new.log");

    DialogDriver driver([&](QDialog* d) { typeAndAccept(d, toType); });
    QVERIFY(common.ShowOpen(nullptr));

    QVERIFY(ranAndClosed(driver.seen));
    QCOMPARE(driver.seen.objectName, QStringLiteral("dlgCommonDialogFile"));
    QVERIFY(driver.seen.modalOpen);
    // The dialog itself collapses runs of blanks in what it shows.
    QCOMPARE(driver.seen.nameFilters, QStringList{"all Files ( *.*)"});
    QCOMPARE(driver.seen.patterns, (QStringList{"*.*", "*"}));
    QCOMPARE(common.FileName(), expectedPath);
    QVERIFY(!QFileInfo::exists(expectedPath));
    QVERIFY(!ModalTracker::instance().isModalOpen());
}

void TestCommonDialog::openCancel_data()
{
    QTest::addColumn<bool>("cancelError");
    QTest::addColumn<bool>("result");

    QTest::newRow("cancel returns normally") << false << true;
    QTest::newRow("cancel reported") << true << false;
}

void TestCommonDialog::openCancel()
{
    QFETCH(bool, cancelError);
    QFETCH(bool, result);

    CommonDialog common;
    common.setCancelError(cancelError);
    common.setFileName(dir_->filePath(QStringLiteral("chosen before.log")));
    DialogDriver driver(cancel);
    QCOMPARE(common.ShowOpen(nullptr), result);
    QVERIFY(ranAndClosed(driver.seen));
    QVERIFY(driver.seen.modalOpen);
    QCOMPARE(common.FileName(), QString());
    QVERIFY(!ModalTracker::instance().isModalOpen());
}

// The uses of the main window's dialog in a row: each sees what the one before left behind.
void TestCommonDialog::settingsCarryOver()
{
    CommonDialog common;

    // Untitled, the dialog shows the toolkit's own title.
    {
        QFileDialog reference;
        reference.setOption(QFileDialog::DontUseNativeDialog);
        reference.setAcceptMode(QFileDialog::AcceptOpen);
        DialogDriver driver(cancel);
        QVERIFY(common.ShowOpen(nullptr));
        QVERIFY(ranAndClosed(driver.seen));
        QCOMPARE(driver.seen.title, reference.windowTitle());
    }

    common.setDialogTitle(QStringLiteral("Page Setup"));
    common.setCancelError(true);
    {
        // The logging chooser sets only its filter.
        common.setFilter(QStringLiteral("all Files | *.*"));
        DialogDriver driver(cancel);
        QVERIFY(!common.ShowOpen(nullptr));
        QVERIFY(ranAndClosed(driver.seen));
        QCOMPARE(driver.seen.title, QStringLiteral("Page Setup"));
    }

    common.setDialogTitle(QStringLiteral("Open"));
    common.setCancelError(false);
    common.setFilter(QStringLiteral("All Files (*.*)|*.*"));
    const QString chosen = dir_->filePath(QStringLiteral("chosen.log"));
    {
        DialogDriver driver([&](QDialog* d) { typeAndAccept(d, chosen); });
        QVERIFY(common.ShowOpen(nullptr));
        QVERIFY(ranAndClosed(driver.seen));
        QCOMPARE(driver.seen.title, QStringLiteral("Open"));
        QCOMPARE(common.FileName(), chosen);
    }
    {
        DialogDriver driver([&](QDialog* d) { typeAndAccept(d, QStringLiteral("second.log")); });
        QVERIFY(common.ShowOpen(nullptr));
        QVERIFY(ranAndClosed(driver.seen));
        QCOMPARE(driver.seen.title, QStringLiteral("Open"));
        QCOMPARE(driver.seen.nameFilters, QStringList{"All Files (*.*)"});
        QCOMPARE(driver.seen.patterns, (QStringList{"*.*", "*"}));
        QCOMPARE(driver.seen.preselected, chosen);
        QCOMPARE(common.FileName(), dir_->filePath(QStringLiteral("second.log")));
    }
    QCOMPARE(common.DialogTitle(), QStringLiteral("Open"));
    QCOMPARE(common.CancelError(), false);
    QCOMPARE(common.Filter(), QStringLiteral("All Files (*.*)|*.*"));
}

void TestCommonDialog::printerCancel_data()
{
    QTest::addColumn<bool>("cancelError");
    QTest::addColumn<bool>("result");

    QTest::newRow("cancel returns normally") << false << true;
    QTest::newRow("cancel reported") << true << false;
}

void TestCommonDialog::printerCancel()
{
    QFETCH(bool, cancelError);
    QFETCH(bool, result);

    CommonDialog common;
    common.setDialogTitle(QStringLiteral("Page Setup"));
    common.setCancelError(cancelError);
    QPrinter* const printer = common.printer();

    DialogDriver driver(cancel);
    const bool returned = common.ShowPrinter(nullptr);
    if (!driver.seen.shown)
        QSKIP("the printer dialog returned without showing on this machine (no usable print system)");
    QVERIFY(!driver.seen.stuck);
    QCOMPARE(returned, result);
    QCOMPARE(driver.seen.objectName, QStringLiteral("dlgCommonDialogPrinter"));
    QCOMPARE(driver.seen.title, QStringLiteral("Page Setup"));
    QVERIFY(driver.seen.modalOpen);
    QVERIFY(!ModalTracker::instance().isModalOpen());
    QCOMPARE(common.printer(), printer);
}

QTEST_MAIN(TestCommonDialog)
#include "tst_commondialog.moc"
