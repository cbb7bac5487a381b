#include "registry.h"

#include "registrybackend.h"

#include <algorithm>
#include <array>

namespace quorvel::runtime {

namespace {

// Closes the key on every way out of the reader, the raised error included.
class KeyCloser {
public:
    KeyCloser(RegistryBackend& backend, RegHandle& key) : backend_(backend), key_(key) {}
    ~KeyCloser() { (void)backend_.closeKey(key_); }
    KeyCloser(const KeyCloser&) = delete;
    KeyCloser& operator=(const KeyCloser&) = delete;

private:
    RegistryBackend& backend_;
    RegHandle& key_;
};

} // namespace

bool readRegistryValue(RegistryBackend& backend, RegHandle keyRoot, const QString& keyName,
                       const QString& valueName, QString& keyVal)
{
    RegHandle key = 0;
    const KeyCloser closer(backend, key);
    if (backend.openKey(keyRoot, keyName, 0, RegReaderAccessMask, key) != RegResult::Success) {
        // Whatever the backend left in the handle, a refused open has nothing to close.
        key = 0;
        keyVal.clear();
        return false;
    }

    std::array<std::uint8_t, RegReaderBufferSize> buffer{};
    std::uint32_t size = RegReaderBufferSize;
    std::uint32_t type = RegType::None;
    if (backend.queryValue(key, valueName, type, buffer.data(), size) != RegResult::Success) {
        keyVal.clear();
        return false;
    }

    // The text ends at the first zero byte of the buffer, not at the reported size: shorter data are
    // followed by the buffer's own zeros.
    const auto end = std::find(buffer.begin(), buffer.end(), std::uint8_t{0});
    if (end == buffer.end())
        throw RegistryError("The registry value " + valueName.toStdString() + " has no terminating zero.");
    const QString text = QString::fromLocal8Bit(reinterpret_cast<const char*>(buffer.data()),
                                                std::distance(buffer.begin(), end));

    switch (type) {
    case RegType::Sz:
        keyVal = text;
        break;
    case RegType::Dword: {
        // Read unsigned: a number with its top bit set shows as 2147483648 and above, never negative.
        const std::uint32_t number = std::uint32_t{buffer[0]} | std::uint32_t{buffer[1]} << 8 |
                                     std::uint32_t{buffer[2]} << 16 | std::uint32_t{buffer[3]} << 24;
        keyVal = QString::number(number);
        break;
    }
    default:
        break;
    }
    return true;
}

} // namespace quorvel::runtime
