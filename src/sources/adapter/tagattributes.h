#pragma once

// Internal to quorvel_acquisition: the rest of the core sees pages through htmldocument.h only.

#include <QByteArrayView>
#include <QString>

#include <libxml/xmlstring.h>

#include <optional>

namespace quorvel::acquisition {

inline QByteArrayView bytesOf(const xmlChar* text)
{
    return text != nullptr ? QByteArrayView(reinterpret_cast<const char*>(text)) : QByteArrayView();
}

// A start tag's attributes as the parser hands them over: names in lower case, the first of repeated
// names only, a value of null for an attribute written without one.
class TagAttributes {
public:
    explicit TagAttributes(const xmlChar** atts) : atts_(atts) {}

    [[nodiscard]] bool has(const char* name) const { return find(name) != nullptr; }

    // The value, empty for an attribute without one; nothing for a missing attribute.
    [[nodiscard]] std::optional<QByteArrayView> value(const char* name) const
    {
        const xmlChar* const* pair = find(name);
        if (pair == nullptr)
            return std::nullopt;
        return bytesOf(pair[1]);
    }

    [[nodiscard]] QString text(const char* name) const
    {
        const auto bytes = value(name);
        return bytes ? QString::fromUtf8(*bytes) : QString();
    }

    template <typename F> void forEach(F f) const
    {
        for (const xmlChar** pair = atts_; pair != nullptr && pair[0] != nullptr; pair += 2)
            f(pair[0], bytesOf(pair[1]));
    }

private:
    [[nodiscard]] const xmlChar* const* find(const char* name) const
    {
        for (const xmlChar** pair = atts_; pair != nullptr && pair[0] != nullptr; pair += 2) {
            if (xmlStrcasecmp(pair[0], BAD_CAST name) == 0)
                return pair;
        }
        return nullptr;
    }

    const xmlChar** atts_;
};

} // namespace quorvel::acquisition
