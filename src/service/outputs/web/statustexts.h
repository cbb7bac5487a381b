#pragma once

#include "acquisition/busfacts.h"

#include <QDateTime>
#include <QList>
#include <QString>

namespace quorvel::service {

class StateStore;
struct OutputLink;
struct SensorState;
struct SourceState;

// The texts the status page shows, as the server writes them into the page and as /readings.json carries
// them for the page's script, so a refreshed page reads as a served one.
namespace statuspage {

// Text for an HTML text node or a double-quoted attribute value.
[[nodiscard]] QString escapeHtml(const QString& text);
// Whether a character of a name would act rather than show: C0 and C1 controls, DEL, and the marks that
// reorder text (bidi embeddings, overrides and isolates). Shown as U+FFFD wherever a name is shown.
[[nodiscard]] bool actsUnseen(char32_t c);
// The text with each such character (line feeds too) replaced by U+FFFD.
[[nodiscard]] QString visible(QString text);
// "12 s ago", "5 min ago", "3 h ago", "2 d ago"; "never" for an invalid time.
[[nodiscard]] QString ageText(const QDateTime& then, const QDateTime& now);
// The times people read on the page, all in the service's local time, which the page names once.
[[nodiscard]] QString localTime(const QDateTime& when);
// A reading, the shortest text that reads back as the same value.
[[nodiscard]] QString valueText(float value);

// The cells of a sensor's row.
[[nodiscard]] QString temperatureCell(const SensorState& sensor);
[[nodiscard]] QString resultText(const SensorState& sensor);
// "high since 2024-05-01 12:00:00", what the row and the page's head say of an alarm.
[[nodiscard]] QString alarmText(const SensorState& sensor);

// A sensor's supply as the metrics label it: "external", "parasite", or empty when not known.
[[nodiscard]] QString powerLabel(const acquisition::SensorFacts& facts);
// Its power and resolution where known, and what it did not take: "parasite power, 12 bits".
[[nodiscard]] QString factsText(const SensorState& sensor);

// "Shown 2024-05-01 12:00:00, local time (UTC+02:00) as every time on this page ...": the page's time.
[[nodiscard]] QString shownText(const StateStore& store, const QDateTime& now);

// How a sensor's row looks beside its texts: the classes of the row and its cells, and the marks shown.
struct RowLook {
    QString row;    // "alarm" for any alarm, else empty
    QString age;    // the last good read's cell
    QString result; // the last read's cell
    bool staleMark = false;
    bool alarmMark = false; // stale has its own mark, as before limits
};
[[nodiscard]] RowLook rowLook(const SensorState& sensor);

// One line of the list of alarms at the page's head, where a phone shows it without scrolling.
struct AlarmLine {
    QString anchor; // the sensor's row
    QString sensor; // its name, with its source's when there are several
    QString alarm;
};
[[nodiscard]] QList<AlarmLine> alarmLines(const StateStore& store);

// "answers", or since when and why the source does not; and its class.
[[nodiscard]] QString reachableText(const SourceState& source);
[[nodiscard]] QString reachableClass(const SourceState& source);
// A source's bus health: the devices found, the share of failed reads, the last recovery; and apart, since
// the page shows them in red, its ghost devices and since when it is down (each empty when none).
[[nodiscard]] QString healthText(const SourceState& source, const QDateTime& now);
[[nodiscard]] QString ghostsText(const SourceState& source);
[[nodiscard]] QString downText(const SourceState& source, const QDateTime& now);
// "12 records written, 0 lost".
[[nodiscard]] QString logCountsText(const SourceState& source);

// An output's line at the page's foot: "influx NAME: caught up", "influx NAME: down since 10:02 (connection
// refused): 1,234 lines wait".
[[nodiscard]] QString outputText(const OutputLink& output);

} // namespace statuspage

} // namespace quorvel::service
