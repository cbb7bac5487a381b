#pragma once

#include "service/app/serviceconfig.h"
#include "service/state/adapterreachability.h"

#include "acquisition/acquisitioncycle.h"
#include "acquisition/pagecomponent.h"
#include "runtime/messagesink.h"

#include <QLocale>
#include <QObject>

#include <memory>
#include <optional>

namespace quorvel::service {

class ServiceLog;
class StateStore;

// One source at work: its page component, its cycle, its log and its reachability, with the cycle's
// events handed to the state store under the source's name. Sources run side by side on the one event
// loop; one that hangs or fails holds up no other.
class SourceRunner final : public QObject {
    Q_OBJECT
public:
    // Adds the source to the store; the destructor takes it out again.
    SourceRunner(SourceConfig config, std::unique_ptr<acquisition::PageComponent> page, StateStore& store,
                 const QLocale& locale, runtime::MessageSink messages, QObject* parent = nullptr);
    ~SourceRunner() override;

    // Opens the log; the reason when it cannot be opened.
    [[nodiscard]] std::optional<QString> openLog();
    // Fills the source's day of history from the end of its log, for the page's charts.
    void fillHistory(const QLocale& locale);
    void start();
    // Between two records: the cycle stops and the log is closed.
    void stop();
    void reopenLog();

    [[nodiscard]] const SourceConfig& config() const { return config_; }
    [[nodiscard]] acquisition::AcquisitionCycle& cycle() { return cycle_; }
    [[nodiscard]] const AdapterReachability& reachability() const { return reachability_; }
    // "standard output", "off" or the path, for the start message.
    [[nodiscard]] QString logText() const;

private:
    SourceConfig config_;
    std::unique_ptr<acquisition::PageComponent> page_;
    StateStore& store_;
    std::unique_ptr<ServiceLog> log_;
    acquisition::AcquisitionCycle cycle_;
    AdapterReachability reachability_;
};

} // namespace quorvel::service
