// A log line read back: whatever parses must compose to a line that parses to the same time and to the
// readings rounded as the log writes them, and so must what that line parses to.
#include "logfile/logrecord.h"
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
    // Composed and parsed again: the same time, each reading rounded as the log writes it.
    const auto readsBack = [&](const LogRecord& record) {
        const auto again = parse(composeLogRecord(record, locale), locale);
        if (!again || again->when != record.when || again->readings.size() != record.readings.size())
            std::abort();
        for (qsizetype slot = 0; slot < record.readings.size(); ++slot) {
            if (again->readings[slot] != quorvel::fuzz::roundedToSevenDigits(record.readings[slot]))
                std::abort();
        }
        return *again;
    };
    // Seven digits are one more than a single always keeps, so the second line may differ from the first in
    // a reading's seventh digit ("1E+28" reads as 9.99999944E+27, written "9.999999E+27").
    readsBack(readsBack(*parsed));
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
