#pragma once

#include "service/state/sensorsettings.h"

#include "acquisition/plausibility.h"
#include "acquisition/sourcekind.h"
#include "runtime/configyaml.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

namespace quorvel::service {

struct ServiceConfig;
struct SourceConfig;

// The largest max_step a sensor can be given: a jump past it is never the same sensor a sweep later.
inline constexpr double MaxStepCelsius = 200;
// The resolutions a thermometer of a bus converts at, in bits.
inline constexpr int LowestResolution = 9;
inline constexpr int HighestResolution = 12;

// A number of the file; nothing, told, when the value is none or not finite.
[[nodiscard]] std::optional<double> readNumber(const runtime::configyaml::Entry& entry,
                                               runtime::configyaml::Faults& faults);

// The keys max_step, range and resolution of a sensor or a source, into the same fields of checks; a key
// that is no good is told and left unset. any: one of them was given.
template <typename Checks>
void readCheckKeys(runtime::configyaml::Fields& fields, Checks& checks, runtime::configyaml::Faults& faults,
                   bool& any);

// The key save_resolution of a source of that kind; false, told, where it is no good.
[[nodiscard]] bool readSaveResolution(const runtime::configyaml::Entry& entry,
                                      const acquisition::SourceKind& kind,
                                      runtime::configyaml::Faults& faults);

// What each polled sensor's readings are believed within, slot order: its own key, else the source's
// default, else (the range) its family's datasheet range where the kind defaults to it.
[[nodiscard]] QList<acquisition::PlausibilityBounds>
plausibilityBounds(const SourceConfig& source, const QList<acquisition::ListedSensor>& sensors);
// The resolution each polled sensor is asked to convert at, slot order; nothing: left as it is.
[[nodiscard]] QList<std::optional<int>> resolutions(const SourceConfig& source,
                                                    const QList<acquisition::ListedSensor>& sensors);

// ", max_step 5 °C, range -10 to 40 °C, resolution 12 bits" for what is set; empty when nothing.
[[nodiscard]] QString checksText(const SensorSettings& settings);
// For --check: per source its default checks and its recovery, a line each where set.
[[nodiscard]] QStringList sourceChecksText(const ServiceConfig& config);

} // namespace quorvel::service
