// A log line read back: whatever parses must compose to a line that parses to the same time and to the
// readings rounded as the log writes them, and composing that again must give the same line.
#include "acquisition/logrecord.h"
#include "roundingreference.h"

#include <QByteArray>
#include <QLocale>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

// parse is the window program's reader of thirteen readings or the log tool's of any count.
template <typename Parse> void check(const QString& line, const QLocale& locale, Parse parse)
{
    using namespace quorvel::acquisition;
    const auto parsed = parse(line, locale);
    if (!parsed)
        return;
    const QString composed = composeLogRecord(*parsed, locale);
    const auto again = parse(composed, locale);
    if (!again || again->when != parsed->when || again->readings.size() != parsed->readings.size())
        std::abort();
    for (qsizetype slot = 0; slot < parsed->readings.size(); ++slot) {
        if (again->readings[slot] != quorvel::fuzz::roundedToSevenDigits(parsed->readings[slot]))
            std::abort();
    }
    if (composeLogRecord(*again, locale) != composed)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const QLocale locales[] = {QLocale(QLocale::English, QLocale::UnitedStates),
                                      QLocale(QLocale::German, QLocale::Germany)};
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    // The file is in the locale's 8-bit encoding; UTF-8 covers what a hand-edited file may hold.
    const QString lines[] = {QString::fromLatin1(bytes), QString::fromUtf8(bytes)};
    for (const QString& line : lines) {
        for (const QLocale& locale : locales) {
            check(line, locale, [](QStringView l, const QLocale& loc) {
                return quorvel::acquisition::parseLogRecord(l, loc);
            });
            check(line, locale, [](QStringView l, const QLocale& loc) {
                return quorvel::acquisition::parseAnyLogRecord(l, loc);
            });
        }
    }
    return 0;
}
