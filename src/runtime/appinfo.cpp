#include "appinfo.h"

namespace quorvel::runtime {

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

} // namespace quorvel::runtime
