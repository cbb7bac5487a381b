#pragma once

#include <QList>
#include <QObject>

class QSocketNotifier;

namespace quorvel::service {

// Turns the given POSIX signals into a Qt signal delivered by the event loop: the handler only writes the
// signal's number to a pipe, and everything else runs between two events, never inside a record's write.
// One instance at a time; the handlers go back to the default when it is destroyed.
class SignalWatcher : public QObject {
    Q_OBJECT
public:
    explicit SignalWatcher(const QList<int>& signalNumbers, QObject* parent = nullptr);
    ~SignalWatcher() override;

    SignalWatcher(const SignalWatcher&) = delete;
    SignalWatcher& operator=(const SignalWatcher&) = delete;

    // False when the pipe or a handler could not be set up.
    [[nodiscard]] bool isValid() const { return valid_; }

signals:
    void received(int signalNumber);

private:
    void drain();

    QList<int> signals_;
    QSocketNotifier* notifier_ = nullptr;
    bool valid_ = false;
};

} // namespace quorvel::service
