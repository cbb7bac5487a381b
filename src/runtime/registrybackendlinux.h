#pragma once

#include "registrybackend.h"

#include <QHash>
#include <QStringList>

namespace quorvel::runtime {

// The registry as this platform offers it: read-only, and below the local-machine root only the key that
// names the desktop's system information program, with its full path as the text value "PATH". The key
// exists while one of the known programs is found on PATH; nothing else does.
class RegistryBackendLinux final : public RegistryBackend {
public:
    // The programs looked for, in order of preference.
    [[nodiscard]] static QStringList sysInfoCandidates();
    // The full path of the first candidate found on PATH, or an empty text.
    [[nodiscard]] static QString findSysInfoTool();

    [[nodiscard]] RegStatus openKey(RegHandle root, const QString& subKey, std::uint32_t options,
                                    std::uint32_t accessMask, RegHandle& handle) override;
    [[nodiscard]] RegStatus queryValue(RegHandle handle, const QString& valueName, std::uint32_t& type,
                                       std::uint8_t* buffer, std::uint32_t& size) override;
    RegStatus closeKey(RegHandle handle) override;

private:
    // The tool's path is fixed when the key is opened, so one open reads one consistent value.
    QHash<RegHandle, QString> handles_;
    RegHandle nextHandle_ = 0x100;
};

} // namespace quorvel::runtime
