#pragma once

#include <QByteArray>
#include <QString>

#include <vector>

namespace quorvel::testing {

// A page within the answer cap whose layout, shown whole, would not be cheap, or whose reading is dear
// for libxml2; or one whose reading would stall the parse, which only the read budget ends, so it is
// refused however fast the machine.
struct HostilePage {
    QString name;
    QByteArray html;
    bool refused = false;
    bool shortened = true; // false: the parser makes nothing of its bulk, so the view shows all there is
};

// The value of the Temperature_0 element every hostile page ends with, after its hostile part, so a
// reading from the whole page finds it and a reading from a shortened one would not. The nested shapes
// hold it before the nesting as well: the parser reads no deeper than 256 levels.
inline constexpr char HostileReading[] = "23.5625";

// One page per shape, each at most `bytes` long: line breaks, table cells, nested tables, nested inline
// elements, a huge attribute, a huge text node, 50,000 inputs (the inputs do not grow with `bytes`),
// unknown entities, stray end tags, two kinds of broken character references and one tag of distinct
// attributes, the one refused.
[[nodiscard]] std::vector<HostilePage> hostilePages(qsizetype bytes = 1024 * 1024);

} // namespace quorvel::testing
