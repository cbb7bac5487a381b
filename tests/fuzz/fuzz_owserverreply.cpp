// The 1-Wire server reply decoder as the reader feeds it: any bytes, in any two pieces, give the same
// reply or failure, never take more than given, and never hold more data than the bound.
#include "sources/owserver/owserverprotocol.h"
#include "twopieces.h"

#include <QByteArrayView>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

using quorvel::acquisition::owserver::ReplyDecoder;

// A small bound, so that the fuzzer reaches it.
constexpr qint32 cap = 4096;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArrayView input(data, static_cast<qsizetype>(size));
    ReplyDecoder whole(cap);
    ReplyDecoder cut(cap);
    const qsizetype wholeUsed = feedInTwoPieces(whole, input, input.size());
    const qsizetype cutUsed = feedInTwoPieces(cut, input, cutPoint(input));
    for (const ReplyDecoder* decoder : {&whole, &cut})
        if (decoder->reply().data.size() > cap ||
            (decoder->state() == ReplyDecoder::State::Complete && decoder->reply().ret < 0 &&
             !decoder->reply().data.isEmpty()))
            std::abort();
    if (whole.state() != cut.state() || whole.failure() != cut.failure() || wholeUsed != cutUsed ||
        whole.keepAlives() != cut.keepAlives() || whole.reply().data != cut.reply().data ||
        (whole.state() == ReplyDecoder::State::Complete && whole.reply().ret != cut.reply().ret))
        std::abort();
    return 0;
}
