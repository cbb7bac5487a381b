#include "frmabout.h"

#include "iconpaths.h"
#include "runtime/appinfo.h"
#include "runtime/forms.h"
#include "runtime/messagebox.h"
#include "runtime/modaltracker.h"
#include "runtime/processlauncher.h"
#include "runtime/registrybackend.h"
#include "runtime/twips.h"

#include <QFileInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPushButton>

#include <array>
#include <exception>
#include <utility>

namespace quorvel::about {

using namespace quorvel::runtime;

namespace {

struct TwipsLine {
    int x1, y1, x2, y2;
    QRgb colour;
    int width; // pixels
};

// The etched rule between the text block and the buttons: a grey line with a white one just below it.
constexpr std::array<TwipsLine, 2> Line1{{
    {240, 2445, 5657, 2445, qRgb(255, 255, 255), 2},
    {225, 2430, 5657, 2430, qRgb(128, 128, 128), 1},
}};

constexpr int ClientWidthTwips = 5900;
constexpr int ClientHeightTwips = 3670;

const auto SysInfoLocationKey = QStringLiteral("SOFTWARE\\Microsoft\\Shared Tools Location");
const auto SysInfoLocationValue = QStringLiteral("MSINFO");
// Appended to the stored folder as it is, whether or not the folder already ends in a separator.
const auto SysInfoFile = QStringLiteral("\\MSINFO32.EXE");

void setBlackText(QLabel* label)
{
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, Qt::black);
    label->setPalette(palette);
}

QLabel* makeLabel(QWidget* parent, const QString& name, const QString& text)
{
    auto* label = new QLabel(text, parent);
    label->setObjectName(name);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setWordWrap(true);
    return label;
}

} // namespace

QPointer<frmAbout> frmAbout::shared_;

frmAbout::frmAbout(QWidget* owner)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                         Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint),
      registry_(RegistryBackend::createPlatform()), launcher_(ProcessLauncher::createSystem())
{
    setObjectName(QStringLiteral("frmAbout"));
    setWindowTitle(QStringLiteral("About Vintrel1"));
    setModal(true);

    picIcon = new QLabel(this);
    picIcon->setObjectName(QStringLiteral("picIcon"));
    picIcon->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    picIcon->setPixmap(QPixmap(QString::fromLatin1(icons::aboutIconPath)));
    // A picture box is a tab stop of its own, between System Info and OK.
    picIcon->setFocusPolicy(Qt::StrongFocus);

    cmdOK = new QPushButton(QStringLiteral("OK"), this);
    cmdOK->setObjectName(QStringLiteral("cmdOK"));
    cmdOK->setDefault(true);

    cmdSysInfo = new QPushButton(QStringLiteral("&System Info..."), this);
    cmdSysInfo->setObjectName(QStringLiteral("cmdSysInfo"));

    lblDescription = makeLabel(this, QStringLiteral("lblDescription"), QStringLiteral("App Description"));
    setBlackText(lblDescription);
    lblTitle = makeLabel(this, QStringLiteral("lblTitle"), QString());
    setBlackText(lblTitle);
    lblVersion = makeLabel(this, QStringLiteral("lblVersion"), QString());
    lblDisclaimer = makeLabel(this, QStringLiteral("lblDisclaimer"), QStringLiteral("Warning: ..."));
    setBlackText(lblDisclaimer);

    setTabOrder(cmdOK, cmdSysInfo);
    setTabOrder(cmdSysInfo, picIcon);

    connect(cmdOK, &QPushButton::clicked, this, &frmAbout::cmdOK_Click);
    connect(cmdSysInfo, &QPushButton::clicked, this, &frmAbout::cmdSysInfo_Click);

    placeControls();
}

frmAbout::~frmAbout()
{
    if (loaded_)
        Forms::unloaded(this);
}

frmAbout* frmAbout::instance(QWidget* owner)
{
    // Owned by its owner; without one it lives as long as the process, like the instance is meant to.
    if (!shared_)
        shared_ = new frmAbout(owner);
    return shared_;
}

int frmAbout::ShowModal(QWidget* owner)
{
    if (loaded_)
        return QDialog::Rejected;
    if (owner != parentWidget())
        setParent(owner, windowFlags());
    load();
    int result = QDialog::Rejected;
    {
        const ModalScope modal;
        // Centre over the owner on every opening, wherever the box was left last time.
        setAttribute(Qt::WA_Moved, false);
        result = exec();
    }
    unload();
    return result;
}

void frmAbout::load()
{
    placeControls();
    Form_Load();
    loaded_ = true;
    Forms::loaded(this);
    cmdOK->setFocus(Qt::OtherFocusReason);
}

void frmAbout::unload()
{
    loaded_ = false;
    Forms::unloaded(this);
}

void frmAbout::placeControls()
{
    setFixedSize(twipsToPixelsX(ClientWidthTwips, this), twipsToPixelsY(ClientHeightTwips, this));

    // The picture box grows to show the whole icon, which is larger than its stored size.
    QRect icon = twipsRect(240, 240, 360, 360, this);
    const QSize picture = picIcon->pixmap().size();
    icon.setSize(icon.size().expandedTo(picture));
    picIcon->setGeometry(icon);

    lblTitle->setGeometry(twipsRect(1050, 240, 4092, 480, this));
    lblVersion->setGeometry(twipsRect(1050, 780, 4092, 225, this));
    lblDescription->setGeometry(twipsRect(1050, 1125, 4092, 1170, this));
    lblDisclaimer->setGeometry(twipsRect(255, 2625, 3870, 825, this));
    cmdOK->setGeometry(twipsRect(4245, 2625, 1467, 345, this));
    cmdSysInfo->setGeometry(twipsRect(4260, 3075, 1452, 345, this));
}

void frmAbout::Form_Load()
{
    lblVersion->setText(QStringLiteral("Version ") + AppInfo::versionText());
    lblTitle->setText(AppInfo::title());
}

void frmAbout::cmdOK_Click()
{
    accept();
}

void frmAbout::cmdSysInfo_Click()
{
    StartSysInfo();
}

void frmAbout::StartSysInfo()
{
    QString ToolPath;
    bool started = false;
    try {
        // A path found under the first key is taken as the program itself, with no existence test.
        bool found = GetKeyValue(RegRoot::LocalMachine, QString::fromLatin1(SysInfoKey),
                                 QString::fromLatin1(SysInfoValue), ToolPath);
        if (!found &&
            GetKeyValue(RegRoot::LocalMachine, SysInfoLocationKey, SysInfoLocationValue, ToolPath)) {
            const QString tool = ToolPath + SysInfoFile;
            if (QFileInfo(tool).isFile()) {
                ToolPath = tool;
                found = true;
            }
        }
        // A value of another type leaves the path empty, and an empty path cannot be started.
        started = found && !ToolPath.isEmpty() && launcher_->startDetached(ToolPath);
    } catch (const std::exception&) {
        started = false;
    }
    if (!started)
        MessageBox::show(QStringLiteral("System Information Is Unavailable At This Time"), MsgStyle::OkOnly,
                         {}, this);
}

bool frmAbout::GetKeyValue(RegHandle KeyRoot, const QString& KeyName, const QString& SubKeyRef,
                           QString& KeyVal)
{
    return readRegistryValue(*registry_, KeyRoot, KeyName, SubKeyRef, KeyVal);
}

void frmAbout::setRegistryBackend(std::shared_ptr<RegistryBackend> backend)
{
    registry_ = std::move(backend);
}

void frmAbout::setProcessLauncher(std::shared_ptr<ProcessLauncher> launcher)
{
    launcher_ = std::move(launcher);
}

void frmAbout::paintEvent(QPaintEvent* event)
{
    QDialog::paintEvent(event);
    QPainter painter(this);
    // Filled rows rather than pens, so each line lands on exactly its own pixel rows at any width.
    for (const TwipsLine& line : Line1) {
        const int x1 = twipsToPixelsX(line.x1, this);
        const int x2 = twipsToPixelsX(line.x2, this);
        const int y = twipsToPixelsY(line.y1, this);
        painter.fillRect(QRect(x1, y, x2 - x1, line.width), QColor(line.colour));
    }
}

void frmAbout::keyPressEvent(QKeyEvent* event)
{
    // Escape presses OK: the box has no cancel of its own.
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        cmdOK->click();
        return;
    }
    QDialog::keyPressEvent(event);
}

} // namespace quorvel::about
