#pragma once

#include "acquisition/acquisitioncycle.h"
#include "acquisition/sensorreader.h"
#include "acquisition/sweeprecorder.h"
#include "runtime/conversions.h"
#include "sources/adapter/adapterreader.h"
#include "sources/adapter/pagecomponent.h"

#include <QMap>
#include <QStringList>
#include <QTimer>

#include <memory>
#include <vector>

namespace quorvel::testing {

using namespace quorvel::acquisition;

// A document whose elements are given as a map id -> value; an error page when it has an error reason.
class FakeDocument : public PageDocument {
public:
    explicit FakeDocument(QMap<QString, QString> values = {}, std::optional<QString> error = std::nullopt)
        : values_(std::move(values)), error_(std::move(error))
    {
    }
    [[nodiscard]] std::optional<QString> elementValue(const QString& id) const override
    {
        const auto it = values_.find(id);
        if (it == values_.end())
            return std::nullopt;
        return *it;
    }
    [[nodiscard]] QString displayHtml() const override
    {
        return values_.value(QStringLiteral("Temperature_0"));
    }
    [[nodiscard]] std::optional<QString> errorReason() const override { return error_; }

private:
    QMap<QString, QString> values_;
    std::optional<QString> error_;
};

// A page component that records navigations and completes when the test says so, or at once through the
// event loop with a scripted answer per URL.
class FakePage : public PageComponent {
    Q_OBJECT
public:
    struct Answer {
        Answer(std::optional<QString> t = std::nullopt, bool got = true,
               std::optional<QString> e = std::nullopt)
            : temperature(std::move(t)), gotAnswer(got), error(std::move(e))
        {
        }
        std::optional<QString> temperature; // nothing: the element is missing
        bool gotAnswer = true;
        std::optional<QString> error; // an error page's reason (an HTTP status, no answer)
    };

    void Navigate(const QString& url) override
    {
        navigations.append(url);
        state_ = Loading;
        if (autoComplete)
            QTimer::singleShot(0, this, [this, n = navigations.size()] {
                if (n == navigations.size())
                    complete(answerFor(navigations.last()));
            });
    }
    [[nodiscard]] int ReadyState() const override { return state_; }
    [[nodiscard]] const PageDocument* Document() const override { return doc_.get(); }
    [[nodiscard]] bool lastLoadGotAnswer() const override { return gotAnswer_; }

    void complete(const Answer& a)
    {
        QMap<QString, QString> values;
        if (a.temperature)
            values.insert(QStringLiteral("Temperature_0"), *a.temperature);
        doc_ = std::make_unique<FakeDocument>(values, a.error);
        gotAnswer_ = a.gotAnswer;
        state_ = Complete;
        emit completed();
    }

    Answer answerFor(const QString& url) const
    {
        for (auto it = answers.begin(); it != answers.end(); ++it)
            if (url.contains(it.key()))
                return it.value();
        return defaultAnswer;
    }

    bool autoComplete = true;
    QStringList navigations;
    QMap<QString, Answer> answers; // by ROM code
    Answer defaultAnswer{QStringLiteral("20.5"), true};

private:
    int state_ = Uninitialized;
    std::unique_ptr<FakeDocument> doc_;
    bool gotAnswer_ = true;
};

// A sensor reader (a bus, a server) that answers each read through the event loop, as scripted by ROM code.
class FakeReader : public SensorReader {
    Q_OBJECT
public:
    void setSensors(const QStringList& romCodes) override
    {
        roms = romCodes;
        resolutionsAtSetSensors = resolutions;
    }
    void setResolutions(const QList<std::optional<int>>& bits, bool save) override
    {
        resolutions = bits;
        saveResolution = save;
    }
    [[nodiscard]] QString slotText(int slot) const override { return QStringLiteral("/") + roms.value(slot); }
    [[nodiscard]] bool pausesAfterSweepWithoutNumber() const override { return pausesIdle; }
    void read(int slot) override
    {
        if (++reads <= silentReads)
            return;
        QTimer::singleShot(0, this, [this, slot, asked = ++asked_] {
            if (asked == asked_)
                emit answered(slot, answers.value(roms.value(slot), defaultAnswer));
        });
    }
    void cancel() override
    {
        ++asked_;
        ++cancels;
    }
    [[nodiscard]] bool offers(BusAction action) const override { return offered.contains(action); }
    void act(BusAction action, const QString& target) override
    {
        actions.append({action, target});
        QTimer::singleShot(0, this, [this, action] { emit acted(action, actProblem); });
    }
    void discover() override
    {
        ++discoveries;
        QTimer::singleShot(0, this, [this] {
            if (discoveryFailure)
                emit discoveryFailed(*discoveryFailure);
            else
                emit discovered(found);
        });
    }

    QStringList roms;
    QMap<QString, SensorAnswer> answers; // by ROM code
    SensorAnswer defaultAnswer{ReadOutcome::Ok, 20.5f, {}};
    int reads = 0;
    int silentReads = 0; // the first reads get no answer at all, as from a reader that breaks its word
    int cancels = 0;
    QStringList found;                       // what discover() finds
    std::optional<QString> discoveryFailure; // or why it cannot look
    int discoveries = 0;
    bool pausesIdle = true;
    QList<std::optional<int>> resolutions; // as last set
    QList<std::optional<int>> resolutionsAtSetSensors;
    bool saveResolution = false;
    QList<BusAction> offered;                     // what offers() says yes to
    QList<std::pair<BusAction, QString>> actions; // what act() was asked, with its target
    QString actProblem;                           // why every act() fails; empty: each is done

private:
    int asked_ = 0; // a read asked before a cancel() is not answered
};

// Records what a cycle and an adapter's reader tell, the way a window shows it.
class RecordingDisplay {
public:
    void listen(AcquisitionCycle& cycle, AdapterReader* reader = nullptr)
    {
        QObject::connect(&cycle, &AcquisitionCycle::slotStarted, &cycle, [this](int, const QString& t) {
            addressText = t;
            addressList.append(t);
            events.append(QStringLiteral("address ") + t);
        });
        if (reader)
            QObject::connect(reader, &AdapterReader::pageLoaded, &cycle, [this] { ++pagesShown; });
        QObject::connect(&cycle, &AcquisitionCycle::sensorRead, &cycle, [this](const SensorReading& r) {
            if (!visible)
                events.append(QStringLiteral("shown"));
            visible = true;
            sensorNumber = QString::number(r.slot + 1);
            events.append(QStringLiteral("sensor ") + sensorNumber);
            temperature = runtime::singleToText(r.value);
            temperatures.append(temperature);
        });
        QObject::connect(&cycle, &AcquisitionCycle::sweepCompleted, &cycle, [this](const SweepReport& sweep) {
            if (!sweep.recordWritten)
                return;
            logError = sweep.logNotice;
            recordNumber = QString::number(sweep.recordNumber);
        });
    }
    [[nodiscard]] int addressCount() const { return static_cast<int>(addressList.size()); }

    QString addressText;
    QStringList addressList;
    QStringList events;
    QStringList temperatures;
    QString sensorNumber, temperature, recordNumber, logError;
    int pagesShown = 0;
    bool visible = false;
};

class RecordingRecorder : public SweepRecorder {
public:
    [[nodiscard]] bool loggingActive() const override { return active; }
    runtime::Error writeRecord(const SensorReadings& r) override
    {
        records.push_back(r);
        return failWith;
    }
    [[nodiscard]] QString notice() const override { return noticeText; }
    bool active = false;
    runtime::Error failWith;
    QString noticeText;
    std::vector<SensorReadings> records;
};

} // namespace quorvel::testing
