#pragma once

#include <QLocale>
#include <QString>
#include <QStringView>

#include <cstdint>
#include <optional>

namespace quorvel::runtime {

// The runtime's conversions between numbers and text.

// A count with its noun, in the singular for one: "1 record", "2 records", "0 sweeps". Nouns whose
// plural is the noun and an "s".
[[nodiscard]] QString countText(qint64 count, const char* noun);

// A 16-bit integer as plain decimal text ("-12", "32767").
[[nodiscard]] QString integerToText(std::int16_t value);

// A single-precision value as its shortest decimal text with at most seven significant digits, the
// locale's decimal separator, a leading minus for negative values and no leading blank. Values of eight
// or more integer digits, or below 1E-05, use the exponent form "1.234568E+08".
[[nodiscard]] QString singleToText(float value, const QLocale& locale = QLocale());

// A single-precision value as the double its shortest text reads as: 4.3, not the 4.300000190734863 its
// widening gives, for formats that write doubles (JSON). NaN and the infinities stay as they are.
[[nodiscard]] double singleAsDouble(float value);

// Text to single-precision by the locale, failing on anything that is not a finite number in single range.
// Blanks around the number are allowed. A plain dot-decimal text ("23.5625") reads the same in every
// locale, because the adapter always writes "." as its decimal point; "." is never a group separator.
[[nodiscard]] std::optional<float> textToSingle(const QString& text, const QLocale& locale = QLocale());
// The same for text in the plain dot-decimal form (blanks around it allowed), without a locale and
// without allocating: what textToSingle gives, where it is a number; nothing otherwise, also where text
// is in another form, which textToSingle may still read.
[[nodiscard]] std::optional<float> plainTextToSingle(QStringView text);

} // namespace quorvel::runtime
