#include "registrybackendlinux.h"

#include <QStandardPaths>

namespace quorvel::runtime {

QStringList RegistryBackendLinux::sysInfoCandidates()
{
    return {QStringLiteral("kinfocenter"), QStringLiteral("hardinfo2"), QStringLiteral("hardinfo"),
            QStringLiteral("gnome-system-monitor")};
}

QString RegistryBackendLinux::findSysInfoTool()
{
    for (const QString& name : sysInfoCandidates()) {
        const QString path = QStandardPaths::findExecutable(name);
        if (!path.isEmpty())
            return path;
    }
    return {};
}

RegStatus RegistryBackendLinux::openKey(RegHandle root, const QString& subKey, std::uint32_t /*options*/,
                                        std::uint32_t /*accessMask*/, RegHandle& handle)
{
    handle = 0;
    if (root != RegRoot::LocalMachine || subKey.compare(QLatin1String(SysInfoKey), Qt::CaseInsensitive) != 0)
        return RegResult::FileNotFound;
    const QString tool = findSysInfoTool();
    if (tool.isEmpty())
        return RegResult::FileNotFound;
    handle = nextHandle_++;
    handles_.insert(handle, tool);
    return RegResult::Success;
}

RegStatus RegistryBackendLinux::queryValue(RegHandle handle, const QString& valueName, std::uint32_t& type,
                                           std::uint8_t* buffer, std::uint32_t& size)
{
    const auto h = handles_.constFind(handle);
    if (h == handles_.constEnd())
        return RegResult::InvalidHandle;
    if (valueName.compare(QLatin1String(SysInfoValue), Qt::CaseInsensitive) != 0)
        return RegResult::FileNotFound;
    QByteArray data = h->toLocal8Bit();
    data.append('\0');
    type = RegType::Sz;
    return copyData(data, buffer, size);
}

RegStatus RegistryBackendLinux::closeKey(RegHandle handle)
{
    return handle != 0 && handles_.remove(handle) ? RegResult::Success : RegResult::InvalidHandle;
}

} // namespace quorvel::runtime
