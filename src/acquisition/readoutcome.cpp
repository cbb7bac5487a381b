#include "readoutcome.h"

namespace quorvel::acquisition {

QString readOutcomeLabel(ReadOutcome outcome)
{
    for (const auto& [kind, label] : ReadOutcomeLabels)
        if (kind == outcome)
            return QString::fromLatin1(label.data(), qsizetype(label.size()));
    return {};
}

} // namespace quorvel::acquisition
