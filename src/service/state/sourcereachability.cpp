#include "service/state/sourcereachability.h"

#include <algorithm>

namespace quorvel::service {

SourceReachability::SourceReachability(int sensorCount, runtime::MessageSink messages, QObject* parent)
    : QObject(parent), messages_(std::move(messages))
{
    setSensorCount(sensorCount);
}

void SourceReachability::setSensorCount(int sensorCount)
{
    threshold_ = std::clamp(sensorCount, 1, UnreachableAfter);
}

void SourceReachability::onRead(const acquisition::SensorReading& reading)
{
    if (reading.gotAnswer()) {
        noAnswerRun_ = 0;
        silentSince_ = {};
        if (!reachable_) {
            reachable_ = true;
            messages_(QStringLiteral("the %1 at %2 answers again").arg(noun_, reading.source));
            emit reachableAgain(reading.source);
        }
        return;
    }
    if (noAnswerRun_++ == 0)
        silentSince_ = reading.requested.isValid() ? reading.requested : reading.when;
    if (reachable_ && noAnswerRun_ >= threshold_) {
        reachable_ = false;
        messages_(
            QStringLiteral("the %1 at %2 is unreachable: %3").arg(noun_, reading.source, reading.reason));
        emit unreachable(reading.source, reading.reason, silentSince_);
    }
}

} // namespace quorvel::service
