// The request head reader as the listener calls it, on a buffer that may go on with further requests:
// a complete head is never longer than the cap or the buffer, and what follows it changes nothing, so
// the same head cut just after its end reads the same; cut any shorter, it is never complete.
#include "service/http/httprequesthead.h"

#include <QByteArrayView>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

using quorvel::service::ParsedRequestHead;
using quorvel::service::parseRequestHead;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArrayView input(data, static_cast<qsizetype>(size));
    // A cap the fuzzer reaches, and one it does not.
    for (const qsizetype cap : {qsizetype(256), qsizetype(1) << 20}) {
        const ParsedRequestHead parsed = parseRequestHead(input, cap);
        if (parsed.outcome != ParsedRequestHead::Outcome::Complete)
            continue;
        if (parsed.length <= 0 || parsed.length > cap || parsed.length > input.size() ||
            !parsed.head.path.startsWith('/'))
            std::abort();
        const ParsedRequestHead alone = parseRequestHead(input.first(parsed.length), cap);
        if (alone.outcome != parsed.outcome || alone.length != parsed.length ||
            alone.head.path != parsed.head.path || alone.head.keepAlive != parsed.head.keepAlive ||
            alone.head.hasBody != parsed.head.hasBody)
            std::abort();
        const qsizetype shorter = input.isEmpty() ? 0 : qsizetype(data[0]) % parsed.length;
        if (parseRequestHead(input.first(shorter), cap).outcome == ParsedRequestHead::Outcome::Complete)
            std::abort();
    }
    return 0;
}
