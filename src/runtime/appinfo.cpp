#include "appinfo.h"

namespace quorvel::runtime {

namespace {
QString& helpFileOverride()
{
    static QString path;
    return path;
}
} // namespace

QString AppInfo::helpFile()
{
    return helpFileOverride();
}
void AppInfo::overrideHelpFile(const QString& path)
{
    helpFileOverride() = path;
}
void AppInfo::resetHelpFile()
{
    helpFileOverride().clear();
}

int AppInfo::major()
{
    return QUORVEL_VERSION_MAJOR;
}
int AppInfo::minor()
{
    return QUORVEL_VERSION_MINOR;
}
int AppInfo::revision()
{
    return QUORVEL_VERSION_PATCH;
}
QString AppInfo::versionText()
{
    return QStringLiteral("%1.%2.%3").arg(major()).arg(minor()).arg(revision());
}

} // namespace quorvel::runtime
