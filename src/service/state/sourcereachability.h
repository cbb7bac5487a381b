#pragma once

#include "acquisition/sensorreading.h"

#include <QDateTime>
#include <QString>

namespace quorvel::service {

// Whether a source answers, decided from its reads and its listings alone. One sensor that never answers
// is that sensor's fault; the source counts as unreachable once several requests in a row, to different
// sensors, got no answer at all, or once it could not list its sensors, until a listing succeeds again.
class SourceReachability {
public:
    // Requests in a row without an answer after which the source is unreachable.
    static constexpr int UnreachableAfter = 3;

    // sensorCount bounds the run asked for, so a list of one or two sensors is judged too.
    explicit SourceReachability(int sensorCount = 1) { setSensorCount(sensorCount); }
    // A source that found its sensors only now.
    void setSensorCount(int sensorCount);

    void onRead(const acquisition::SensorReading& reading);
    // True for the first failure since the sensors were last listed.
    bool onListFailed(const QString& reason, const QDateTime& when);
    void onListed();

    [[nodiscard]] bool reachable() const { return !readsDown_ && !listDown_; }
    // Whether the reads alone say it answers: what the journal tells.
    [[nodiscard]] bool answers() const { return !readsDown_; }
    // When the source stopped answering and why; null and empty while it answers.
    [[nodiscard]] QDateTime since() const;
    [[nodiscard]] QString reason() const;

private:
    int threshold_ = 1;
    int noAnswerRun_ = 0;
    QDateTime silentSince_; // the first request of the run without an answer
    bool readsDown_ = false;
    QString readsReason_;
    bool listDown_ = false;
    QDateTime listSince_;
    QString listReason_;
};

} // namespace quorvel::service
