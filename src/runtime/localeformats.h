#pragma once

#include <QDateTime>
#include <QLocale>
#include <QString>
#include <QStringView>

#include <optional>

namespace quorvel::runtime {

// How the runtime writes dates and times: the locale's short date with a four-digit year, and its long
// time without a time-zone field, so a log line says nothing the reader of the file cannot use and
// years never wrap.

// The locale's short date format with every year field widened to four digits ("M/d/yy" -> "M/d/yyyy").
// The locale a name given by a person names (en_US, de_DE, C, POSIX); nothing for a name Qt does not know,
// which it would otherwise take silently for the C locale.
[[nodiscard]] std::optional<QLocale> localeNamed(const QString& name);

// ISO 8601 with the offset from UTC spelled out ("Z" for none), so a reader in another zone places the
// instant; empty for an invalid time.
[[nodiscard]] QString isoWithOffset(const QDateTime& when);

// The zone of local times for people: "local time (UTC+01:00)", the offset being that of when.
[[nodiscard]] QString localZoneText(const QDateTime& when);

[[nodiscard]] QString shortDateFormat(const QLocale& locale = QLocale());

// The locale's long time format without its time-zone field ("h:mm:ss AP t" -> "h:mm:ss AP").
[[nodiscard]] QString longTimeFormat(const QLocale& locale = QLocale());

// Hours and minutes as the locale writes them ("h:mm AP"); seconds and time zone are dropped.
[[nodiscard]] QString shortTimeFormat(const QLocale& locale = QLocale());

// Short date, one blank, long time: "3/14/2007 10:05:42 PM" for U.S. English. The value is written as
// given; callers pass local time.
[[nodiscard]] QString dateTimeText(const QDateTime& when, const QLocale& locale = QLocale());

// Reads back what dateTimeText writes in the same locale: the locale's own digits, its AM/PM texts in
// any letter case, month names where the format has them. Runs of blanks stand for one blank and
// direction marks are ignored. Nothing for text that is not such a date and time, or not a valid one.
// Format-driven rather than QLocale::toDateTime, which misreads hour 12 before its AM/PM text and
// digits outside the Basic Multilingual Plane.
[[nodiscard]] std::optional<QDateTime> dateTimeFromText(QStringView text, const QLocale& locale = QLocale());
// Whether what dateTimeText writes in the locale may have a comma in it (in the format, a month name or
// the AM/PM text).
[[nodiscard]] bool dateTimeMayHoldComma(const QLocale& locale);

// The format rewrites behind the functions above, on raw QDateTime format strings. Quoted literals are
// never touched.
[[nodiscard]] QString withFourDigitYear(const QString& format);
[[nodiscard]] QString withoutTimeZone(const QString& format);
[[nodiscard]] QString withoutSeconds(const QString& format);

} // namespace quorvel::runtime
