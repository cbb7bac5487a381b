// The adapter address from the settings file: accepted text must be a dotted quad with an optional port
// 1..65535, returned unchanged, and every such text without leading zeros must be accepted.
#include "sources/adapter/adapteraddress.h"

#include <QByteArray>
#include <QRegularExpression>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

struct Form {
    bool dottedQuad = false;
    bool leadingZero = false;
};

Form formOf(const QString& text)
{
    static const QRegularExpression form(QRegularExpression::anchoredPattern(
        QStringLiteral("([0-9]{1,3})\\.([0-9]{1,3})\\.([0-9]{1,3})\\.([0-9]{1,3})(?::([0-9]{1,5}))?")));
    const QRegularExpressionMatch m = form.match(text);
    if (!m.hasMatch())
        return {};
    Form result;
    for (int group = 1; group <= 5; ++group) {
        const QString number = m.captured(group);
        if (number.isNull())
            continue;
        const int value = number.toInt();
        if (group <= 4 ? value > 255 : (value < 1 || value > 65535))
            return {};
        result.leadingZero = result.leadingZero || (number.size() > 1 && number.front() == u'0');
    }
    result.dottedQuad = true;
    return result;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QString text =
        QString::fromUtf8(QByteArray(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size)));
    const auto address = quorvel::acquisition::parseAdapterAddress(text);
    const Form form = formOf(text);
    if (address && (!form.dottedQuad || *address != text))
        std::abort();
    if (!address && form.dottedQuad && !form.leadingZero)
        std::abort();
    return 0;
}
