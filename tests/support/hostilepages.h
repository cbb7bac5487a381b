#pragma once

#include <QByteArray>
#include <QString>

#include <vector>

namespace quorvel::testing {

// A page within the answer cap whose reading is cheap but whose layout, shown whole, is not; or one
// whose reading itself would not be cheap, which is refused.
struct HostilePage {
    QString name;
    QByteArray html;
    bool refused = false;
};

// The value of the Temperature_0 element every hostile page ends with, after its hostile part, so a
// reading from the whole page finds it and a reading from a shortened one would not. The nested shapes
// hold it before the nesting as well: the parser reads no deeper than 256 levels.
inline constexpr char HostileReading[] = "23.5625";

// One page per shape, each at most `bytes` long: line breaks, table cells, nested tables, nested inline
// elements, a huge attribute, a huge text node, 50,000 inputs (the inputs do not grow with `bytes`) and
// one tag of distinct attributes, the one refused.
[[nodiscard]] std::vector<HostilePage> hostilePages(qsizetype bytes = 1024 * 1024);

} // namespace quorvel::testing
