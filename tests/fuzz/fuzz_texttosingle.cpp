// Text to single-precision in the locales the log is written in. A success must be a finite single,
// and the text singleToText makes of it must read back as that value rounded to seven digits, as must
// the text of what was read back.
#include "roundingreference.h"
#include "runtime/conversions.h"

#include <QByteArray>
#include <QLocale>
#include <QString>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>

namespace {

void check(const QString& text, const QLocale& locale)
{
    using quorvel::runtime::singleToText;
    using quorvel::runtime::textToSingle;
    const auto value = textToSingle(text, locale);
    if (!value)
        return;
    if (!std::isfinite(*value) || std::fabs(*value) > std::numeric_limits<float>::max())
        std::abort();
    const QString written = singleToText(*value, locale);
    const auto back = textToSingle(written, locale);
    if (!back || *back != quorvel::fuzz::roundedToSevenDigits(*value))
        std::abort();
    // Seven digits are one more than a single always keeps, so the text of what was read back may differ
    // in its seventh digit ("1E+28" reads as 9.99999944E+27, written "9.999999E+27"); it reads back all
    // the same.
    const auto again = textToSingle(singleToText(*back, locale), locale);
    if (!again || *again != quorvel::fuzz::roundedToSevenDigits(*back))
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const QLocale locales[] = {QLocale::c(), QLocale(QLocale::English, QLocale::UnitedStates),
                                      QLocale(QLocale::German, QLocale::Germany)};
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const QString texts[] = {QString::fromUtf8(bytes), QString::fromLatin1(bytes)};
    for (const QString& text : texts) {
        for (const QLocale& locale : locales)
            check(text, locale);
    }
    return 0;
}
