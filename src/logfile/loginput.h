#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QFile>
#include <QString>

#include <memory>

namespace quorvel::logfile {

// One log file as a stream of lines: a plain file, a gzip-compressed one (rotated logs, recognised by its
// first bytes, several members one after the other as gzip allows), or "-" for standard input. Lines end
// in CR LF, LF or a lone CR, also where a chunk ends between CR and LF; a line longer than MaxLineBytes
// is not kept, only its length.
class LogInput {
public:
    static constexpr qsizetype MaxLineBytes = 4096;

    LogInput();
    ~LogInput();
    LogInput(const LogInput&) = delete;
    LogInput& operator=(const LogInput&) = delete;

    // Opens path ("-": standard input, whose bytes can be replayed once, see replay()). An empty error
    // on success.
    [[nodiscard]] QString open(const QString& path);
    // Standard input again from its start, for a second pass: what the first pass read was kept.
    [[nodiscard]] QString reopen();
    // Keeps what is read from standard input from here on, for reopen().
    void keepStandardInput(bool keep) { keep_ = keep; }

    // The next line without its line end; false at the end of the input (or on a read error, see error()).
    // length is the line's true length, also where only the first MaxLineBytes + 1 bytes are in line.
    [[nodiscard]] bool nextLine(QByteArrayView& line, qsizetype& length);
    [[nodiscard]] qsizetype lineNumber() const { return lineNumber_; }
    [[nodiscard]] const QString& error() const { return error_; }

    // A plain file can be searched: these read the first whole line at or after offset, or the last
    // line, without disturbing the stream (before the first nextLine()).
    [[nodiscard]] bool searchable() const { return searchable_; }
    [[nodiscard]] qint64 size() const;
    [[nodiscard]] QByteArray lineAfter(qint64 offset, qint64* lineStart);
    // Starts the stream at offset (a line start found by lineAfter) and ends it before end; lineNumber()
    // then counts from the start of the file only where the offset is 0.
    void setRange(qint64 offset, qint64 end);

private:
    // Fills buffer_ with more bytes; false at the end.
    bool fill();
    qint64 readRaw(char* data, qint64 max);

    QString path_;
    QFile file_;
    bool standardInput_ = false;
    bool searchable_ = false;
    bool keep_ = false;
    QByteArray kept_;     // standard input read so far, for reopen()
    qint64 replayed_ = 0; // how much of kept_ the second pass has read
    bool replaying_ = false;
    qint64 end_ = -1;     // stop before this offset of the file, or never
    qint64 position_ = 0; // raw bytes read from the file
    struct Inflater;
    std::unique_ptr<Inflater> inflater_;
    bool checkedMagic_ = false;
    QByteArray raw_;    // raw bytes read ahead while checking for gzip
    QByteArray buffer_; // decoded bytes not yet split into lines
    qsizetype start_ = 0;
    bool eof_ = false;
    bool skipLf_ = false; // the last line ended in CR at the end of a chunk
    QByteArray long_;     // the kept start of a line that spans chunks
    qsizetype lineNumber_ = 0;
    QString error_;
};

} // namespace quorvel::logfile
