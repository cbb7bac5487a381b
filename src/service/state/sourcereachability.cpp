#include "service/state/sourcereachability.h"

#include <algorithm>

namespace quorvel::service {

void SourceReachability::setSensorCount(int sensorCount)
{
    threshold_ = std::clamp(sensorCount, 1, UnreachableAfter);
}

void SourceReachability::onRead(const acquisition::SensorReading& reading)
{
    if (reading.gotAnswer()) {
        noAnswerRun_ = 0;
        silentSince_ = {};
        readsDown_ = false;
        readsReason_.clear();
        return;
    }
    if (noAnswerRun_++ == 0)
        silentSince_ = reading.requested.isValid() ? reading.requested : reading.when;
    if (!readsDown_ && noAnswerRun_ >= threshold_) {
        readsDown_ = true;
        readsReason_ = reading.reason;
    }
}

bool SourceReachability::onListFailed(const QString& reason, const QDateTime& when)
{
    if (listDown_)
        return false;
    listDown_ = true;
    listSince_ = when;
    listReason_ = reason;
    return true;
}

void SourceReachability::onListed()
{
    listDown_ = false;
    listSince_ = {};
    listReason_.clear();
}

QDateTime SourceReachability::since() const
{
    if (readsDown_)
        return silentSince_;
    return listSince_;
}

QString SourceReachability::reason() const
{
    return readsDown_ ? readsReason_ : listReason_;
}

} // namespace quorvel::service
