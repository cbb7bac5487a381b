#include "service/history/historyrows.h"

#include <QStringList>

#include <cmath>
#include <numeric>

namespace quorvel::service::history {

int SampleRow::failed() const
{
    return std::accumulate(failures.begin() + 1, failures.end(), 0);
}

QString failuresText(const std::array<int, acquisition::ReadOutcomeCount>& failures)
{
    QStringList parts;
    for (std::size_t i = 1; i < failures.size(); ++i) {
        if (failures[i] > 0) {
            const auto label = acquisition::ReadOutcomeLabels[i].second;
            parts << QString::fromLatin1(label.data(), qsizetype(label.size())) + QLatin1Char(':') +
                         QString::number(failures[i]);
        }
    }
    return parts.join(QLatin1Char(' '));
}

std::array<int, acquisition::ReadOutcomeCount> parseFailures(const QString& text)
{
    std::array<int, acquisition::ReadOutcomeCount> failures{};
    for (const QString& part : text.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        const qsizetype colon = part.lastIndexOf(QLatin1Char(':'));
        bool ok = false;
        const int count = part.mid(colon + 1).toInt(&ok);
        if (colon <= 0 || !ok || count < 0)
            continue;
        const QString label = part.left(colon);
        for (std::size_t i = 1; i < failures.size(); ++i) {
            const auto known = acquisition::ReadOutcomeLabels[i].second;
            if (label == QLatin1String(known.data(), qsizetype(known.size())))
                failures[i] += count;
        }
    }
    return failures;
}

qint64 toMilli(double celsius)
{
    return std::llround(celsius * 1000.0);
}

double fromMilli(qint64 milli)
{
    return double(milli) / 1000.0;
}

} // namespace quorvel::service::history
