#include "service/http/basicauth.h"

#include <crypt.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <thread>

namespace quorvel::service {

// The running check hands its verdict back through this; once the owner is gone, nowhere.
struct BasicAuth::Relay {
    std::mutex mutex;
    BasicAuth* owner = nullptr;
};

BasicAuth::BasicAuth(QMap<QString, QByteArray> users, QObject* parent)
    : QObject(parent), users_(std::move(users)), relay_(std::make_shared<Relay>())
{
    relay_->owner = this;
}

BasicAuth::~BasicAuth()
{
    // A running check is not waited for: a stop must not wait on a bcrypt round.
    const std::lock_guard lock(relay_->mutex);
    relay_->owner = nullptr;
}

bool BasicAuth::matches(const QByteArray& password, const QByteArray& hash)
{
    crypt_data data{};
    const char* result = crypt_r(password.constData(), hash.constData(), &data);
    return result && std::strlen(result) == std::size_t(hash.size()) &&
           std::memcmp(result, hash.constData(), std::size_t(hash.size())) == 0;
}

std::optional<QString> BasicAuth::hashProblem(const QByteArray& hash)
{
    // $2a$, $2b$ or $2y$, a two-digit cost, then 53 characters of salt and digest in bcrypt's alphabet.
    const auto inAlphabet = [](char c) { return std::isalnum(uchar(c)) || c == '.' || c == '/'; };
    if (hash.size() != 60 || !hash.startsWith("$2") || !QByteArray("aby").contains(hash.at(2)) ||
        hash.at(3) != '$' || hash.at(6) != '$' || !std::isdigit(uchar(hash.at(4))) ||
        !std::isdigit(uchar(hash.at(5))) || !std::all_of(hash.begin() + 7, hash.end(), inAlphabet))
        return QStringLiteral("not a bcrypt hash");
    if (const int cost = hash.mid(4, 2).toInt(); cost < MinCost || cost > MaxCost)
        return QStringLiteral("bcrypt cost %1, outside %2 to %3").arg(cost).arg(MinCost).arg(MaxCost);
    return std::nullopt;
}

void BasicAuth::Remembered::add(const QByteArray& header)
{
    if (headers.contains(header))
        return;
    headers.insert(header);
    order.append(header);
    while (order.size() > CachedHeaders)
        headers.remove(order.takeFirst());
}

std::optional<bool> BasicAuth::verdict(const QByteArray& authorization, const QHostAddress& peer)
{
    if (right_.headers.contains(authorization))
        return true;
    if (wrong_.headers.contains(authorization) || givenUp_.remove(authorization))
        return false;
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
    // crypt(3) would end the password at a NUL, and "right\0junk" pass for "right".
    const QByteArray password = decoded.mid(colon + 1);
    if (hash == users_.constEnd() || password.contains('\0')) {
        wrong_.add(authorization);
        return false;
    }
    if (pending_.size() >= QueuedChecks) {
        // Room is made by the address with the most checks waiting, unless that is this one.
        const auto most = std::max_element(queue_.cbegin(), queue_.cend(), byWaiting());
        if (most == queue_.cend() || waitingFrom(most->peer) <= waitingFrom(peer))
            return false;
        giveUpOne(most->peer);
    }
    pending_.insert(authorization);
    queue_.append({authorization, password, *hash, peer});
    startNext();
    return std::nullopt;
}

qsizetype BasicAuth::waitingFrom(const QHostAddress& of) const
{
    return std::count_if(queue_.cbegin(), queue_.cend(), [&](const Check& c) { return c.peer == of; });
}

std::function<bool(const BasicAuth::Check&, const BasicAuth::Check&)> BasicAuth::byWaiting() const
{
    return [this](const Check& a, const Check& b) { return waitingFrom(a.peer) < waitingFrom(b.peer); };
}

void BasicAuth::giveUpOne(const QHostAddress& of)
{
    const auto newest =
        std::find_if(queue_.crbegin(), queue_.crend(), [&](const Check& c) { return c.peer == of; });
    const QByteArray authorization = newest->authorization;
    queue_.erase(std::next(newest).base());
    pending_.remove(authorization);
    if (givenUp_.size() >= CachedHeaders) // of connections gone before they asked again
        givenUp_.clear();
    givenUp_.insert(authorization);
    // Told from the loop's next turn, not from inside the verdict being asked for.
    QMetaObject::invokeMethod(
        this, [this, authorization] { emit checked(authorization, false); }, Qt::QueuedConnection);
}

void BasicAuth::startNext()
{
    if (running_ || queue_.isEmpty())
        return;
    // The address with the fewest checks waiting goes first: one that guesses waits behind its own.
    const auto next = std::min_element(queue_.cbegin(), queue_.cend(), byWaiting());
    Check check = *next;
    queue_.erase(next);
    running_ = true;
    std::thread([relay = relay_, check = std::move(check)] {
        const bool allowed = matches(check.password, check.hash);
        const std::lock_guard lock(relay->mutex);
        if (BasicAuth* owner = relay->owner)
            QMetaObject::invokeMethod(
                owner,
                [owner, authorization = check.authorization, allowed] {
                    owner->finished(authorization, allowed);
                },
                Qt::QueuedConnection);
    }).detach();
}

void BasicAuth::finished(const QByteArray& authorization, bool allowed)
{
    running_ = false;
    pending_.remove(authorization);
    (allowed ? right_ : wrong_).add(authorization);
    emit checked(authorization, allowed);
    startNext();
}

} // namespace quorvel::service
