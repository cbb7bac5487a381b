#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>

class QFileDialog;
class QPrinter;
class QWidget;

namespace quorvel::runtime {

// "description|pattern|description|pattern" to QFileDialog name filters, blanks kept:
// "all Files | *.*" -> "all Files  ( *.*)". A description that already ends in the pattern in
// parentheses is used as it is ("All Files (*.*)|*.*" -> "All Files (*.*)"). Patterns separated by ";"
// become separate patterns. A description without a pattern matches every file; a pattern without a
// description is shown as itself. Empty text: no filters.
[[nodiscard]] QStringList toNameFilters(const QString& filter);

// The patterns one of those name filters selects files by: the ones in its parentheses (the whole text
// when it has none), read the way the filter text was written for: "*.*" matches every name, those
// without a dot too, and "name.*" also the bare "name".
[[nodiscard]] QStringList filePatterns(const QString& nameFilter);

// Gives dialog the name filters of filter and makes each, when chosen, select files by filePatterns().
void setNameFilters(QFileDialog& dialog, const QString& filter);

// The main window's one open-file and printer dialog. Its settings stay from one use to the next, so a
// user that sets only some of them sees the others as the previous user left them.
class CommonDialog : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString DialogTitle READ DialogTitle WRITE setDialogTitle)
    Q_PROPERTY(bool CancelError READ CancelError WRITE setCancelError)
    Q_PROPERTY(QString Filter READ Filter WRITE setFilter)
    Q_PROPERTY(QString FileName READ FileName WRITE setFileName)
public:
    static constexpr const char* FileDialogName = "dlgCommonDialogFile";
    static constexpr const char* PrinterDialogName = "dlgCommonDialogPrinter";

    explicit CommonDialog(QObject* parent = nullptr);
    ~CommonDialog() override;

    [[nodiscard]] QString DialogTitle() const { return dialogTitle_; }
    void setDialogTitle(const QString& title) { dialogTitle_ = title; }
    // Whether a cancel is reported as a failure (false result) by the show operations.
    [[nodiscard]] bool CancelError() const { return cancelError_; }
    void setCancelError(bool cancelError) { cancelError_ = cancelError; }
    [[nodiscard]] QString Filter() const { return filter_; }
    void setFilter(const QString& filter) { filter_ = filter; }
    [[nodiscard]] QString FileName() const { return fileName_; }
    void setFileName(const QString& fileName) { fileName_ = fileName; }

    // The open-file dialog, modal over parent. A name that does not exist yet may be chosen. Afterwards
    // FileName is the chosen full path, or empty after a cancel. False only for a cancel with
    // CancelError set.
    [[nodiscard]] bool ShowOpen(QWidget* parent);
    // The printer dialog on this object's printer. False only for a cancel with CancelError set.
    [[nodiscard]] bool ShowPrinter(QWidget* parent);

    // Created on first use: setting up a printer asks the print system, which can be slow.
    [[nodiscard]] QPrinter* printer();

private:
    QString dialogTitle_;
    bool cancelError_ = false;
    QString filter_;
    QString fileName_;
    std::unique_ptr<QPrinter> printer_;
};

} // namespace quorvel::runtime
