#pragma once

#include <QString>
#include <QStringView>

namespace quorvel::runtime {

// A file of nothing but faults must not flood a journal: at most this many are told, then how many more.
inline constexpr int MaxToldFaults = 20;

// Text of a person's for a message: control characters as \xHH (or \uHHHH), so a message stays one whole
// line and shows what is in the file.
[[nodiscard]] QString escapedForMessage(QStringView text);

} // namespace quorvel::runtime
