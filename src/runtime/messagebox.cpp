#include "messagebox.h"

#include "appinfo.h"
#include "modaltracker.h"
#include "processcontrol.h"

#include <QApplication>
#include <QMessageBox>

#include <cstdlib>
#include <utility>

namespace quorvel::runtime {

namespace {

MessageBox::Presenter& presenter()
{
    static MessageBox::Presenter p;
    return p;
}

QMessageBox::StandardButtons buttonsFor(int style)
{
    switch (style & 0x0F) {
    case MsgStyle::OkCancel:
        return QMessageBox::Ok | QMessageBox::Cancel;
    case MsgStyle::YesNo:
        return QMessageBox::Yes | QMessageBox::No;
    default:
        return QMessageBox::Ok;
    }
}

QMessageBox::Icon iconFor(int style)
{
    switch (style & 0x70) {
    case MsgStyle::Critical:
        return QMessageBox::Critical;
    case MsgStyle::Question:
        return QMessageBox::Question;
    case MsgStyle::Exclamation:
        return QMessageBox::Warning;
    case MsgStyle::Information:
        return QMessageBox::Information;
    default:
        return QMessageBox::NoIcon;
    }
}

int resultFor(int button)
{
    switch (button) {
    case QMessageBox::Cancel:
        return MsgResult::Cancel;
    case QMessageBox::Yes:
        return MsgResult::Yes;
    case QMessageBox::No:
        return MsgResult::No;
    default:
        return MsgResult::Ok;
    }
}

} // namespace

int MessageBox::show(const QString& prompt, int style, const QString& title, QWidget* parent)
{
    MessageRequest request{prompt, style, title.isEmpty() ? AppInfo::title() : title};
    ModalScope modal;
    if (presenter())
        return presenter()(request);

    QMessageBox box(iconFor(style), request.title, request.prompt, buttonsFor(style),
                    parent ? parent : QApplication::activeWindow());
    box.setObjectName(QStringLiteral("quorvelMessageBox"));
    return resultFor(box.exec());
}

void MessageBox::setPresenter(Presenter p)
{
    presenter() = std::move(p);
}
void MessageBox::resetPresenter()
{
    presenter() = nullptr;
}

void unhandledError(const QString& description)
{
    MessageBox::show(description, MsgStyle::OkOnly | MsgStyle::Critical);
    ProcessControl::endProcess(EXIT_FAILURE);
}

} // namespace quorvel::runtime
