// The page reader as the acquisition cycle runs it: any answer body gives a value or nothing.
#include "acquisition/htmldocument.h"
#include "runtime/conversions.h"

#include <QByteArrayView>
#include <QString>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const quorvel::acquisition::HtmlDocument page(QByteArrayView(data, static_cast<qsizetype>(size)));
    if (const auto text = page.elementValue(QStringLiteral("Temperature_0")))
        (void)quorvel::runtime::textToSingle(*text);
    (void)page.displayHtml();
    return 0;
}
