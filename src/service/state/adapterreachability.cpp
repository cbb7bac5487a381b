#include "service/state/adapterreachability.h"

#include <algorithm>

namespace quorvel::service {

AdapterReachability::AdapterReachability(int sensorCount, runtime::MessageSink messages, QObject* parent)
    : QObject(parent), messages_(std::move(messages))
{
    setSensorCount(sensorCount);
}

void AdapterReachability::setSensorCount(int sensorCount)
{
    threshold_ = std::clamp(sensorCount, 1, UnreachableAfter);
}

void AdapterReachability::onRead(const acquisition::SensorReading& reading)
{
    if (reading.gotAnswer()) {
        noAnswerRun_ = 0;
        silentSince_ = {};
        if (!reachable_) {
            reachable_ = true;
            messages_(QStringLiteral("the %1 at %2 answers again").arg(noun_, reading.adapter));
            emit reachableAgain(reading.adapter);
        }
        return;
    }
    if (noAnswerRun_++ == 0)
        silentSince_ = reading.requested.isValid() ? reading.requested : reading.when;
    if (reachable_ && noAnswerRun_ >= threshold_) {
        reachable_ = false;
        messages_(
            QStringLiteral("the %1 at %2 is unreachable: %3").arg(noun_, reading.adapter, reading.reason));
        emit unreachable(reading.adapter, reading.reason, silentSince_);
    }
}

} // namespace quorvel::service
