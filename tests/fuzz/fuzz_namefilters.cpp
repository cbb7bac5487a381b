// The common dialog's filter text to file dialog name filters: one non-empty filter at most per
// description and pattern pair, for any text; and each filter's file patterns are non-empty, with every
// file matched wherever "*.*" is among them.
#include "runtime/commondialog.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QString filter =
        QString::fromUtf8(QByteArray(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size)));
    const QStringList filters = quorvel::runtime::toNameFilters(filter);
    const qsizetype pairs = filter.isEmpty() ? 0 : filter.count(u'|') / 2 + 1;
    if (filters.size() > pairs)
        std::abort();
    for (const QString& entry : filters) {
        if (entry.trimmed().isEmpty())
            std::abort();
        const QStringList patterns = quorvel::runtime::filePatterns(entry);
        for (const QString& pattern : patterns) {
            if (pattern.isEmpty() || pattern.contains(u' '))
                std::abort();
        }
        if (patterns.contains(QStringLiteral("*.*")) && !patterns.contains(QStringLiteral("*")))
            std::abort();
    }
    return 0;
}
