// The HTTP answer parser as the page component feeds it: any bytes, in any pieces, give the same
// outcome, never take more than given, never hold more body than the cap, and a complete answer with a
// length has exactly that much body. Its body decoded (gzip, deflate) stays under the cap too, and a
// body that could not be decoded is never handed out.
#include "acquisition/httpresponseparser.h"

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
    *used = 0;
    for (const QByteArrayView piece : {input.first(split), input.sliced(split)}) {
        const qsizetype taken = parser.feed(piece);
        if (taken < 0 || taken > piece.size())
            std::abort();
        *used += taken;
    }
    return parser;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArrayView input(data, static_cast<qsizetype>(size));
    qsizetype wholeUsed = 0;
    qsizetype splitUsed = 0;
    HttpResponseParser whole = parseInPieces(input, input.size(), &wholeUsed);
    // Where the answer is cut depends on its first byte, so the fuzzer explores the cuts too.
    const qsizetype split =
        input.isEmpty() ? 0 : (qsizetype(data[0]) * 131 + input.size()) % (input.size() + 1);
    HttpResponseParser cut = parseInPieces(input, split, &splitUsed);

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
