#pragma once

#include "runtime/messagesink.h"
#include "service/outputs/journal/logwriter.h"
#include "service/state/sensorstate.h"

#include "acquisition/sensortable.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QLocale>
#include <QObject>
#include <QString>
#include <QTimer>

namespace quorvel::service {

// The service's log: each sweep's line made here, at the sweep's time, and written in order on the file's
// own thread (the window's log session, opened by its path again on request or when a reopen left it
// closed), so a slow or hung file holds up no source but its own. A source waits for its log while the disk
// keeps up (holdsSweeps() until released()), so a source faster than its disk is paced by it and loses
// nothing; a log that has not caught up after StalledAfterMs releases its source, which sweeps on (its
// readings still reach every other output) while the records queue up to the bound and the rest are lost.
// Failures, a full queue and a stall are each told once when they begin and once when they end; what
// became of each record is handed on when the writer knows it.
class ServiceLog final : public QObject {
    Q_OBJECT
public:
    // A log that has not caught up after this is stalled: told, its source released, and the source's state
    // says since when.
    static constexpr int StalledAfterMs = 5000;
    // The stop waits this long, for every log together, for what is queued.
    static constexpr int FinishWaitMs = 5000;

    // standardOutput: the path is the device of standard output, whatever kind of file it is.
    ServiceLog(QString path, bool standardOutput, const QLocale& locale, runtime::MessageSink messages,
               QObject* parent = nullptr);
    ~ServiceLog() override;

    [[nodiscard]] runtime::Error open();
    void write(const acquisition::SensorReadings& readings, const QDateTime& when);
    // Records are still on their way to the disk and the log is not stalled: the source waits for released().
    [[nodiscard]] bool holdsSweeps() const { return !stalledSince_.isValid() && !writer_.idle(); }
    // Opens the path anew after what is queued; a failure is told, and the next record tries again.
    void reopen() { writer_.reopen(); }
    // Closes the file after what is queued, without waiting for it.
    void close() { writer_.close(); }
    // Waits for what is queued until the deadline and hands on what came of it; what still waits then is
    // lost, and told.
    void finish(QDeadlineTimer deadline);
    [[nodiscard]] const QString& path() const { return path_; }

signals:
    void recorded(const quorvel::service::LogOutcome& outcome);
    // The log caught up, or gave up waiting for its disk: the source may sweep on.
    void released();

private:
    void takeResults();
    void noteWrite(bool written, const QString& said, const QDateTime& newFileStarted);
    // A write overdue: told once, and handed on so the source's state shows it.
    void checkStalled();
    // The log did not catch up in time: stalled from now on, until it has.
    void onStallCheck();
    // Told and handed on once per stall.
    void markStalled();
    [[nodiscard]] QString stallNotice() const;

    QString path_;
    QLocale locale_;
    runtime::MessageSink messages_;
    LogWriter writer_;
    QTimer stallCheck_;
    qint64 turnedAway_ = 0;  // records a full queue did not take, since it filled
    QDateTime stalledSince_; // the overdue write's start, once told
    bool writeFailing_ = false;
    bool finished_ = false;
    QDateTime newFileNoted_;
};

} // namespace quorvel::service
