#include "registrybackend.h"

#include "registrybackendlinux.h"

#include <cstring>

namespace quorvel::runtime {

std::shared_ptr<RegistryBackend> RegistryBackend::createPlatform()
{
    return std::make_shared<RegistryBackendLinux>();
}

RegStatus RegistryBackend::copyData(const QByteArray& data, std::uint8_t* buffer, std::uint32_t& size)
{
    const auto needed = static_cast<std::uint32_t>(data.size());
    if (!buffer) {
        size = needed;
        return RegResult::Success;
    }
    if (needed > size) {
        size = needed;
        return RegResult::MoreData;
    }
    if (needed > 0)
        std::memcpy(buffer, data.constData(), needed);
    size = needed;
    return RegResult::Success;
}

} // namespace quorvel::runtime
