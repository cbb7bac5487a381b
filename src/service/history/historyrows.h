#pragma once

#include "acquisition/readoutcome.h"

#include <QList>
#include <QString>

#include <array>
#include <optional>

namespace quorvel::service::history {

// One sensor over one sample interval, as it is written. Temperatures in °C; every time in UTC seconds.
struct SampleRow {
    qint64 time = 0; // the interval's start
    QString source;
    QString romCode;            // the key: a sensor renamed or moved keeps its history
    QString name;               // what the page showed at the time (the display name)
    std::optional<double> last; // the last good value; nothing when no read was good
    std::optional<double> raw;  // the same before the calibration offset
    std::optional<double> min;
    std::optional<double> max;
    std::optional<double> mean; // of the good reads
    int reads = 0;              // all reads, good and failed
    // Failed reads by outcome, indexed as acquisition::ReadOutcomeLabels (Ok's place stays 0).
    std::array<int, acquisition::ReadOutcomeCount> failures{};

    [[nodiscard]] int failed() const;
    [[nodiscard]] int good() const { return reads - failed(); }
};

// A change worth keeping: a sensor's alarm state, or whether a source answers.
struct EventRow {
    enum class Kind { Alarm, Reachability };
    qint64 time = 0;
    Kind kind = Kind::Alarm;
    QString source;
    QString romCode; // empty for a source's event
    QString from;    // the labels: ok/low/high/stale; reachable/unreachable
    QString to;
    QString detail; // the value or the reason, as the journal told it; may be empty
};

// The failures as the store keeps them, 'crc_error:2 no_answer:1' in the labels' order; empty for none. The
// parse passes over what it does not know (a label of a later release).
[[nodiscard]] QString failuresText(const std::array<int, acquisition::ReadOutcomeCount>& failures);
[[nodiscard]] std::array<int, acquisition::ReadOutcomeCount> parseFailures(const QString& text);

// Temperatures are stored as whole thousandths of a degree, rounded.
[[nodiscard]] qint64 toMilli(double celsius);
[[nodiscard]] double fromMilli(qint64 milli);

// What one write transaction takes.
struct Batch {
    QList<SampleRow> samples;
    QList<EventRow> events;
    // Rows before this time are whole: no later batch merges into them (the interval in hand starts here).
    qint64 wholeBefore = 0;
    [[nodiscard]] bool isEmpty() const { return samples.isEmpty() && events.isEmpty(); }
};

} // namespace quorvel::service::history
