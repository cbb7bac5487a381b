#pragma once

#include "runtime/registrybackend.h"

#include <QHash>
#include <QList>

namespace quorvel::runtime {

// A registry held in memory, for tests: keys with values of any type and raw data, keys that refuse to
// be opened, and a record of every open and close.
class RegistryBackendMemory final : public RegistryBackend {
public:
    struct OpenCall {
        RegHandle root = 0;
        QString subKey;
        std::uint32_t options = 0;
        std::uint32_t accessMask = 0;
    };

    // Creates the key if needed; a key may exist without values.
    void addKey(RegHandle root, const QString& subKey);
    void setValue(RegHandle root, const QString& subKey, const QString& valueName, std::uint32_t type,
                  const QByteArray& data);
    // A text value as stored by the platform: 8-bit code page with its terminating zero.
    void setString(RegHandle root, const QString& subKey, const QString& valueName, const QString& text);
    // A 32-bit number, least significant byte first.
    void setDword(RegHandle root, const QString& subKey, const QString& valueName, std::uint32_t number);
    // Opening the key fails with AccessDenied from now on.
    void denyKey(RegHandle root, const QString& subKey);

    [[nodiscard]] RegStatus openKey(RegHandle root, const QString& subKey, std::uint32_t options,
                                    std::uint32_t accessMask, RegHandle& handle) override;
    [[nodiscard]] RegStatus queryValue(RegHandle handle, const QString& valueName, std::uint32_t& type,
                                       std::uint8_t* buffer, std::uint32_t& size) override;
    RegStatus closeKey(RegHandle handle) override;

    [[nodiscard]] const QList<OpenCall>& openCalls() const { return openCalls_; }
    // Handles that were open when closed; closes of 0 or of unknown handles are not counted.
    [[nodiscard]] int closedCount() const { return closedCount_; }
    [[nodiscard]] int openHandleCount() const { return static_cast<int>(handles_.size()); }

private:
    struct Value {
        std::uint32_t type = RegType::None;
        QByteArray data;
    };
    struct Key {
        bool denied = false;
        QHash<QString, Value> values; // by lower-case name
    };

    [[nodiscard]] static QString keyId(RegHandle root, const QString& subKey);

    QHash<QString, Key> keys_; // by root and lower-case path
    QHash<RegHandle, QString> handles_;
    QList<OpenCall> openCalls_;
    RegHandle nextHandle_ = 0x100;
    int closedCount_ = 0;
};

} // namespace quorvel::runtime
