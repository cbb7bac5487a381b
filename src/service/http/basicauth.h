#pragma once

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QMap>
#include <QObject>
#include <QSet>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

namespace quorvel::service {

// Checks a request's Authorization header against bcrypt hashes. bcrypt is slow on purpose, so the check
// runs on a thread of its own, one at a time, and a header once checked is answered from memory: a client
// that guesses costs the event loop's thread nothing and at most one core.
class BasicAuth : public QObject {
    Q_OBJECT
public:
    // Headers remembered, the right ones apart from the wrong, so that guesses never push a right one out;
    // the oldest go first.
    static constexpr int CachedHeaders = 256;
    // Checks waiting or running: beyond them the address that has the most waiting gives one up.
    static constexpr int QueuedChecks = 16;
    // bcrypt costs taken: below, a guess is cheap; above, one check holds a core for seconds.
    static constexpr int MinCost = 10;
    static constexpr int MaxCost = 14;

    explicit BasicAuth(QMap<QString, QByteArray> users, QObject* parent = nullptr);
    ~BasicAuth() override;

    [[nodiscard]] bool isEnabled() const { return !users_.isEmpty(); }
    // The verdict when known; nothing while it is being worked out (checked() follows).
    [[nodiscard]] std::optional<bool> verdict(const QByteArray& authorization, const QHostAddress& peer);

    // Whether the password matches the hash: crypt(3) with the hash as its setting.
    [[nodiscard]] static bool matches(const QByteArray& password, const QByteArray& hash);
    // Why a hash cannot be used here: not bcrypt, or its cost outside MinCost..MaxCost.
    [[nodiscard]] static std::optional<QString> hashProblem(const QByteArray& hash);

signals:
    void checked(const QByteArray& authorization, bool allowed);

private:
    struct Check {
        QByteArray authorization;
        QByteArray password;
        QByteArray hash;
        QHostAddress peer;
    };
    struct Relay;

    [[nodiscard]] qsizetype waitingFrom(const QHostAddress& of) const;
    // Orders checks by how many their address has waiting.
    [[nodiscard]] std::function<bool(const Check&, const Check&)> byWaiting() const;
    void startNext();
    void finished(const QByteArray& authorization, bool allowed);
    // Drops the newest check of this address; its request is refused.
    void giveUpOne(const QHostAddress& of);

    QMap<QString, QByteArray> users_;
    struct Remembered {
        QSet<QByteArray> headers;
        QList<QByteArray> order;
        void add(const QByteArray& header);
    };
    Remembered right_;
    Remembered wrong_;
    QList<Check> queue_;
    QSet<QByteArray> pending_;     // queued or running
    QSet<QByteArray> givenUp_;     // refused once without a check, to make room for another address
    std::shared_ptr<Relay> relay_; // the running check's way back; it outlives this object if need be
    bool running_ = false;
};

} // namespace quorvel::service
