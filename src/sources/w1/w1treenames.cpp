#include "w1treenames.h"

#include "acquisition/sensorlist.h"

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
    return inIdOrder(codes);
}

} // namespace quorvel::acquisition
