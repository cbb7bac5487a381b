#pragma once

#include <QObject>
#include <QTimer>

namespace quorvel::runtime {

// A single-shot timer behind an interface, so a test can fire by hand what would otherwise take real time.
// timeout() always comes through the event loop, never from inside start(), even at 0 ms.
class Timer : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    // Fires timeout() once, ms milliseconds from now; a running wait is replaced.
    virtual void start(int ms) = 0;
    virtual void stop() = 0;
    [[nodiscard]] virtual bool isActive() const = 0;

signals:
    void timeout();
};

// The real one. Precise: a coarse timer may fire early, and a pause must never be shorter than promised.
class PreciseTimer final : public Timer {
    Q_OBJECT
public:
    explicit PreciseTimer(QObject* parent = nullptr);

    void start(int ms) override { timer_.start(ms); }
    void stop() override { timer_.stop(); }
    [[nodiscard]] bool isActive() const override { return timer_.isActive(); }

private:
    QTimer timer_;
};

} // namespace quorvel::runtime
