#pragma once

#include "runtime/timer.h"

#include <QTimer>

namespace quorvel::testing {

// A timer the test fires by hand: a wait of more than 0 ms holds, however long the test runs, until fire().
// A 0 ms start still fires by itself through the event loop, as the real timer does, so code that only
// defers to the loop runs on without the test's help.
class ManualTimer final : public runtime::Timer {
    Q_OBJECT
public:
    explicit ManualTimer(QObject* parent = nullptr) : Timer(parent)
    {
        now_.setSingleShot(true);
        connect(&now_, &QTimer::timeout, this, &ManualTimer::fire);
    }

    void start(int ms) override
    {
        active_ = true;
        interval_ = ms;
        if (ms == 0)
            now_.start(0);
        else
            now_.stop();
    }
    void stop() override
    {
        active_ = false;
        now_.stop();
    }
    [[nodiscard]] bool isActive() const override { return active_; }

    // A wait longer than 0 ms is pending: nothing goes on until the test fires it.
    [[nodiscard]] bool isHolding() const { return active_ && interval_ > 0; }
    // The wait asked for by the last start().
    [[nodiscard]] int interval() const { return interval_; }
    // Ends the pending wait as if its time had come; false when nothing was pending.
    bool fire()
    {
        if (!active_)
            return false;
        stop();
        emit timeout();
        return true;
    }

private:
    QTimer now_;
    bool active_ = false;
    int interval_ = -1;
};

} // namespace quorvel::testing
