#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

namespace quorvel::service {

class StateStore;

// The status page and its data, rendered whole by the server from the state store: the page needs no script
// to show everything, and its small script only refreshes it in place from /readings.json.
namespace statuspage {

// The version of /readings.json's schema; a change that takes or renames a field raises it.
inline constexpr int ReadingsSchemaVersion = 3;

// Text for an HTML text node or a double-quoted attribute value.
[[nodiscard]] QString escapeHtml(const QString& text);
// Whether a character of a name would act rather than show: C0 and C1 controls, DEL, and the marks that
// reorder text (bidi embeddings, overrides and isolates). Shown as U+FFFD wherever a name is shown.
[[nodiscard]] bool actsUnseen(char32_t c);
// The text with each such character (line feeds too) replaced by U+FFFD.
[[nodiscard]] QString visible(QString text);
// "12 s ago", "5 min ago", "3 h ago", "2 d ago"; "never" for an invalid time.
[[nodiscard]] QString ageText(const QDateTime& then, const QDateTime& now);

[[nodiscard]] QByteArray readingsJson(const StateStore& store, const QDateTime& now);
[[nodiscard]] QByteArray html(const StateStore& store, const QDateTime& now);
// The chart of every sensor over the day, drawn by the log tool's plot renderer: one point a minute, a gap
// where a sensor had no good read.
[[nodiscard]] QByteArray chartSvg(const StateStore& store, const QDateTime& now);
// What the page's responses allow: nothing but the page itself, its own style and script.
[[nodiscard]] QByteArray contentSecurityPolicy();

} // namespace statuspage

} // namespace quorvel::service
