#include "owserverreader.h"

#include "acquisition/sensorlist.h"

#include <QHostAddress>
#include <QMetaObject>
#include <QRegularExpression>
#include <QTcpSocket>

#include <algorithm>
#include <cmath>
#include <utility>

namespace quorvel::acquisition {

namespace {

// What a person sees of a value that is no number: a line, and not a long one.
QString shown(const QByteArray& text)
{
    return escapedForMessage(QString::fromUtf8(text.trimmed().left(40)));
}

// The server writes six significant digits (127.938 for a failed conversion's 127.9375); no other 1/16 °C
// step comes as close.
constexpr float FailedConversionTolerance = 0.001F;

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
    ++setupGeneration_;
    facts_ = QList<SensorFacts>(romCodes.size());
    pathBits_ = QList<std::optional<int>>(romCodes.size());
    setupAgain_.clear();
    // Setups not yet begun are for sensors no longer read; one under way is not told.
    for (qsizetype i = busy_ ? 1 : 0; i < jobs_.size();) {
        if (jobs_.at(i).kind == Kind::Setup)
            jobs_.removeAt(i);
        else
            ++i;
    }
    for (int slot = 0; slot < romCodes.size(); ++slot)
        queueSetup(slot, false);
}

void OwserverReader::queueSetup(int slot, bool again)
{
    Job job = jobOf(Kind::Setup, slot, {Step::Power});
    job.id = serverId(sensors_.at(slot));
    job.setup = setupGeneration_;
    job.again = again;
    job.facts.wantedResolution = bitsAsked_.value(slot);
    if (job.facts.wantedResolution)
        job.steps.append(Step::SensorListing);
    queue(job);
}

void OwserverReader::setResolutions(const QList<std::optional<int>>& bits, bool save)
{
    // The server sets the resolution with each read: there is no EEPROM to write through it.
    Q_UNUSED(save)
    bitsAsked_ = bits;
}

bool OwserverReader::offers(BusAction action) const
{
    return action == BusAction::Search;
}

void OwserverReader::act(BusAction action, const QString& target)
{
    Q_UNUSED(target)
    if (action == BusAction::Search) {
        queue(jobOf(Kind::Search, -1, {Step::Search}));
        return;
    }
    QMetaObject::invokeMethod(
        this, [this, action] { emit acted(action, QStringLiteral("a server's bus cannot be rebound")); },
        Qt::QueuedConnection);
}

QString OwserverReader::slotText(int slot) const
{
    return QStringLiteral("%1:%2/%3/temperature").arg(host_).arg(port_).arg(serverId(sensors_.value(slot)));
}

void OwserverReader::read(int slot)
{
    // A server that was not answering when the sensors were set is asked again before each sweep.
    if (slot == 0) {
        for (const int again : std::exchange(setupAgain_, {}))
            queueSetup(again, true);
    }
    queue(jobOf(Kind::Read, slot, {}));
}

void OwserverReader::discover()
{
    queue(jobOf(Kind::Discovery, -1, {Step::Listing}));
}

OwserverReader::Job OwserverReader::jobOf(Kind kind, int slot, QList<Step> steps)
{
    Job job;
    job.kind = kind;
    job.slot = slot;
    job.steps = std::move(steps);
    return job;
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
    // A discovery, a search and a setup go on; a read under way is dropped with its connection, for a reply
    // still on its way would be taken for the next request's.
    const bool reading = busy_ && jobs_.first().kind == Kind::Read;
    jobs_.removeIf([](const Job& job) { return job.kind == Kind::Read; });
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
    if (job.kind == Kind::Read) {
        if (job.slot >= sensors_.size()) {
            busy_ = true;
            finishFailure(ReadOutcome::ReadError, QStringLiteral("no sensor in slot %1").arg(job.slot + 1));
            return;
        }
        if (job.slot == 0)
            converted_ = false;
        // The slot's own read follows the conversion's answer.
        job.steps = {job.slot == 0 && anyReadsLatest() ? Step::Convert : readStep(job.slot)};
    }
    busy_ = true;
    retried_ = false;
    deadline_->start(job.queuedDue ? int(std::max<qint64>(0, job.queuedDue->remainingTime()))
                                   : noAnswerAfterMs());
    sendStep();
}

OwserverReader::Step OwserverReader::readStep(int slot) const
{
    return sensors_.size() > 1 && converted_ && !pathBits_.value(slot) ? Step::LatestTemp : Step::Temperature;
}

// Whether a sweep has the bus convert at once: only for sensors read at the resolution they have.
bool OwserverReader::anyReadsLatest() const
{
    return sensors_.size() > 1 && std::any_of(pathBits_.begin(), pathBits_.end(),
                                              [](const std::optional<int>& bits) { return !bits; });
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
        if (const std::optional<int> bits = pathBits_.value(jobs_.first().slot))
            return QStringLiteral("/uncached/%1/temperature%2").arg(id).arg(*bits);
        return QStringLiteral("/uncached/%1/temperature").arg(id);
    case Step::Power:
        return QStringLiteral("/uncached/%1/power").arg(id);
    case Step::SensorListing:
        return QStringLiteral("/%1").arg(id);
    case Step::Search:
        return QStringLiteral("/uncached/");
    case Step::Listing:
        break;
    }
    return QStringLiteral("/");
}

QString OwserverReader::serverIdOfCurrent() const
{
    if (jobs_.isEmpty())
        return {};
    const Job& job = jobs_.first();
    if (!job.id.isEmpty())
        return job.id;
    return job.slot >= 0 && job.slot < sensors_.size() ? serverId(sensors_.at(job.slot)) : QString();
}

QByteArray OwserverReader::requestFor(Step step) const
{
    const QByteArray path = pathOf(step).toUtf8();
    switch (step) {
    case Step::Convert:
        return owserver::encodeRequest(owserver::MessageType::Write, path, "1");
    case Step::Listing:
    case Step::Search:
    case Step::SensorListing:
        return owserver::encodeRequest(owserver::MessageType::DirAll, path);
    case Step::LatestTemp:
    case Step::Temperature:
    case Step::Power:
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
        if (converted_)
            noticeParasites();
        job.steps = {readStep(job.slot)};
        sendStep();
        return;
    }
    if (job.kind == Kind::Setup) {
        takeSetupReply(step, reply);
        if (job.steps.isEmpty())
            finishSetup();
        else
            sendStep();
        return;
    }
    if (step == Step::Listing || step == Step::Search) {
        if (reply.ret < 0) {
            const QString failure = QStringLiteral("the server's listing of %1 failed: %2")
                                        .arg(path, owserver::errorReason(reply.ret));
            if (step == Step::Search)
                finishSearch(failure);
            else
                finishDiscovery({}, failure);
            return;
        }
        tellDevices(reply);
        if (step == Step::Search) {
            finishSearch({});
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
        if (std::abs(*value - FailedConversionReading) < FailedConversionTolerance) {
            finishRead(ReadOutcome::Implausible, *value,
                       QStringLiteral("the server answered %1 with %2").arg(path, failedConversionReason()));
            return;
        }
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
    switch (jobs_.first().kind) {
    case Kind::Read:
        finishRead(outcome, 0, reason);
        return;
    case Kind::Discovery:
        finishDiscovery({}, reason);
        return;
    case Kind::Search:
        finishSearch(reason);
        return;
    case Kind::Setup:
        break;
    }
    // The server is not answering: the sensors still to set up are told so now, not one deadline each.
    const quint64 setup = jobs_.first().setup;
    while (!jobs_.isEmpty() && jobs_.first().kind == Kind::Setup && jobs_.first().setup == setup) {
        Job& job = jobs_.first();
        if (job.setup == setupGeneration_)
            setupAgain_.append(job.slot);
        if (job.facts.wantedResolution && job.facts.problem.isEmpty())
            job.facts.problem = QStringLiteral("the resolution was not set: %1").arg(reason);
        // Told once: what a try again finds is told when the server answers it.
        finishSetup(false, !job.again);
    }
    startJob();
}

void OwserverReader::takeSetupReply(Step step, const owserver::Reply& reply)
{
    Job& job = jobs_.first();
    if (step == Step::Power) {
        const QByteArray said = reply.ret < 0 ? QByteArray() : reply.data.trimmed();
        if (said == "1" || said == "0")
            job.facts.parasite = said == "0";
        return;
    }
    const int bits = *job.facts.wantedResolution;
    if (reply.ret < 0) {
        job.facts.problem =
            QStringLiteral("the resolution was not set: the server's listing of %1 failed: %2")
                .arg(pathOf(step), owserver::errorReason(reply.ret));
        return;
    }
    const QString name = QStringLiteral("/temperature%1").arg(bits);
    const QStringList entries = owserver::listingEntries(reply);
    if (std::any_of(entries.begin(), entries.end(),
                    [&](const QString& entry) { return entry.endsWith(name); }))
        job.facts.resolution = bits;
    else
        job.facts.problem =
            QStringLiteral("%1 has no resolution to set: the server has no temperature%2 for it")
                .arg(job.id)
                .arg(bits);
}

void OwserverReader::finishSetup(bool startNext, bool tell)
{
    const Job job = jobs_.takeFirst();
    busy_ = false;
    deadline_->stop();
    if (tell && job.setup == setupGeneration_ && job.slot < facts_.size()) {
        facts_[job.slot] = job.facts;
        pathBits_[job.slot] = job.facts.resolution;
        QMetaObject::invokeMethod(
            this,
            [this, job] {
                if (job.setup == setupGeneration_)
                    emit described(job.slot, job.facts);
            },
            Qt::QueuedConnection);
    }
    if (startNext)
        startJob();
}

void OwserverReader::tellDevices(const owserver::Reply& reply)
{
    static const QRegularExpression DeviceId(QStringLiteral("^[0-9A-F]{2}\\.[0-9A-F]{12}$"));
    QStringList ids;
    for (const QString& entry : owserver::listingEntries(reply)) {
        const QString name = entry.section(QLatin1Char('/'), -1).toUpper();
        if (DeviceId.match(name).hasMatch() && !ids.contains(name))
            ids.append(name);
    }
    std::sort(ids.begin(), ids.end());
    QMetaObject::invokeMethod(
        this, [this, ids] { emit devicesFound(ids); }, Qt::QueuedConnection);
}

void OwserverReader::noticeParasites()
{
    if (parasitesNoticed_)
        return;
    QStringList ids;
    for (int slot = 0; slot < sensors_.size(); ++slot) {
        if (facts_.value(slot).parasite.value_or(false))
            ids.append(serverId(sensors_.at(slot)));
    }
    if (ids.isEmpty())
        return;
    parasitesNoticed_ = true;
    const QString text = parasiteBulkNotice(
        ids, QStringLiteral("server"), QStringLiteral("a bus master without one cannot; give them power"));
    QMetaObject::invokeMethod(
        this, [this, text] { emit noticed(text); }, Qt::QueuedConnection);
}

void OwserverReader::finishSearch(const QString& problem)
{
    jobs_.removeFirst();
    busy_ = false;
    deadline_->stop();
    QMetaObject::invokeMethod(
        this, [this, problem] { emit acted(BusAction::Search, problem); }, Qt::QueuedConnection);
    startJob();
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
