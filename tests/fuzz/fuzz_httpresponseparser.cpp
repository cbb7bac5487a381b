// The HTTP answer parser as the page component feeds it: any bytes, in any pieces, give the same
// outcome, never take more than given, never hold more body than the cap, and a complete answer with a
// length has exactly that much body. Its body decoded (gzip, deflate) stays under the cap too, and a
// body that could not be decoded is never handed out.
#include "sources/adapter/httpresponseparser.h"
#include "twopieces.h"

#include <QByteArrayView>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

using quorvel::acquisition::HttpResponseParser;

namespace {

// A small cap, so that the fuzzer reaches it.
constexpr qint64 cap = 4096;

HttpResponseParser parseInPieces(QByteArrayView input, qsizetype split, qsizetype* used)
{
    HttpResponseParser parser(cap);
    *used = feedInTwoPieces(parser, input, split);
    return parser;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArrayView input(data, static_cast<qsizetype>(size));
    qsizetype wholeUsed = 0;
    qsizetype splitUsed = 0;
    HttpResponseParser whole = parseInPieces(input, input.size(), &wholeUsed);
    HttpResponseParser cut = parseInPieces(input, cutPoint(input), &splitUsed);

    for (HttpResponseParser* parser : {&whole, &cut}) {
        if (parser->body().size() > cap)
            std::abort();
        if (parser->isComplete() && parser->contentLength() >= 0 &&
            parser->body().size() != parser->contentLength())
            std::abort();
        if (parser->isComplete() && (parser->status() < 200 || parser->status() > 999))
            std::abort();
        if (parser->isComplete()) {
            const HttpResponseParser::Decoded decoded = parser->decodedBody();
            if (decoded.body.size() > cap ||
                (decoded.outcome != HttpResponseParser::Decoded::Outcome::Decoded && !decoded.body.isEmpty()))
                std::abort();
        }
    }
    if (whole.state() != cut.state() || whole.failure() != cut.failure() || whole.status() != cut.status() ||
        whole.body() != cut.body() || whole.hasStatus() != cut.hasStatus() ||
        whole.keepAlive() != cut.keepAlive() || (whole.isComplete() && wholeUsed != splitUsed))
        std::abort();

    whole.finish();
    if (!whole.isComplete() && !whole.isFailed())
        std::abort();
    return 0;
}
