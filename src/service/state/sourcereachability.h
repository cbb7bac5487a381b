#pragma once

#include "runtime/messagesink.h"

#include "acquisition/sensorreading.h"

#include <QDateTime>
#include <QObject>

namespace quorvel::service {

// Tells when the adapter stops answering and when it answers again, from the reads alone. One sensor that
// never answers is that sensor's fault; the adapter counts as unreachable once several requests in a row,
// to different sensors, got no answer at all.
class SourceReachability : public QObject {
    Q_OBJECT
public:
    // Requests in a row without an answer after which the adapter is reported unreachable.
    static constexpr int UnreachableAfter = 3;

    // sensorCount bounds the run asked for, so a list of one or two sensors is judged too.
    SourceReachability(int sensorCount, runtime::MessageSink messages, QObject* parent = nullptr);

    void onRead(const acquisition::SensorReading& reading);
    // A source that found its sensors only now.
    void setSensorCount(int sensorCount);
    // What the messages call the source: "adapter" unless set ("bus", "server").
    void setNoun(const QString& noun) { noun_ = noun; }

    [[nodiscard]] bool isReachable() const { return reachable_; }
    // When the first request of the run without an answer went out; null while the adapter answers.
    [[nodiscard]] const QDateTime& silentSince() const { return silentSince_; }

signals:
    void unreachable(const QString& adapter, const QString& reason, const QDateTime& since);
    void reachableAgain(const QString& adapter);

private:
    int threshold_;
    runtime::MessageSink messages_;
    QString noun_ = QStringLiteral("adapter");
    bool reachable_ = true;
    int noAnswerRun_ = 0;
    QDateTime silentSince_;
};

} // namespace quorvel::service
