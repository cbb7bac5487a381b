#pragma once

#include <QObject>

namespace quorvel::runtime {

// Knows whether any modal box of the program is open, so the acquisition cycle can hold while one is and
// go on when the last one closes. Every modal box is opened inside a ModalScope.
class ModalTracker : public QObject {
    Q_OBJECT
public:
    static ModalTracker& instance();

    [[nodiscard]] bool isModalOpen() const { return depth_ > 0; }
    [[nodiscard]] int depth() const { return depth_; }

    void enter();
    void leave();

signals:
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
