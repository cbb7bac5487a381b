#include "csvoutput.h"

#include "logfile/csvexport.h"

#include <algorithm>

namespace quorvel::logtool {

namespace {

// While the records leave the sample's locale in doubt, rows wait (up to this bound), so a pass that
// turns out to be in another locale has written nothing.
constexpr qsizetype Held = qsizetype(8) << 20;

} // namespace

CsvOutput::CsvOutput(const LogPasses& passes, const QString& path, QIODevice& out, QIODevice& err)
    : passes_(passes), path_(path), file_(path), out_(out), err_(err), toFile_(!path.isEmpty())
{
}

bool CsvOutput::begin()
{
    if (toFile_ && !file_.isOpen() && !file_.open(QIODevice::WriteOnly)) {
        write(err_,
              QStringLiteral("quorvel3-logtool: %1: cannot write: %2\n").arg(path_, file_.errorString()));
        return false;
    }
    columns_ = -1;
    return true;
}

void CsvOutput::add(const acquisition::LogRecord& record)
{
    widest_ = std::max(widest_, record.readings.size());
    if (columns_ < 0) {
        columns_ = std::max(atLeast_, record.readings.size());
        pending_ += logfile::CsvExport::header(columns_, passes_.names());
    }
    if (record.readings.size() > columns_)
        wider_ = true;
    logfile::CsvExport::appendRow(pending_, record, columns_);
    flush(false);
}

QString CsvOutput::kept() const
{
    if (toFile_ || !flushed_)
        return {};
    return wider_ ? QStringLiteral("quorvel3-logtool: a later record has more readings than the first, so "
                                   "the csv header is short of columns; write it with -o FILE\n")
                  : QStringLiteral("quorvel3-logtool: the later records read best in another locale than "
                                   "the first ones; give it with --locale, or write with -o FILE\n");
}

void CsvOutput::drop()
{
    if (toFile_) {
        file_.cancelWriting();
        file_.commit();
    }
    pending_.clear();
    atLeast_ = std::max(atLeast_, widest_);
    wider_ = false;
}

bool CsvOutput::finish()
{
    const QStringList& names = passes_.names();
    if (columns_ < 0)
        pending_ += logfile::CsvExport::header(
            names.isEmpty() ? qsizetype(acquisition::LogRecord::ReadingCount) : names.size(), names);
    flush(true);
    if (toFile_ && (!written_ || !file_.commit())) {
        write(err_,
              QStringLiteral("quorvel3-logtool: %1: cannot write: %2\n").arg(path_, file_.errorString()));
        return false;
    }
    return written_;
}

void CsvOutput::flush(bool all)
{
    if (pending_.size() < (all ? 1 : 1 << 20) || (!all && pending_.size() < Held && passes_.held()))
        return;
    QIODevice& device = toFile_ ? static_cast<QIODevice&>(file_) : out_;
    flushed_ = true;
    written_ = written_ && device.write(pending_) == pending_.size();
    pending_.clear();
}

} // namespace quorvel::logtool
