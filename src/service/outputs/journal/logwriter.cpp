#include "service/outputs/journal/logwriter.h"

#include "logfile/logsession.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <utility>

namespace quorvel::service {

struct LogWriter::Shared {
    struct Item {
        Step step;
        QByteArray line;
    };

    QString path;
    acquisition::LogSession session; // the writer thread's alone once it runs
    std::mutex mutex;
    std::condition_variable work;
    std::condition_variable idle;
    std::deque<Item> queue;
    qsizetype queuedRecords = 0;
    QDateTime busySince;
    bool closed = false;
    bool ended = false; // the close is done: the thread returns without touching anything more
    std::vector<Done> done;
    std::function<void()> wake;

    Done perform(const Item& item);
    void run();
};

LogWriter::Done LogWriter::Shared::perform(const Item& item)
{
    Done result{item.step, std::nullopt, 0, {}, {}};
    switch (item.step) {
    case Step::Write: {
        // Closed by a reopen that failed: the path is tried again for each record.
        if (!session.isOpen()) {
            if (runtime::Error error = session.open(path)) {
                result.error = std::move(error);
                result.lost = 1;
                return result;
            }
        }
        const qint64 lostBefore = session.lostRecords();
        result.error = session.writeRecord(item.line);
        result.lost = std::max<qint64>(session.lostRecords() - lostBefore, result.error ? 1 : 0);
        break;
    }
    case Step::Reopen:
        result.error = session.open(path);
        break;
    case Step::Close: {
        const qint64 lostBefore = session.lostRecords();
        session.close();
        result.lost = session.lostRecords() - lostBefore;
        break;
    }
    }
    result.notice = session.report();
    result.newFileStarted = session.newFileStarted();
    return result;
}

void LogWriter::Shared::run()
{
    for (;;) {
        Item item;
        {
            std::unique_lock lock(mutex);
            work.wait(lock, [this] { return !queue.empty(); });
            item = std::move(queue.front());
            queue.pop_front();
            if (item.step == Step::Write)
                --queuedRecords;
            busySince = QDateTime::currentDateTime();
        }
        Done result = perform(item);
        {
            const std::lock_guard lock(mutex);
            busySince = {};
            ended = item.step == Step::Close;
            done.push_back(std::move(result));
            if (done.size() == 1 && wake)
                wake();
            idle.notify_all();
        }
        if (item.step == Step::Close)
            return;
    }
}

LogWriter::LogWriter(QString path, bool standardOutput) : shared_(std::make_shared<Shared>())
{
    shared_->path = std::move(path);
    shared_->session.setStandardOutput(standardOutput);
}

LogWriter::~LogWriter()
{
    close();
    {
        const std::lock_guard lock(shared_->mutex);
        shared_->wake = nullptr;
    }
    if (!thread_.joinable())
        return;
    bool ended = false;
    {
        const std::lock_guard lock(shared_->mutex);
        ended = shared_->ended;
    }
    // The thread owns its share of the state: one still writing, or stuck, goes on after this object.
    if (ended)
        thread_.join();
    else
        thread_.detach();
}

runtime::Error LogWriter::open()
{
    if (thread_.joinable())
        return std::nullopt;
    if (auto error = shared_->session.open(shared_->path))
        return error;
    thread_ = std::thread([shared = shared_] { shared->run(); });
    return std::nullopt;
}

void LogWriter::setWake(std::function<void()> wake)
{
    const std::lock_guard lock(shared_->mutex);
    shared_->wake = std::move(wake);
}

bool LogWriter::write(QByteArray line)
{
    {
        const std::lock_guard lock(shared_->mutex);
        if (shared_->closed || shared_->queuedRecords >= Capacity)
            return false;
        shared_->queue.push_back({Step::Write, std::move(line)});
        ++shared_->queuedRecords;
    }
    shared_->work.notify_one();
    return true;
}

void LogWriter::reopen()
{
    {
        const std::lock_guard lock(shared_->mutex);
        if (shared_->closed)
            return;
        shared_->queue.push_back({Step::Reopen, {}});
    }
    shared_->work.notify_one();
}

void LogWriter::close()
{
    {
        const std::lock_guard lock(shared_->mutex);
        if (shared_->closed)
            return;
        shared_->closed = true;
        if (thread_.joinable())
            shared_->queue.push_back({Step::Close, {}});
    }
    if (!thread_.joinable()) {
        shared_->session.close(); // never handed to a thread
        return;
    }
    shared_->work.notify_one();
}

std::vector<LogWriter::Done> LogWriter::take()
{
    const std::lock_guard lock(shared_->mutex);
    return std::exchange(shared_->done, {});
}

QDateTime LogWriter::busySince() const
{
    const std::lock_guard lock(shared_->mutex);
    return shared_->busySince;
}

bool LogWriter::idle() const
{
    const std::lock_guard lock(shared_->mutex);
    return shared_->queue.empty() && shared_->busySince.isNull();
}

qsizetype LogWriter::finish(QDeadlineTimer deadline)
{
    std::unique_lock lock(shared_->mutex);
    if (thread_.joinable())
        shared_->idle.wait_until(lock, deadline.deadline<std::chrono::steady_clock>(),
                                 [this] { return shared_->queue.empty() && shared_->busySince.isNull(); });
    // A close stays queued, so the thread ends once the step in hand returns.
    const qsizetype left = shared_->queuedRecords + (shared_->busySince.isNull() ? 0 : 1);
    std::erase_if(shared_->queue, [](const Shared::Item& item) { return item.step == Step::Write; });
    shared_->queuedRecords = 0;
    return left;
}

} // namespace quorvel::service
