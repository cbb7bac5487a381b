#pragma once

#include "logpasses.h"

#include <QByteArray>
#include <QIODevice>
#include <QSaveFile>
#include <QString>

namespace quorvel::logtool {

// The csv command's rows, written as the records are read: to the output file, replaced only once it is
// complete, or to standard output.
class CsvOutput final : public RecordSink {
public:
    // path: the output file, empty for out.
    CsvOutput(const LogPasses& passes, const QString& path, QIODevice& out, QIODevice& err);

    [[nodiscard]] bool begin() override;
    void add(const acquisition::LogRecord& record) override;
    // A record had more readings than the header has columns.
    [[nodiscard]] bool again() const override { return wider_; }
    [[nodiscard]] QString kept() const override;
    void drop() override;
    // After the last pass: the rest written and the file put in place; false after saying why not.
    [[nodiscard]] bool finish();

private:
    void flush(bool all);

    const LogPasses& passes_;
    QString path_;
    QSaveFile file_;
    QIODevice& out_;
    QIODevice& err_;
    bool toFile_;
    QByteArray pending_;
    bool written_ = true;
    bool flushed_ = false;
    qsizetype columns_ = -1; // the header's sensor columns, once written
    qsizetype atLeast_ = 0;  // the widest record of a pass whose header was too narrow
    qsizetype widest_ = 0;
    bool wider_ = false; // a record has more readings than the header
};

} // namespace quorvel::logtool
