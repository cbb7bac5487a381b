#pragma once

#include "w1tree.h"

#include <QObject>
#include <QStringList>
#include <QThread>

namespace quorvel::acquisition {

class W1BusWorker;

// The one thread that reads a tree, shared by every reader of that tree in the process. A reader made again
// for the same tree (a reload) queues behind a read that hangs in the kernel instead of starting a thread of
// its own, so hung reads never pile up threads. It ends once no reader holds it and every read came back;
// one still hung at exit stays to the end of the process.
class W1BusThread final : public QObject {
    Q_OBJECT
public:
    // The tree's thread, started when none runs; give it back with release().
    [[nodiscard]] static W1BusThread* acquire(const QString& root);
    void release();

    // Each returns the number of its request, which the answer carries.
    quint64 read(const QStringList& romCodes, int slot);
    quint64 discover();
    quint64 search();
    quint64 setUp(const QStringList& romCodes, const QList<std::optional<int>>& bits, bool save);
    // Every request asked of it came back.
    [[nodiscard]] bool idle() const { return returned_ == sent_; }

signals:
    void answered(quint64 request, const quorvel::acquisition::SensorAnswer& answer);
    void listed(quint64 request, const quorvel::acquisition::W1Tree::Listing& listing);
    void setUpDone(quint64 request, const QList<quorvel::acquisition::SensorFacts>& facts,
                   const QString& notice);
    void noticed(const QString& text);
    void bulkConversion(bool on);

private:
    explicit W1BusThread(const QString& root);
    ~W1BusThread() override;
    void onReturned(quint64 request);
    // Queues a call of the worker as the next request; its number.
    template <typename Call> quint64 queue(Call call);
    [[nodiscard]] bool unused() const { return users_ == 0 && idle(); }

    QString root_;
    QThread thread_;
    W1BusWorker* worker_;
    int users_ = 0;
    quint64 sent_ = 0;
    quint64 returned_ = 0;
};

} // namespace quorvel::acquisition
