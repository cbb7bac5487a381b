#include "w1treenames.h"

#include "acquisition/sensorlist.h"

#include <algorithm>

namespace quorvel::acquisition {

namespace {

constexpr qsizetype FolderNameLength = 15; // "28-000001234567"

} // namespace

bool isDeviceFolder(const QString& name)
{
    if (name.size() != FolderNameLength || name.at(2) != u'-')
        return false;
    return std::all_of(name.cbegin(), name.cend(), [](QChar c) {
        return c == u'-' || (c >= u'0' && c <= u'9') || (c.toLower() >= u'a' && c.toLower() <= u'f');
    });
}

QStringList thermometersInTree(const QStringList& folderNames)
{
    QStringList codes;
    for (const QString& name : folderNames) {
        if (!isDeviceFolder(name))
            continue;
        if (const auto code = readRomCode(name, RomFamilies::AnyThermometer).romCode)
            codes.append(*code);
    }
    return inIdOrder(codes);
}

} // namespace quorvel::acquisition
