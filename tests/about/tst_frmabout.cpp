#include "frmabout.h"

#include "iconpaths.h"
#include "registrybackendmemory.h"
#include "runtime/appinfo.h"
#include "runtime/forms.h"
#include "runtime/messagebox.h"
#include "runtime/modaltracker.h"
#include "runtime/processlauncher.h"
#include "runtime/twips.h"

#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QWindow>

#include <functional>

using namespace quorvel::runtime;
using quorvel::about::frmAbout;

namespace {

class RecordingLauncher final : public ProcessLauncher {
public:
    bool startDetached(const QString& program) override
    {
        programs.append(program);
        return true;
    }
    QStringList programs;
};

constexpr int notClosed = -1;

// Shows the box modal over owner, runs whileOpen once it is up, and returns ShowModal's result. A box
// that whileOpen failed to close is closed after a while with notClosed, so a fault cannot hang the test.
int runModal(frmAbout* dlg, QWidget* owner, const std::function<void()>& whileOpen)
{
    QTimer::singleShot(0, dlg, whileOpen);
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, dlg, [dlg] { dlg->done(notClosed); });
    guard.start(10000);
    return dlg->ShowModal(owner);
}

template <typename T> T* control(QWidget* dlg, const char* name)
{
    return dlg->findChild<T*>(QString::fromLatin1(name));
}

} // namespace

class tst_frmAbout : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void geometry_data();
    void geometry();
    void fixedFrame();
    void fixedTexts();
    void labelColours();
    void formLoadOnEveryOpening();
    void closing_data();
    void closing();
    void focusAndTabOrder();
    void centredOverOwner();
    void etchedRule();
    void iconShownWithMask();
    void sysInfoFailureKeepsBoxOpen();
    void sharedInstance();
    void screenshot();

private:
    std::unique_ptr<QWidget> owner_;
    frmAbout* dlg_ = nullptr;
    std::shared_ptr<RegistryBackendMemory> reg_;
    std::shared_ptr<RecordingLauncher> launcher_;
    QList<MessageRequest> messages_;
};

void tst_frmAbout::init()
{
    owner_ = std::make_unique<QWidget>();
    owner_->setGeometry(100, 80, 560, 420);
    owner_->show();
    QVERIFY(QTest::qWaitForWindowExposed(owner_.get()));
    dlg_ = new frmAbout(owner_.get());
    reg_ = std::make_shared<RegistryBackendMemory>();
    launcher_ = std::make_shared<RecordingLauncher>();
    dlg_->setRegistryBackend(reg_);
    dlg_->setProcessLauncher(launcher_);
    MessageBox::setPresenter([this](const MessageRequest& request) {
        messages_.append(request);
        return MsgResult::Ok;
    });
}

void tst_frmAbout::cleanup()
{
    MessageBox::resetPresenter();
    messages_.clear();
    owner_.reset();
    dlg_ = nullptr;
}

void tst_frmAbout::geometry_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRect>("expected");

    // Pixels at 96 dpi, 15 twips each, rounded to the nearest pixel.
    QTest::newRow("picIcon grows to the icon") << QStringLiteral("picIcon") << QRect(16, 16, 32, 32);
    QTest::newRow("lblTitle") << QStringLiteral("lblTitle") << QRect(70, 16, 273, 32);
    QTest::newRow("lblVersion") << QStringLiteral("lblVersion") << QRect(70, 52, 273, 15);
    QTest::newRow("lblDescription") << QStringLiteral("lblDescription") << QRect(70, 75, 273, 78);
    QTest::newRow("lblDisclaimer") << QStringLiteral("lblDisclaimer") << QRect(17, 175, 258, 55);
    QTest::newRow("cmdOK") << QStringLiteral("cmdOK") << QRect(283, 175, 98, 23);
    QTest::newRow("cmdSysInfo") << QStringLiteral("cmdSysInfo") << QRect(284, 205, 97, 23);
}

void tst_frmAbout::geometry()
{
    QFETCH(QString, name);
    QFETCH(QRect, expected);
    if (logicalDpiX(dlg_) != 96.0 || logicalDpiY(dlg_) != 96.0)
        QSKIP("the expected pixels are those of a 96 dpi screen");

    QRect actual;
    QSize client;
    const int result = runModal(dlg_, owner_.get(), [&] {
        if (auto* w = dlg_->findChild<QWidget*>(name))
            actual = w->geometry();
        client = dlg_->size();
        dlg_->accept();
    });
    QCOMPARE(result, int(QDialog::Accepted));
    QCOMPARE(actual, expected);
    QCOMPARE(client, QSize(393, 245));
}

void tst_frmAbout::fixedFrame()
{
    QCOMPARE(dlg_->minimumSize(), dlg_->maximumSize());
    QCOMPARE(dlg_->minimumSize(), QSize(twipsToPixelsX(5900, dlg_), twipsToPixelsY(3670, dlg_)));
    const Qt::WindowFlags flags = dlg_->windowFlags();
    QCOMPARE(flags & Qt::WindowType_Mask, Qt::Dialog);
    QVERIFY(!(flags & Qt::WindowMinimizeButtonHint));
    QVERIFY(!(flags & Qt::WindowMaximizeButtonHint));
    QVERIFY(!(flags & Qt::WindowContextHelpButtonHint));
    // Owned, hence transient for the owner and not a taskbar entry of its own.
    QCOMPARE(dlg_->parentWidget(), owner_.get());

    QSize shown;
    runModal(dlg_, owner_.get(), [&] {
        dlg_->resize(600, 400);
        shown = dlg_->size();
        dlg_->accept();
    });
    QCOMPARE(shown, dlg_->minimumSize());
}

void tst_frmAbout::fixedTexts()
{
    QCOMPARE(dlg_->windowTitle(), QStringLiteral("About Vintrel1"));
    QCOMPARE(control<QLabel>(dlg_, "lblDescription")->text(), QStringLiteral("App Description"));
    QCOMPARE(control<QLabel>(dlg_, "lblDisclaimer")->text(), QStringLiteral("Warning: ..."));
    QCOMPARE(control<QPushButton>(dlg_, "cmdOK")->text(), QStringLiteral("OK"));
    QCOMPARE(control<QPushButton>(dlg_, "cmdSysInfo")->text(), QStringLiteral("&System Info..."));
    QVERIFY(control<QPushButton>(dlg_, "cmdOK")->isDefault());
    QVERIFY(!control<QPushButton>(dlg_, "cmdSysInfo")->isDefault());

    // Loading fills the title and version labels, and nothing else.
    runModal(dlg_, owner_.get(), [&] { dlg_->accept(); });
    QCOMPARE(dlg_->windowTitle(), QStringLiteral("About Vintrel1"));
    QCOMPARE(control<QLabel>(dlg_, "lblDescription")->text(), QStringLiteral("App Description"));
    QCOMPARE(control<QLabel>(dlg_, "lblDisclaimer")->text(), QStringLiteral("Warning: ..."));
}

void tst_frmAbout::labelColours()
{
    // A desktop whose text colour is not black: three labels stay black, the version follows the desktop.
    const QPalette before = dlg_->palette();
    QPalette red = before;
    red.setColor(QPalette::WindowText, Qt::red);
    dlg_->setPalette(red);
    for (const char* name : {"lblTitle", "lblDescription", "lblDisclaimer"})
        QCOMPARE(control<QLabel>(dlg_, name)->palette().color(QPalette::WindowText), QColor(Qt::black));
    QCOMPARE(control<QLabel>(dlg_, "lblVersion")->palette().color(QPalette::WindowText), QColor(Qt::red));
    dlg_->setPalette(before);
}

void tst_frmAbout::formLoadOnEveryOpening()
{
    auto* title = control<QLabel>(dlg_, "lblTitle");
    auto* version = control<QLabel>(dlg_, "lblVersion");
    QStringList seen;
    const auto look = [&] {
        seen << title->text() << version->text();
        dlg_->accept();
    };
    runModal(dlg_, owner_.get(), look);
    title->setText(QStringLiteral("stale"));
    version->setText(QStringLiteral("stale"));
    runModal(dlg_, owner_.get(), look);
    // The project's version, major.minor.revision in plain digits.
    const QString versionText = QStringLiteral("Version ") + quorvel::runtime::AppInfo::versionText();
    QVERIFY2(QRegularExpression(QStringLiteral("^Version (0|[1-9][0-9]*)(\\.(0|[1-9][0-9]*)){2}$"))
                 .match(versionText)
                 .hasMatch(),
             qPrintable(versionText));
    QCOMPARE(seen, (QStringList{"Quorvel-3", versionText, "Quorvel-3", versionText}));
}

void tst_frmAbout::closing_data()
{
    QTest::addColumn<int>("key"); // 0: the close box instead of a key
    QTest::addColumn<int>("expected");

    QTest::newRow("Enter") << int(Qt::Key_Enter) << int(QDialog::Accepted);
    QTest::newRow("Return") << int(Qt::Key_Return) << int(QDialog::Accepted);
    QTest::newRow("Escape presses OK") << int(Qt::Key_Escape) << int(QDialog::Accepted);
    QTest::newRow("Space on OK") << int(Qt::Key_Space) << int(QDialog::Accepted);
    QTest::newRow("close box") << 0 << int(QDialog::Rejected);
}

void tst_frmAbout::closing()
{
    QFETCH(int, key);
    QFETCH(int, expected);

    const int formsBefore = Forms::count();
    QSignalSpy lastClosed(&ModalTracker::instance(), &ModalTracker::lastModalClosed);
    bool modalWhileOpen = false;
    int formsWhileOpen = -1;
    bool loadedWhileOpen = false;
    const int result = runModal(dlg_, owner_.get(), [&] {
        modalWhileOpen = ModalTracker::instance().isModalOpen();
        formsWhileOpen = Forms::count();
        loadedWhileOpen = dlg_->isLoaded();
        QWidget* focus = dlg_->focusWidget();
        if (key == 0)
            dlg_->close();
        else if (key == Qt::Key_Space)
            QTest::keyClick(focus, Qt::Key_Space);
        else
            QTest::keyClick(focus ? focus : dlg_, Qt::Key(key));
    });
    QCOMPARE(result, expected);
    QVERIFY(modalWhileOpen);
    QCOMPARE(formsWhileOpen, formsBefore + 1);
    QCOMPARE(Forms::at(formsBefore), nullptr);
    QVERIFY(loadedWhileOpen);
    QVERIFY(!dlg_->isLoaded());
    QVERIFY(!dlg_->isVisible());
    QCOMPARE(Forms::count(), formsBefore);
    QVERIFY(!ModalTracker::instance().isModalOpen());
    QCOMPARE(lastClosed.count(), 1);
}

void tst_frmAbout::focusAndTabOrder()
{
    const auto focusName = [this] {
        QWidget* w = dlg_->focusWidget();
        return w ? w->objectName() : QString();
    };
    QStringList first;
    runModal(dlg_, owner_.get(), [&] {
        first << focusName();
        for (int i = 0; i < 3; ++i) {
            QTest::keyClick(dlg_->focusWidget(), Qt::Key_Tab);
            first << focusName();
        }
        QTest::keyClick(dlg_->focusWidget(), Qt::Key_Backtab);
        first << focusName();
        // Leaves the focus on System Info, which the next opening must not inherit.
        QTest::keyClick(dlg_->focusWidget(), Qt::Key_Escape);
    });
    QCOMPARE(first, (QStringList{"cmdOK", "cmdSysInfo", "picIcon", "cmdOK", "picIcon"}));

    QString second;
    runModal(dlg_, owner_.get(), [&] {
        second = focusName();
        dlg_->accept();
    });
    QCOMPARE(second, QStringLiteral("cmdOK"));
}

void tst_frmAbout::centredOverOwner()
{
    QPoint centre;
    runModal(dlg_, owner_.get(), [&] {
        centre = dlg_->frameGeometry().center();
        dlg_->accept();
    });
    const QPoint ownerCentre = owner_->frameGeometry().center();
    QVERIFY2((centre - ownerCentre).manhattanLength() <= 2,
             qPrintable(QStringLiteral("box centre %1,%2, owner centre %3,%4")
                            .arg(centre.x())
                            .arg(centre.y())
                            .arg(ownerCentre.x())
                            .arg(ownerCentre.y())));

    // Moved away during one opening, it is centred again at the next.
    runModal(dlg_, owner_.get(), [&] {
        dlg_->move(0, 0);
        dlg_->accept();
    });
    runModal(dlg_, owner_.get(), [&] {
        centre = dlg_->frameGeometry().center();
        dlg_->accept();
    });
    QVERIFY((centre - ownerCentre).manhattanLength() <= 2);
}

void tst_frmAbout::etchedRule()
{
    if (logicalDpiX(dlg_) != 96.0 || logicalDpiY(dlg_) != 96.0)
        QSKIP("the expected pixels are those of a 96 dpi screen");
    QImage image;
    runModal(dlg_, owner_.get(), [&] {
        image = dlg_->grab().toImage();
        dlg_->accept();
    });
    QVERIFY(!image.isNull());
    const QRgb grey = qRgb(128, 128, 128);
    const QRgb white = qRgb(255, 255, 255);
    const QRgb background = image.pixel(200, 140);
    QVERIFY(background != grey && background != white);

    // Grey on row 162 from x 15, white on rows 163 and 164 from x 16, both ending before x 377.
    QCOMPARE(image.pixel(15, 162), grey);
    QCOMPARE(image.pixel(200, 162), grey);
    QCOMPARE(image.pixel(376, 162), grey);
    QCOMPARE(image.pixel(377, 162), background);
    QCOMPARE(image.pixel(14, 162), background);
    QCOMPARE(image.pixel(200, 161), background);
    QCOMPARE(image.pixel(16, 163), white);
    QCOMPARE(image.pixel(200, 163), white);
    QCOMPARE(image.pixel(200, 164), white);
    QCOMPARE(image.pixel(15, 163), background);
    QCOMPARE(image.pixel(200, 165), background);
}

void tst_frmAbout::iconShownWithMask()
{
    const QImage icon =
        QImage(QString::fromLatin1(quorvel::icons::aboutIconPath)).convertToFormat(QImage::Format_ARGB32);
    QCOMPARE(icon.size(), QSize(32, 32));
    QPoint opaque(-1, -1), clear(-1, -1);
    for (int y = 0; y < icon.height(); ++y)
        for (int x = 0; x < icon.width(); ++x)
            (qAlpha(icon.pixel(x, y)) == 255 ? opaque : clear) = QPoint(x, y);
    QVERIFY2(opaque.x() >= 0 && clear.x() >= 0, "the icon needs opaque and transparent pixels");

    QImage image;
    QPoint at;
    runModal(dlg_, owner_.get(), [&] {
        image = dlg_->grab().toImage();
        at = control<QLabel>(dlg_, "picIcon")->pos();
        dlg_->accept();
    });
    const QRgb background = image.pixel(200, 140);
    QCOMPARE(image.pixel(at + opaque), icon.pixel(opaque) | 0xFF000000);
    QCOMPARE(image.pixel(at + clear), background);
}

void tst_frmAbout::sysInfoFailureKeepsBoxOpen()
{
    bool active = false;
    bool clicked = false;
    int messagesAfterClick = -1;
    bool openAfterClick = false;
    const int result = runModal(dlg_, owner_.get(), [&] {
        // The access key is a window shortcut: the box has to be the focus window for it.
        dlg_->windowHandle()->requestActivate();
        active = QTest::qWaitFor([&] { return QGuiApplication::focusWindow() == dlg_->windowHandle(); });
        QSignalSpy sysInfo(control<QPushButton>(dlg_, "cmdSysInfo"), &QPushButton::clicked);
        QTest::keyClick(dlg_->windowHandle(), Qt::Key_S, Qt::AltModifier);
        // A button pressed by its access key clicks a moment later.
        clicked = sysInfo.count() == 1 || sysInfo.wait(2000);
        messagesAfterClick = int(messages_.size());
        openAfterClick = dlg_->isVisible() && dlg_->isLoaded();
        control<QPushButton>(dlg_, "cmdOK")->click();
    });
    QVERIFY(active);
    QVERIFY(clicked);
    QCOMPARE(messagesAfterClick, 1);
    QCOMPARE(messages_.first().prompt, QStringLiteral("System Information Is Unavailable At This Time"));
    QVERIFY(openAfterClick);
    QVERIFY(launcher_->programs.isEmpty());
    QCOMPARE(result, int(QDialog::Accepted));
}

void tst_frmAbout::sharedInstance()
{
    QPointer<frmAbout> first = frmAbout::instance(owner_.get());
    QVERIFY(first);
    QCOMPARE(frmAbout::instance(owner_.get()), first.data());
    QCOMPARE(first->parentWidget(), owner_.get());

    QWidget other;
    other.setGeometry(50, 50, 300, 200);
    QWidget* ownerWhileOpen = nullptr;
    first->setRegistryBackend(reg_);
    runModal(first, &other, [&] {
        ownerWhileOpen = first->parentWidget();
        first->accept();
    });
    QCOMPARE(ownerWhileOpen, &other);

    // Destroyed with its owner; the next use creates a new one.
    first->setParent(owner_.get(), first->windowFlags());
    owner_.reset();
    QVERIFY(first.isNull());
    QWidget next;
    frmAbout* again = frmAbout::instance(&next);
    QVERIFY(again);
    QCOMPARE(again->parentWidget(), &next);
}

void tst_frmAbout::screenshot()
{
    const QString path = qEnvironmentVariable("QUORVEL_SCREENSHOT");
    if (path.isEmpty())
        QSKIP("set QUORVEL_SCREENSHOT to the PNG to write");
    bool saved = false;
    runModal(dlg_, owner_.get(), [&] {
        saved = dlg_->grab().save(path, "PNG");
        dlg_->accept();
    });
    QVERIFY2(saved, qPrintable(path));
}

QTEST_MAIN(tst_frmAbout)
#include "tst_frmabout.moc"
