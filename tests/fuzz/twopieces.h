#pragma once

#include <QByteArrayView>

#include <cstdlib>

// A stream parser fed its input in two pieces, as bytes arrive from a socket: the fuzzers check that the
// cut changes nothing.

// Where to cut: it depends on the first byte, so the fuzzer explores the cuts too.
inline qsizetype cutPoint(QByteArrayView input)
{
    return input.isEmpty()
               ? 0
               : (qsizetype(static_cast<unsigned char>(input[0])) * 131 + input.size()) % (input.size() + 1);
}

// Feeds both pieces and returns how many bytes the parser took; a count it cannot have taken aborts.
template <typename Parser> qsizetype feedInTwoPieces(Parser& parser, QByteArrayView input, qsizetype split)
{
    qsizetype used = 0;
    for (const QByteArrayView piece : {input.first(split), input.sliced(split)}) {
        const qsizetype taken = parser.feed(piece);
        if (taken < 0 || taken > piece.size())
            std::abort();
        used += taken;
    }
    return used;
}
