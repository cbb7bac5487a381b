#include "owserverreader.h"

#include "acquisition/sensorlist.h"

#include <QHostAddress>
#include <QMetaObject>
#include <QTcpSocket>

#include <algorithm>
#include <utility>

namespace quorvel::acquisition {

namespace {

// What a person sees of a value that is no number: a line, and not a long one.
QString shown(const QByteArray& text)
{
    return escapedForMessage(QString::fromUtf8(text.trimmed().left(40)));
}

} // namespace

OwserverReader::OwserverReader(QString host, quint16 port, QObject* parent)
    : SensorReader(parent), host_(std::move(host)), port_(port),
      deadline_(std::make_unique<runtime::PreciseTimer>())
{
    connect(deadline_.get(), &runtime::Timer::timeout, this, &OwserverReader::onDeadline);
}

OwserverReader::~OwserverReader()
{
    dropConnection();
}

void OwserverReader::setDeadlineTimer(std::unique_ptr<runtime::Timer> timer)
{
    deadline_ = std::move(timer);
    connect(deadline_.get(), &runtime::Timer::timeout, this, &OwserverReader::onDeadline);
}

void OwserverReader::setSensors(const QStringList& romCodes)
{
    sensors_ = romCodes;
    converted_ = false;
}

QString OwserverReader::slotText(int slot) const
{
    return QStringLiteral("%1:%2/%3/temperature").arg(host_).arg(port_).arg(serverId(sensors_.value(slot)));
}

void OwserverReader::read(int slot)
{
    queue(Job{slot, {}, {}});
}

void OwserverReader::discover()
{
    queue(Job{-1, {Step::Listing}, {}});
}

void OwserverReader::queue(Job job)
{
    if (busy_)
        job.queuedDue = QDeadlineTimer(noAnswerAfterMs());
    jobs_.append(job);
    startJob();
}

void OwserverReader::cancel()
{
    ++generation_;
    converted_ = false;
    // A discovery goes on; a read under way is dropped with its connection, for a reply still on its way
    // would be taken for the next request's.
    const bool reading = busy_ && jobs_.first().slot >= 0;
    jobs_.removeIf([](const Job& job) { return job.slot >= 0; });
    if (!reading)
        return;
    dropConnection();
    busy_ = false;
    deadline_->stop();
    startJob();
}

void OwserverReader::startJob()
{
    if (busy_ || jobs_.isEmpty())
        return;
    Job& job = jobs_.first();
    if (job.slot >= 0) {
        if (job.slot >= sensors_.size()) {
            busy_ = true;
            finishFailure(ReadOutcome::ReadError, QStringLiteral("no sensor in slot %1").arg(job.slot + 1));
            return;
        }
        if (sensors_.size() == 1)
            job.steps = {Step::Temperature};
        else if (job.slot == 0)
            job.steps = {Step::Convert, Step::LatestTemp};
        else
            job.steps = {converted_ ? Step::LatestTemp : Step::Temperature};
        if (job.slot == 0)
            converted_ = false;
    }
    busy_ = true;
    retried_ = false;
    deadline_->start(job.queuedDue ? int(std::max<qint64>(0, job.queuedDue->remainingTime()))
                                   : noAnswerAfterMs());
    sendStep();
}

QString OwserverReader::pathOf(Step step) const
{
    const QString id = serverIdOfCurrent();
    switch (step) {
    case Step::Convert:
        return QStringLiteral("/simultaneous/temperature");
    case Step::LatestTemp:
        return QStringLiteral("/uncached/%1/latesttemp").arg(id);
    case Step::Temperature:
        return QStringLiteral("/uncached/%1/temperature").arg(id);
    case Step::Listing:
        break;
    }
    return QStringLiteral("/");
}

QString OwserverReader::serverIdOfCurrent() const
{
    const int slot = jobs_.isEmpty() ? -1 : jobs_.first().slot;
    return slot >= 0 && slot < sensors_.size() ? serverId(sensors_.at(slot)) : QString();
}

QByteArray OwserverReader::requestFor(Step step) const
{
    const QByteArray path = pathOf(step).toUtf8();
    switch (step) {
    case Step::Convert:
        return owserver::encodeRequest(owserver::MessageType::Write, path, "1");
    case Step::Listing:
        return owserver::encodeRequest(owserver::MessageType::DirAll, path);
    case Step::LatestTemp:
    case Step::Temperature:
        break;
    }
    return owserver::encodeRequest(owserver::MessageType::Read, path);
}

void OwserverReader::sendStep()
{
    decoder_ = owserver::ReplyDecoder();
    // A connection is asked again only once it has answered: one that is not connected now is gone.
    if (socket_ && socket_->state() != QAbstractSocket::ConnectedState)
        dropConnection();
    if (socket_)
        socket_->write(requestFor(jobs_.first().steps.first()));
    else
        connectSocket(); // connected() sends it
}

void OwserverReader::connectSocket()
{
    auto* socket = new QTcpSocket(this);
    socket_ = socket;
    repliesOnConnection_ = 0;
    ++connectionsOpened_;
    connect(socket, &QTcpSocket::connected, this, [this, socket] {
        if (socket == socket_ && busy_)
            socket->write(requestFor(jobs_.first().steps.first()));
    });
    connect(socket, &QTcpSocket::readyRead, this, [this, socket] {
        if (socket == socket_)
            onReadyRead();
    });
    // A refusal, a reset and an orderly close all end here; whichever comes first is taken.
    connect(socket, &QTcpSocket::errorOccurred, this, [this, socket] {
        if (socket == socket_)
            onClosed();
    });
    connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
        if (socket == socket_)
            onClosed();
    });
    socket->connectToHost(host_, port_);
}

void OwserverReader::dropConnection()
{
    QTcpSocket* socket = socket_;
    socket_ = nullptr;
    if (!socket)
        return;
    socket->disconnect(this);
    socket->abort();
    socket->deleteLater();
}

void OwserverReader::onReadyRead()
{
    const QByteArray bytes = socket_->readAll();
    if (!busy_) {
        // Nothing was asked: the connection is out of step.
        dropConnection();
        return;
    }
    const qsizetype used = decoder_.feed(bytes);
    if (decoder_.state() == owserver::ReplyDecoder::State::Failed) {
        dropConnection();
        finishFailure(
            ReadOutcome::ReadError,
            QStringLiteral("%1 on %2").arg(decoder_.failure(), pathOf(jobs_.first().steps.first())));
        return;
    }
    if (decoder_.state() != owserver::ReplyDecoder::State::Complete)
        return;
    ++repliesOnConnection_;
    // A server that did not keep the connection closes it; bytes past the reply put it out of step.
    if (!decoder_.reply().persistent() || used < bytes.size())
        dropConnection();
    // A copy: the next request starts a new decoder.
    handleReply(owserver::Reply(decoder_.reply()));
}

void OwserverReader::onClosed()
{
    const QString error = socket_->errorString();
    const bool reused = repliesOnConnection_ > 0;
    dropConnection();
    if (!busy_)
        return;
    const QString path = pathOf(jobs_.first().steps.first());
    if (decoder_.started()) {
        finishFailure(
            ReadOutcome::ReadError,
            QStringLiteral("the server closed the connection in the middle of the reply to %1").arg(path));
    } else if (reused && !retried_) {
        // The server ended a kept connection while it was idle (its own inactivity limit): ask again on a
        // new one, once.
        retried_ = true;
        sendStep();
    } else {
        finishFailure(ReadOutcome::NoAnswer,
                      QStringLiteral("no answer from %1:%2 (%3)").arg(host_).arg(port_).arg(error));
    }
}

void OwserverReader::onDeadline()
{
    if (!busy_)
        return;
    dropConnection();
    finishFailure(ReadOutcome::NoAnswer, QStringLiteral("no answer from %1:%2 within %3 s")
                                             .arg(host_)
                                             .arg(port_)
                                             .arg(noAnswerAfterMs() / 1000));
}

void OwserverReader::handleReply(const owserver::Reply& reply)
{
    Job& job = jobs_.first();
    const Step step = job.steps.takeFirst();
    const QString path = pathOf(step);
    if (step == Step::Convert) {
        // A server that refuses the write (read-only) still reads each sensor with its own conversion.
        converted_ = reply.ret >= 0;
        if (!converted_)
            job.steps = {Step::Temperature};
        sendStep();
        return;
    }
    if (step == Step::Listing) {
        if (reply.ret < 0) {
            finishDiscovery(
                {},
                QStringLiteral("the server's listing of / failed: %1").arg(owserver::errorReason(reply.ret)));
            return;
        }
        QStringList romCodes;
        for (const QString& entry : owserver::listingEntries(reply)) {
            const RomCodeReading reading =
                readRomCode(QStringView(entry).sliced(entry.startsWith(QLatin1Char('/')) ? 1 : 0),
                            RomFamilies::AnyThermometer);
            if (reading.romCode)
                romCodes.append(*reading.romCode);
        }
        finishDiscovery(inIdOrder(romCodes), {});
        return;
    }
    if (reply.ret < 0) {
        finishFailure(
            owserver::isNotFound(reply.ret) ? ReadOutcome::NoSensor : ReadOutcome::ReadError,
            QStringLiteral("the server answered %1 with %2").arg(path, owserver::errorReason(reply.ret)));
        return;
    }
    if (const std::optional<float> value = owserver::readNumber(reply.data)) {
        const SensorAnswer answer = temperatureAnswer(*value);
        finishRead(answer.outcome, answer.value,
                   answer.reason.isEmpty()
                       ? QString()
                       : QStringLiteral("the server answered %1 with %2").arg(path, answer.reason));
    } else
        finishRead(
            ReadOutcome::ReadError, 0,
            QStringLiteral("the server answered %1 with \"%2\", not a number").arg(path, shown(reply.data)));
}

void OwserverReader::finishFailure(ReadOutcome outcome, const QString& reason)
{
    if (jobs_.first().slot < 0)
        finishDiscovery({}, reason);
    else
        finishRead(outcome, 0, reason);
}

void OwserverReader::finishRead(ReadOutcome outcome, float value, const QString& reason)
{
    const int slot = jobs_.takeFirst().slot;
    busy_ = false;
    deadline_->stop();
    const quint64 generation = generation_;
    QMetaObject::invokeMethod(
        this,
        [this, generation, slot, answer = SensorAnswer{outcome, value, reason}] {
            if (generation == generation_)
                emit answered(slot, answer);
        },
        Qt::QueuedConnection);
    startJob();
}

void OwserverReader::finishDiscovery(const QStringList& romCodes, const QString& failure)
{
    jobs_.removeFirst();
    busy_ = false;
    deadline_->stop();
    QMetaObject::invokeMethod(
        this,
        [this, romCodes, failure] {
            if (failure.isEmpty())
                emit discovered(romCodes);
            else
                emit discoveryFailed(failure);
        },
        Qt::QueuedConnection);
    startJob();
}

} // namespace quorvel::acquisition
