#include "w1treenames.h"

#include "sensorlist.h"

#include <algorithm>

namespace quorvel::acquisition {

namespace {

constexpr qsizetype FolderNameLength = 15; // "28-000001234567"

} // namespace

QStringList thermometersInTree(const QStringList& folderNames)
{
    QStringList codes;
    for (const QString& name : folderNames) {
        if (name.size() != FolderNameLength || name.at(2) != u'-')
            continue;
        if (const auto code = readRomCode(name, RomFamilies::AnyThermometer).romCode)
            codes.append(*code);
    }
    // The adapter's form ends in the family code and has the serial number before it, most significant
    // digit first: ID order is the order of that rotated text.
    const auto id = [](const QString& code) { return code.right(2) + code.mid(2, 12); };
    std::sort(codes.begin(), codes.end(), [&](const QString& a, const QString& b) { return id(a) < id(b); });
    codes.erase(std::unique(codes.begin(), codes.end()), codes.end());
    return codes;
}

QString w1FolderName(const QString& romCode)
{
    return (romCode.right(2) + u'-' + romCode.mid(2, 12)).toLower();
}

} // namespace quorvel::acquisition
