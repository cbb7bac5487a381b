#pragma once

#include <QByteArray>
#include <QHash>
#include <QMap>
#include <QObject>
#include <QString>
#include <QThreadPool>

#include <optional>

namespace quorvel::service {

// Checks a request's Authorization header against bcrypt hashes. bcrypt is slow on purpose, so the check
// runs on a thread of its own, one at a time, and a header once checked is answered from memory: a client
// that guesses costs the event loop's thread nothing and at most one core.
class BasicAuth : public QObject {
    Q_OBJECT
public:
    // Headers remembered, right or wrong; the oldest go first.
    static constexpr int CachedHeaders = 256;
    // Checks waiting for the thread: beyond them a request is refused at once.
    static constexpr int QueuedChecks = 16;

    explicit BasicAuth(QMap<QString, QByteArray> users, QObject* parent = nullptr);
    ~BasicAuth() override;

    [[nodiscard]] bool isEnabled() const { return !users_.isEmpty(); }
    // The verdict when known; nothing while it is being worked out (checked() follows), or when the queue
    // is full (false then).
    [[nodiscard]] std::optional<bool> verdict(const QByteArray& authorization);

    // Whether user and password match the hash: crypt(3) with the hash as its setting.
    [[nodiscard]] static bool matches(const QByteArray& password, const QByteArray& hash);

signals:
    void checked(const QByteArray& authorization, bool allowed);

private:
    void remember(const QByteArray& authorization, bool allowed);

    QMap<QString, QByteArray> users_;
    QHash<QByteArray, bool> known_;
    QList<QByteArray> order_;
    QHash<QByteArray, bool> pending_;
    QThreadPool pool_;
};

} // namespace quorvel::service
