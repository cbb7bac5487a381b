#include "commondialog.h"

#include "modaltracker.h"

#include <QFileDialog>
#include <QFileSystemModel>
#include <QPrintDialog>
#include <QPrinter>
#include <QRegularExpression>

namespace quorvel::runtime {

namespace {

// The form QFileDialog reads a filter in: anything, then the patterns in parentheses at the very end.
// Text that does not match is taken as a blank-separated pattern list as a whole.
const QRegularExpression& qtFilterForm()
{
    static const QRegularExpression form(
        QStringLiteral("^(.*)\\(([a-zA-Z0-9_.,*? +;#\\-\\[\\]@\\{\\}/!<>\\$%&=^~:\\|]*)\\)$"));
    return form;
}

QStringList patternsOf(const QString& text)
{
    return text.split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

QString nameFilterFor(const QString& description, const QString& pattern)
{
    QString patterns = pattern;
    patterns.replace(QLatin1Char(';'), QLatin1Char(' '));
    if (patterns.trimmed().isEmpty())
        patterns = QStringLiteral("*");
    if (description.trimmed().isEmpty())
        return patterns.trimmed();

    // "All Files (*.*)" with pattern "*.*" already says what it matches.
    QString bare = description;
    while (!bare.isEmpty() && bare.back().isSpace())
        bare.chop(1);
    const QRegularExpressionMatch own = qtFilterForm().match(bare);
    if (own.hasMatch() && patternsOf(own.captured(2)) == patternsOf(patterns))
        return bare;

    const QString entry = description + QStringLiteral(" (") + patterns + QLatin1Char(')');
    if (qtFilterForm().match(entry).hasMatch())
        return entry;
    // Characters the dialog cannot read inside parentheses: give it the patterns alone.
    return patterns.trimmed();
}

} // namespace

QStringList toNameFilters(const QString& filter)
{
    QStringList result;
    if (filter.isEmpty())
        return result;
    const QStringList pieces = filter.split(QLatin1Char('|'));
    for (qsizetype i = 0; i < pieces.size(); i += 2) {
        const QString& description = pieces.at(i);
        const QString pattern = i + 1 < pieces.size() ? pieces.at(i + 1) : QString();
        if (description.trimmed().isEmpty() && pattern.trimmed().isEmpty())
            continue;
        result.append(nameFilterFor(description, pattern));
    }
    return result;
}

QStringList filePatterns(const QString& nameFilter)
{
    const QRegularExpressionMatch form = qtFilterForm().match(nameFilter);
    const QStringList given = patternsOf(form.hasMatch() ? form.captured(2) : nameFilter);
    QStringList result;
    for (QString pattern : given) {
        result.append(pattern);
        // The extension of "name.*" may be empty, dot and all; so may each of "name.*.*".
        while (pattern.size() > 2 && pattern.endsWith(QLatin1String(".*"))) {
            pattern.chop(2);
            result.append(pattern);
        }
    }
    result.removeDuplicates();
    return result;
}

void setNameFilters(QFileDialog& dialog, const QString& filter)
{
    const QStringList filters = toNameFilters(filter);
    if (filters.isEmpty())
        return;
    dialog.setNameFilters(filters);
    // The dialog reads the patterns literally, so "*.*" would hide every name without a dot: after it
    // has applied the chosen filter, its file list gets the patterns as they were meant.
    auto* files = dialog.findChild<QFileSystemModel*>();
    if (!files)
        return;
    const auto apply = [&dialog, files] { files->setNameFilters(filePatterns(dialog.selectedNameFilter())); };
    apply();
    QObject::connect(&dialog, &QFileDialog::filterSelected, files, apply);
}

CommonDialog::CommonDialog(QObject* parent) : QObject(parent) {}

CommonDialog::~CommonDialog() = default;

QPrinter* CommonDialog::printer()
{
    if (!printer_)
        printer_ = std::make_unique<QPrinter>();
    return printer_.get();
}

bool CommonDialog::ShowOpen(QWidget* parent)
{
    QFileDialog dialog(parent);
    dialog.setObjectName(QLatin1String(FileDialogName));
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::AnyFile);
    if (!dialogTitle_.isEmpty())
        dialog.setWindowTitle(dialogTitle_);
    setNameFilters(dialog, filter_);
    if (!fileName_.isEmpty())
        dialog.selectFile(fileName_);

    int result = QDialog::Rejected;
    {
        ModalScope modal;
        result = dialog.exec();
    }
    if (result == QDialog::Accepted) {
        fileName_ = dialog.selectedFiles().value(0);
        return true;
    }
    fileName_.clear();
    return !cancelError_;
}

bool CommonDialog::ShowPrinter(QWidget* parent)
{
    QPrintDialog dialog(printer(), parent);
    dialog.setObjectName(QLatin1String(PrinterDialogName));
    if (!dialogTitle_.isEmpty())
        dialog.setWindowTitle(dialogTitle_);

    int result = QDialog::Rejected;
    {
        ModalScope modal;
        result = dialog.exec();
    }
    return result == QDialog::Accepted || !cancelError_;
}

} // namespace quorvel::runtime
