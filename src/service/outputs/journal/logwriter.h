#pragma once

#include "runtime/error.h"

#include <QByteArray>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QString>

#include <functional>
#include <memory>
#include <thread>
#include <vector>

namespace quorvel::service {

// One log file's own thread: the window's log session, driven from a bounded queue in the order things
// were handed in, so a write or a flush that takes long (or never returns) holds up nothing but this file.
// What each step came to waits in a list for the owner's thread, which is woken once when the list fills.
class LogWriter {
public:
    enum class Step { Write, Reopen, Close };
    struct Done {
        Step step = Step::Write;
        runtime::Error error; // the write's or the reopen's
        qint64 lost = 0;      // records lost by this step
        QString notice;       // the session's report after it
        QDateTime newFileStarted;
    };

    // Records waiting at most; a file that takes none for this many sweeps is lost for the moment.
    static constexpr qsizetype Capacity = 256;

    // standardOutput: the path is the process's standard output, whatever kind of file that is.
    LogWriter(QString path, bool standardOutput);
    // The thread ends after what is queued; one stuck in the file is left to end on its own.
    ~LogWriter();

    LogWriter(const LogWriter&) = delete;
    LogWriter& operator=(const LogWriter&) = delete;

    // On the caller's thread, before the writer starts, so a log that cannot be opened stops the start.
    [[nodiscard]] runtime::Error open();
    // Called on the writer's thread when results begin to wait; it must only post to the owner.
    void setWake(std::function<void()> wake);
    // A record (one whole line) to append; false when the queue is full and the record is not taken.
    [[nodiscard]] bool write(QByteArray line);
    void reopen();
    // Closes after what is queued; nothing is taken after it.
    void close();
    [[nodiscard]] std::vector<Done> take();
    // When the step in hand began; null while the thread waits for work.
    [[nodiscard]] QDateTime busySince() const;
    // Every step handed in is done (its result may still wait in take()).
    [[nodiscard]] bool idle() const;
    // Waits until every step handed in is done, or until the deadline; the records still queued then are
    // taken back and counted.
    [[nodiscard]] qsizetype finish(QDeadlineTimer deadline);

private:
    struct Shared;
    std::shared_ptr<Shared> shared_;
    std::thread thread_;
};

} // namespace quorvel::service
