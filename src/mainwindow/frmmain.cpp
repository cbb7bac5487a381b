#include "frmmain.h"

#include "pageview.h"
#include "statuspanels.h"
#include "toolbarimages.h"

#include "acquisition/acquisitioncycle.h"
#include "acquisition/sensorlist.h"
#include "iconpaths.h"
#include "logfile/logsession.h"
#include "runtime/appinfo.h"
#include "runtime/commondialog.h"
#include "runtime/conversions.h"
#include "runtime/forms.h"
#include "runtime/helpviewer.h"
#include "runtime/messagebox.h"
#include "runtime/modaltracker.h"
#include "runtime/processcontrol.h"
#include "runtime/settingskeys.h"
#include "runtime/settingsstore.h"
#include "runtime/twips.h"
#include "sources/adapter/adapteraddress.h"
#include "sources/adapter/adapterreader.h"
#include "sources/adapter/pagecomponent.h"

#include <QAction>
#include <QCloseEvent>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QTimer>
#include <QToolBar>

#include <algorithm>
#include <cstdlib>

namespace quorvel::mainwindow {

using runtime::twipsRect;

frmMain::frmMain(acquisition::AdapterReader& reader, acquisition::LogSession& log,
                 acquisition::SweepRecorder& recorder, QWidget* parent)
    : QMainWindow(parent), log_(log), helpViewer_(runtime::HelpViewer::createDesktop())
{
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(QStringLiteral("Vintrel1"));
    setWindowIcon(icons::programIcon());
    // The layout was designed for the classic 8-point dialog font; larger defaults clip the labels.
    QFont small = font();
    small.setPointSize(8);
    setFont(small);

    dlgCommonDialog = new runtime::CommonDialog(this);
    dlgCommonDialog->setObjectName(QStringLiteral("dlgCommonDialog"));
    imlToolbarIcons = new ToolbarImages(this);
    imlToolbarIcons->setObjectName(QStringLiteral("imlToolbarIcons"));
    cycle_ = new acquisition::AcquisitionCycle(reader, &recorder, this);
    using acquisition::AcquisitionCycle;
    connect(cycle_, &AcquisitionCycle::slotStarted, this,
            [this](int, const QString& text) { onSlotStarted(text); });
    connect(&reader, &acquisition::AdapterReader::pageLoaded, this,
            [this](const acquisition::PageDocument* document) { loadedPage_ = document; });
    connect(cycle_, &AcquisitionCycle::sensorRead, this, &frmMain::onSensorRead);
    connect(cycle_, &AcquisitionCycle::sweepCompleted, this, &frmMain::onSweepCompleted);
    // A Start Logging whose chooser held slot 12's page would otherwise end that sweep before the file is
    // open.
    runtime::ModalTracker::instance().holdWhileOpen(
        cycle_, [this] { cycle_->hold(); }, [this] { cycle_->resume(); });

    // The timer exists and runs, with nothing attached to its tick.
    timTimer = new QTimer(this);
    timTimer->setObjectName(QStringLiteral("timTimer"));
    timTimer->setInterval(600);
    timTimer->start();

    createControls();
    createMenus();
    createToolbar();

    resize(client_->width(), client_->height() + menuBar()->sizeHint().height());
}

frmMain::~frmMain()
{
    cycle_->stop();
    runtime::Forms::unloaded(this);
}

void frmMain::createControls()
{
    client_ = new QWidget(this);
    client_->setObjectName(QStringLiteral("client"));
    setCentralWidget(client_);
    client_->setMinimumSize(0, 0);
    client_->resize(runtime::twipsToPixelsX(ClientWidthTwips, this),
                    runtime::twipsToPixelsY(ClientHeightTwips, this));
    client_->installEventFilter(this);

    auto place = [this](QWidget* w, const char* name, int left, int top, int width, int height) {
        w->setObjectName(QLatin1String(name));
        w->setGeometry(twipsRect(left, top, width, height, this));
    };

    sbStatusBar = new StatusPanels(client_);
    place(sbStatusBar, "sbStatusBar", 0, 7910, 15120, 270);
    tbToolBar = new QToolBar(client_);
    place(tbToolBar, "tbToolBar", 0, 0, 15120, 280);
    brwWebBrowser = new PageView(client_);
    place(brwWebBrowser, "brwWebBrowser", 1920, 960, 11650, 4570);
    cboAddress = new QComboBox(client_);
    place(cboAddress, "cboAddress", 1920, 360, 11650, 280);
    cboAddress->setEditable(true);
    // Typing or choosing an address loads nothing and adds nothing.
    cboAddress->setInsertPolicy(QComboBox::NoInsert);
    btnFileWrite = new QPushButton(QStringLiteral("Start Logging"), client_);
    place(btnFileWrite, "btnFileWrite", 1920, 5760, 1690, 730);
    btnStop = new QPushButton(QStringLiteral("Stop Program"), client_);
    place(btnStop, "btnStop", 11760, 5760, 1690, 730);
    txtSensorNum = new QLineEdit(client_);
    place(txtSensorNum, "txtSensorNum", 360, 2280, 1090, 610);
    Label1 = new QLabel(QStringLiteral("Sensor Number"), client_);
    place(Label1, "Label1", 360, 1920, 1210, 250);
    txtTemperature = new QLineEdit(client_);
    place(txtTemperature, "txtTemperature", 360, 3360, 1090, 610);
    Label2 = new QLabel(QStringLiteral("Temperature"), client_);
    place(Label2, "Label2", 360, 3120, 1210, 250);
    txtFileName = new QLineEdit(client_);
    place(txtFileName, "txtFileName", 3840, 5760, 3970, 300);
    txtRecNum = new QLineEdit(client_);
    place(txtRecNum, "txtRecNum", 3840, 6240, 850, 300);
    Label3 = new QLabel(QStringLiteral("Records Written"), client_);
    place(Label3, "Label3", 4800, 6240, 850, 370);
    Label3->setWordWrap(true);
    Label3->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    for (QLabel* l : {Label1, Label2}) {
        l->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        // A desktop font wider than the design font would clip the caption: let the label grow to the right.
        l->resize(std::max(l->width(), l->sizeHint().width()), l->height());
    }

    // Only these take focus, in this order; the bars and labels take none.
    sbStatusBar->setFocusPolicy(Qt::NoFocus);
    tbToolBar->setFocusPolicy(Qt::NoFocus);
    QWidget* order[] = {brwWebBrowser, cboAddress,     btnFileWrite, btnStop,
                        txtSensorNum,  txtTemperature, txtFileName,  txtRecNum};
    for (std::size_t i = 0; i + 1 < std::size(order); ++i)
        setTabOrder(order[i], order[i + 1]);

    connect(btnStop, &QPushButton::clicked, this, &frmMain::btnStop_Click);
    connect(btnFileWrite, &QPushButton::clicked, this, &frmMain::btnFileWrite_Click);
}

void frmMain::layoutEdgeBars()
{
    const int w = client_->width();
    tbToolBar->setGeometry(0, 0, w, runtime::twipsToPixelsY(280, this));
    const int barHeight = runtime::twipsToPixelsY(270, this);
    sbStatusBar->setGeometry(0, client_->height() - barHeight, w, barHeight);
}

bool frmMain::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == client_ && event->type() == QEvent::Resize)
        layoutEdgeBars();
    return QMainWindow::eventFilter(watched, event);
}

void frmMain::Show()
{
    if (!loaded_) {
        loaded_ = true;
        runtime::Forms::loaded(this);
        Form_Load();
        return;
    }
    if (!unloaded_)
        setVisible(true);
}

void frmMain::Form_Load()
{
    // A setting that cannot be used is told, and the program ends before any request.
    const auto refuse = [](const QString& message) {
        runtime::MessageBox::show(message, runtime::MsgStyle::Critical);
        runtime::ProcessControl::endProcess(EXIT_FAILURE);
    };
    const auto address = acquisition::loadAdapterAddress();
    if (!address.address)
        return refuse(address.error);
    const auto list = acquisition::loadSensorListSetting();
    if (!list.error.isEmpty())
        return refuse(list.error);
    if (list.sensors)
        cycle_->setSensors(*list.sensors);
    cycle_->start(*address.address);
}

// What the cycle tells

void frmMain::onSlotStarted(const QString& text)
{
    loadedPage_ = nullptr; // the page component's document goes with the request
    cboAddress->setEditText(text);
    cboAddress->addItem(cboAddress->currentText());
    while (cboAddress->count() > AddressListLimit) {
        // Removing the current entry would put another entry's text in the box.
        const QString current = cboAddress->currentText();
        cboAddress->removeItem(0);
        cboAddress->setEditText(current);
    }
}

void frmMain::onSensorRead(const acquisition::SensorReading& reading)
{
    brwWebBrowser->showHtml(loadedPage_ ? loadedPage_->displayHtml() : QString());
    Show();
    txtSensorNum->setText(runtime::integerToText(static_cast<std::int16_t>(reading.slot + 1)));
    txtTemperature->setText(runtime::singleToText(reading.value));
}

void frmMain::onSweepCompleted(const acquisition::SweepReport& sweep)
{
    // Logging was on for this sweep.
    if (!sweep.recordWritten)
        return;
    sbStatusBar->setStatusText(sweep.logNotice);
    txtRecNum->setText(runtime::integerToText(sweep.recordNumber));
}

std::int16_t frmMain::LoggingActive() const
{
    return log_.LoggingActive();
}

// Logging

void frmMain::btnFileWrite_Click()
{
    if (log_.LoggingActive() != 0) {
        log_.close();
        btnFileWrite->setText(QStringLiteral("Start Logging"));
        // A failure reported on closing is a loss too; the losses stay shown until the next start.
        if (log_.lostRecords() > 0)
            sbStatusBar->setStatusText(log_.report());
        return;
    }
    dlgCommonDialog->setFilter(QStringLiteral("all Files | *.*"));
    // A cancel never ends the program here, whatever an earlier command left in CancelError.
    (void)dlgCommonDialog->ShowOpen(this);
    const QString name = dlgCommonDialog->FileName();
    if (name.isEmpty())
        return;
    // A file that cannot be opened leaves logging off and the sweep running.
    if (const auto error = log_.open(name)) {
        runtime::MessageBox::show(error->reason, runtime::MsgStyle::Exclamation);
        return;
    }
    txtFileName->setText(name);
    btnFileWrite->setText(QStringLiteral("Stop Logging"));
    // A new logging period starts with no losses to tell.
    sbStatusBar->setStatusText(QString());
}

// Lifetime

bool frmMain::Form_Unload()
{
    const int n = runtime::Forms::count() - 1;
    for (int i = n; i >= 1; --i)
        if (QWidget* form = runtime::Forms::at(i); form && form != this)
            form->close();

    if (isMinimized())
        return true;

    const QRect bounds = frameGeometry();
    // Whole twips, so the single-precision text never carries a decimal separator.
    namespace keys = runtime::settingskeys;
    const std::pair<QLatin1StringView, int> values[] = {
        {keys::MainLeft, runtime::pixelsToTwipsX(bounds.x(), this)},
        {keys::MainTop, runtime::pixelsToTwipsY(bounds.y(), this)},
        {keys::MainWidth, runtime::pixelsToTwipsX(bounds.width(), this)},
        {keys::MainHeight, runtime::pixelsToTwipsY(bounds.height(), this)},
    };
    for (const auto& [key, twips] : values) {
        const QString text = runtime::singleToText(static_cast<float>(twips));
        if (const auto error =
                runtime::SettingsStore::saveSetting(runtime::AppInfo::title(), keys::Settings, key, text)) {
            runtime::unhandledError(error->reason);
            return false;
        }
    }
    return true;
}

void frmMain::unloadWindow()
{
    cycle_->stop();
    brwWebBrowser->dropPending();
    unloaded_ = true;
    if (!Form_Unload()) {
        ending_ = true;
        return;
    }
    runtime::Forms::unloaded(this);
    hide();
}

void frmMain::endProgram(bool closeLogFirst)
{
    if (ending_)
        return;
    if (closeLogFirst && log_.LoggingActive() == -1)
        log_.close();
    unloadWindow();
    if (ending_)
        return;
    ending_ = true;
    log_.close();
    runtime::ProcessControl::endProcess(EXIT_SUCCESS);
}

void frmMain::btnStop_Click()
{
    endProgram(true);
}

void frmMain::mnuFileExit_Click()
{
    endProgram(false);
}

void frmMain::closeEvent(QCloseEvent* event)
{
    // Closing is never refused: the close box ends the program as File > Exit does.
    event->accept();
    endProgram(false);
}

} // namespace quorvel::mainwindow
