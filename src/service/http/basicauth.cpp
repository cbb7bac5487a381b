#include "service/http/basicauth.h"

#include <crypt.h>

#include <cstring>

namespace quorvel::service {

BasicAuth::BasicAuth(QMap<QString, QByteArray> users, QObject* parent)
    : QObject(parent), users_(std::move(users))
{
    pool_.setMaxThreadCount(1);
}

BasicAuth::~BasicAuth()
{
    pool_.clear();
    pool_.waitForDone();
}

bool BasicAuth::matches(const QByteArray& password, const QByteArray& hash)
{
    crypt_data data{};
    const char* result = crypt_r(password.constData(), hash.constData(), &data);
    return result && std::strlen(result) == std::size_t(hash.size()) &&
           std::memcmp(result, hash.constData(), std::size_t(hash.size())) == 0;
}

std::optional<bool> BasicAuth::verdict(const QByteArray& authorization)
{
    if (const auto known = known_.constFind(authorization); known != known_.constEnd())
        return *known;
    if (pending_.contains(authorization))
        return std::nullopt;
    const QByteArray scheme = authorization.left(6);
    if (scheme.compare("Basic ", Qt::CaseInsensitive) != 0)
        return false;
    const QByteArray decoded = QByteArray::fromBase64(authorization.mid(6).trimmed());
    const qsizetype colon = decoded.indexOf(':');
    if (colon < 0)
        return false;
    const auto hash = users_.constFind(QString::fromUtf8(decoded.left(colon)));
    if (hash == users_.constEnd()) {
        remember(authorization, false);
        return false;
    }
    if (pending_.size() >= QueuedChecks)
        return false;
    pending_.insert(authorization, true);
    pool_.start([this, authorization, password = decoded.mid(colon + 1), hash = *hash] {
        const bool allowed = matches(password, hash);
        QMetaObject::invokeMethod(
            this,
            [this, authorization, allowed] {
                pending_.remove(authorization);
                remember(authorization, allowed);
                emit checked(authorization, allowed);
            },
            Qt::QueuedConnection);
    });
    return std::nullopt;
}

void BasicAuth::remember(const QByteArray& authorization, bool allowed)
{
    if (!known_.contains(authorization))
        order_.append(authorization);
    known_.insert(authorization, allowed);
    while (order_.size() > CachedHeaders)
        known_.remove(order_.takeFirst());
}

} // namespace quorvel::service
