#include "statuspanels.h"

#include "runtime/localeformats.h"
#include "runtime/twips.h"

#include <QDateTime>
#include <QLabel>

namespace quorvel::mainwindow {

namespace {
constexpr int MinimumPanelTwips = 1440;

QLabel* panel(const QString& name, QWidget* parent)
{
    auto* label = new QLabel(parent);
    label->setObjectName(name);
    label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    label->setMinimumWidth(runtime::twipsToPixelsX(MinimumPanelTwips, parent));
    label->setContentsMargins(3, 0, 3, 0);
    return label;
}
} // namespace

StatusPanels::StatusPanels(QWidget* parent)
    : QStatusBar(parent), text_(panel(QStringLiteral("sbPanelStatus"), this)),
      date_(panel(QStringLiteral("sbPanelDate"), this)), time_(panel(QStringLiteral("sbPanelTime"), this))
{
    setSizeGripEnabled(false);
    addPermanentWidget(text_, 1);
    addPermanentWidget(date_);
    addPermanentWidget(time_);
    text_->setText(QStringLiteral("Status"));
    date_->setAlignment(Qt::AlignCenter);
    time_->setAlignment(Qt::AlignCenter);

    tick_.setSingleShot(true);
    tick_.setTimerType(Qt::PreciseTimer);
    connect(&tick_, &QTimer::timeout, this, &StatusPanels::refreshClock);
    refreshClock();
}

void StatusPanels::setStatusText(const QString& text)
{
    text_->setText(text.isEmpty() ? QStringLiteral("Status") : text);
    text_->setToolTip(text);
}

void StatusPanels::refreshClock()
{
    const QDateTime now = QDateTime::currentDateTime();
    const QLocale locale;
    date_->setText(locale.toString(now.date(), runtime::shortDateFormat(locale)));
    time_->setText(locale.toString(now.time(), runtime::shortTimeFormat(locale)));
    // Wake just after the next minute begins, and not before.
    const QTime t = now.time();
    const int msToNextMinute = 60000 - (t.second() * 1000 + t.msec()) + 20;
    tick_.start(msToNextMinute);
}

} // namespace quorvel::mainwindow
