#pragma once

#include <QObject>

#include <functional>

namespace quorvel::runtime {

// Knows whether any modal box of the program is open, so the window can hold its cycle while one is and
// let it go on when the last one closes. Every modal box is opened inside a ModalScope.
class ModalTracker : public QObject {
    Q_OBJECT
public:
    static ModalTracker& instance();

    [[nodiscard]] bool isModalOpen() const { return depth_ > 0; }
    [[nodiscard]] int depth() const { return depth_; }

    void enter();
    void leave();

    // Calls hold when the first box opens (at once when one is open now) and resume once the last one has
    // closed: queued, so the handler that closed it runs to its end first, and not at all when a box opened
    // meanwhile, whose own close resumes. Both stop with context.
    void holdWhileOpen(QObject* context, std::function<void()> hold, std::function<void()> resume);

signals:
    void firstModalOpened();
    void lastModalClosed();

private:
    ModalTracker() = default;
    int depth_ = 0;
};

// Marks the lifetime of one modal box.
class ModalScope {
public:
    ModalScope() { ModalTracker::instance().enter(); }
    ~ModalScope() { ModalTracker::instance().leave(); }
    ModalScope(const ModalScope&) = delete;
    ModalScope& operator=(const ModalScope&) = delete;
};

} // namespace quorvel::runtime
