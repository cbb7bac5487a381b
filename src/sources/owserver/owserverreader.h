#pragma once

#include "acquisition/sensorreader.h"
#include "owserverprotocol.h"
#include "runtime/timer.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QList>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

class QTcpSocket;

namespace quorvel::acquisition {

// Reads the thermometers a 1-Wire server serves, over one kept-open TCP connection on the event loop. A
// sweep of several sensors has the server convert the whole bus at once (/simultaneous/temperature) and
// then reads each one's converted value (latesttemp, which never starts a conversion of its own); a single
// sensor is read with its own conversion. A sensor given a resolution is read through the server's path for
// it (temperature9 to temperature12), with a conversion of its own at those bits: what the bus converted at
// once is at whatever resolution the sensor last had. Every value is read past the server's cache. Requests
// run one at a time in the order asked; setting the sensors up (power, the resolution's path) runs before the
// next read, and again before each sweep while the server does not answer it.
class OwserverReader final : public SensorReader {
    Q_OBJECT
public:
    OwserverReader(QString host, quint16 port, QObject* parent = nullptr);
    ~OwserverReader() override;

    void setSensors(const QStringList& romCodes) override;
    // The server and the path the sensor's temperature is read from.
    [[nodiscard]] QString slotText(int slot) const override;
    void read(int slot) override;
    void cancel() override;
    void discover() override;
    void setResolutions(const QList<std::optional<int>>& bits, bool save) override;
    [[nodiscard]] bool offers(BusAction action) const override;
    void act(BusAction action, const QString& target = {}) override;

    // Replaces the timer that ends a request at its deadline (a test's own, fired by hand). Between reads.
    void setDeadlineTimer(std::unique_ptr<runtime::Timer> timer);
    // How many connections were opened: a sweep takes one while the server keeps it.
    [[nodiscard]] int connectionsOpened() const { return connectionsOpened_; }

private:
    // One request of a job, and what its reply means.
    enum class Step { Convert, LatestTemp, Temperature, Listing, Search, Power, SensorListing };
    enum class Kind { Read, Discovery, Search, Setup };
    struct Job {
        Kind kind = Kind::Read;
        int slot = -1; // a read's or a setup's
        QList<Step> steps;
        // A setup's sensor and the setSensors() it was asked for: one asked before the last is not told.
        QString id;
        quint64 setup = 0;
        // A try after the server did not answer: told only once it does.
        bool again = false;
        SensorFacts facts;
        // Asked while another ran: its no-answer bound counts from the ask, not from its own start.
        std::optional<QDeadlineTimer> queuedDue;
    };

    [[nodiscard]] static Job jobOf(Kind kind, int slot, QList<Step> steps);
    void queue(Job job);
    void startJob();
    void sendStep();
    [[nodiscard]] QByteArray requestFor(Step step) const;
    void connectSocket();
    void onReadyRead();
    void onClosed();
    void onDeadline();
    void handleReply(const owserver::Reply& reply);
    void dropConnection();
    // Ends the current job with its answer, through the event loop.
    void finishRead(ReadOutcome outcome, float value, const QString& reason);
    void finishDiscovery(const QStringList& romCodes, const QString& failure);
    void finishSearch(const QString& problem);
    // startNext: the next job begins (not while the setups left are ended at once); tell: described().
    void finishSetup(bool startNext = true, bool tell = true);
    void queueSetup(int slot, bool again);
    void takeSetupReply(Step step, const owserver::Reply& reply);
    void tellDevices(const owserver::Reply& reply);
    // After the bus converted at once: says once which of the sensors hang on the data line for power.
    void noticeParasites();
    [[nodiscard]] Step readStep(int slot) const;
    [[nodiscard]] bool anyReadsLatest() const;
    void finishFailure(ReadOutcome outcome, const QString& reason);
    [[nodiscard]] QString pathOf(Step step) const;
    [[nodiscard]] QString serverIdOfCurrent() const;

    QString host_;
    quint16 port_;
    QStringList sensors_;
    // Per slot: the resolution asked, and the one whose path the server has (what reads then use).
    QList<std::optional<int>> bitsAsked_;
    QList<std::optional<int>> pathBits_;
    QList<SensorFacts> facts_;
    quint64 setupGeneration_ = 0;
    // Slots whose setup the server did not answer: tried again before the next sweep.
    QList<int> setupAgain_;
    bool parasitesNoticed_ = false;
    QList<Job> jobs_;
    // The current job's requests still to send; the first is in flight while busy_.
    bool busy_ = false;
    // This sweep's conversion of the whole bus succeeded: later slots read what it converted.
    bool converted_ = false;
    QPointer<QTcpSocket> socket_;
    // Replies the current connection carried: a kept one the server closed is opened again once.
    int repliesOnConnection_ = 0;
    bool retried_ = false;
    owserver::ReplyDecoder decoder_;
    std::unique_ptr<runtime::Timer> deadline_;
    int connectionsOpened_ = 0;
    // Answers to reads queued for the loop carry the generation they were made in; cancel() starts a new one.
    quint64 generation_ = 0;
};

} // namespace quorvel::acquisition
