// The page reader as the acquisition cycle runs it: any answer body gives a value or nothing, and the same
// value and rendering whether it is rendered as it is read or on demand. First with a read budget of an
// hour, so that an input reads the same on every run and a finding reproduces; then with a budget of
// zero, which refuses any page longer than its first piece.
#include "sources/adapter/htmldocument.h"
#include "runtime/conversions.h"

#include <QByteArrayView>
#include <QString>

#include <chrono>
#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArrayView bytes(data, static_cast<qsizetype>(size));
    for (const std::chrono::milliseconds budget :
         {std::chrono::milliseconds(std::chrono::hours(1)), std::chrono::milliseconds(0)}) {
        using quorvel::acquisition::HtmlDocument;
        const HtmlDocument page(bytes.toByteArray(), {}, budget);
        const auto text = page.elementValue(QStringLiteral("Temperature_0"));
        if (text)
            (void)quorvel::runtime::textToSingle(*text);
        const HtmlDocument ahead(bytes.toByteArray(), {}, budget, HtmlDocument::Rendering::Ahead);
        if (ahead.elementValue(QStringLiteral("Temperature_0")) != text ||
            ahead.displayHtml() != page.displayHtml())
            __builtin_trap();
    }
    return 0;
}
