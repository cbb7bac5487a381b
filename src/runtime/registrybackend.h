#pragma once

#include "registry.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <memory>

namespace quorvel::runtime {

// The three registry operations the lookups need, behind one interface so the About box can read the
// platform's registry or, in tests, one held in memory. Names arrive as text and are matched without
// regard to case; data come back as raw bytes in the system's 8-bit code page.
class RegistryBackend {
public:
    RegistryBackend() = default;
    virtual ~RegistryBackend() = default;
    RegistryBackend(const RegistryBackend&) = delete;
    RegistryBackend& operator=(const RegistryBackend&) = delete;

    // Opens subKey below root; on success handle is a nonzero key handle, otherwise it is 0.
    [[nodiscard]] virtual RegStatus openKey(RegHandle root, const QString& subKey, std::uint32_t options,
                                            std::uint32_t accessMask, RegHandle& handle) = 0;
    // Copies the value's data into buffer, which holds size bytes; size becomes the data's length. When the
    // data do not fit, the result is MoreData, size the length needed and the buffer holds nothing usable.
    // A null buffer asks for the length only.
    [[nodiscard]] virtual RegStatus queryValue(RegHandle handle, const QString& valueName,
                                               std::uint32_t& type, std::uint8_t* buffer,
                                               std::uint32_t& size) = 0;
    // Closing handle 0 does nothing.
    virtual RegStatus closeKey(RegHandle handle) = 0;

    // The registry of the platform the program runs on.
    [[nodiscard]] static std::shared_ptr<RegistryBackend> createPlatform();

protected:
    // The size rules of queryValue, shared by every backend.
    [[nodiscard]] static RegStatus copyData(const QByteArray& data, std::uint8_t* buffer,
                                            std::uint32_t& size);
};

} // namespace quorvel::runtime
