#include "registrybackendmemory.h"

namespace quorvel::runtime {

QString RegistryBackendMemory::keyId(RegHandle root, const QString& subKey)
{
    return QString::number(root, 16) + QLatin1Char(':') + subKey.toLower();
}

void RegistryBackendMemory::addKey(RegHandle root, const QString& subKey)
{
    (void)keys_[keyId(root, subKey)];
}

void RegistryBackendMemory::setValue(RegHandle root, const QString& subKey, const QString& valueName,
                                     std::uint32_t type, const QByteArray& data)
{
    keys_[keyId(root, subKey)].values.insert(valueName.toLower(), Value{type, data});
}

void RegistryBackendMemory::setString(RegHandle root, const QString& subKey, const QString& valueName,
                                      const QString& text)
{
    QByteArray data = text.toLocal8Bit();
    data.append('\0');
    setValue(root, subKey, valueName, RegType::Sz, data);
}

void RegistryBackendMemory::setDword(RegHandle root, const QString& subKey, const QString& valueName,
                                     std::uint32_t number)
{
    QByteArray data;
    for (int shift = 0; shift < 32; shift += 8)
        data.append(static_cast<char>((number >> shift) & 0xFF));
    setValue(root, subKey, valueName, RegType::Dword, data);
}

void RegistryBackendMemory::denyKey(RegHandle root, const QString& subKey)
{
    keys_[keyId(root, subKey)].denied = true;
}

RegStatus RegistryBackendMemory::openKey(RegHandle root, const QString& subKey, std::uint32_t options,
                                         std::uint32_t accessMask, RegHandle& handle)
{
    openCalls_.append(OpenCall{root, subKey, options, accessMask});
    handle = 0;
    const QString id = keyId(root, subKey);
    const auto it = keys_.constFind(id);
    if (it == keys_.constEnd())
        return RegResult::FileNotFound;
    if (it->denied)
        return RegResult::AccessDenied;
    handle = nextHandle_++;
    handles_.insert(handle, id);
    return RegResult::Success;
}

RegStatus RegistryBackendMemory::queryValue(RegHandle handle, const QString& valueName, std::uint32_t& type,
                                            std::uint8_t* buffer, std::uint32_t& size)
{
    const auto h = handles_.constFind(handle);
    if (h == handles_.constEnd())
        return RegResult::InvalidHandle;
    const Key& key = keys_[*h];
    const auto v = key.values.constFind(valueName.toLower());
    if (v == key.values.constEnd())
        return RegResult::FileNotFound;
    type = v->type;
    return copyData(v->data, buffer, size);
}

RegStatus RegistryBackendMemory::closeKey(RegHandle handle)
{
    if (handle == 0 || !handles_.remove(handle))
        return RegResult::InvalidHandle;
    ++closedCount_;
    return RegResult::Success;
}

} // namespace quorvel::runtime
