#pragma once

#include <QString>

#include <cstdint>
#include <stdexcept>

namespace quorvel::runtime {

// Where the desktop's system information program is registered: the About box asks, the platform's
// backend answers.
inline constexpr auto SysInfoKey = "SOFTWARE\\Microsoft\\Shared Tools\\MSINFO";
inline constexpr auto SysInfoValue = "PATH";

class RegistryBackend;

// A key handle as the registry hands it out; 0 means no key.
using RegHandle = std::uint32_t;
using RegStatus = std::int32_t;

namespace RegResult {
constexpr RegStatus Success = 0;
constexpr RegStatus FileNotFound = 2;
constexpr RegStatus AccessDenied = 5;
constexpr RegStatus InvalidHandle = 6;
constexpr RegStatus MoreData = 234;
} // namespace RegResult

namespace RegType {
constexpr std::uint32_t None = 0;
constexpr std::uint32_t Sz = 1;
constexpr std::uint32_t ExpandSz = 2;
constexpr std::uint32_t Binary = 3;
constexpr std::uint32_t Dword = 4;
} // namespace RegType

namespace RegRoot {
constexpr RegHandle LocalMachine = 0x80000002;
} // namespace RegRoot

// Read control plus query, set, create-subkey, enumerate, notify and create-link rights: more than a
// reader needs, but it is the mask the lookups have always asked for.
constexpr std::uint32_t RegReaderAccessMask = 0x2003F;
constexpr std::uint32_t RegReaderBufferSize = 1024;

// Raised by the value reader when a value fills its whole buffer without a terminating zero byte.
class RegistryError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Reads one value of a key below an open root as text. True when the key was opened and the value read:
// text values become keyVal, 32-bit numbers their decimal text, other types leave keyVal as passed.
// False, with keyVal empty, when the key or the value is absent or refused. Throws RegistryError when the
// 1024-byte buffer holds no zero byte; the key is closed first.
[[nodiscard]] bool readRegistryValue(RegistryBackend& backend, RegHandle keyRoot, const QString& keyName,
                                     const QString& valueName, QString& keyVal);

} // namespace quorvel::runtime
