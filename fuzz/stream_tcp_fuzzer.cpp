// The cutting unit fed an arbitrary byte stream as TCP delivers it. The input starts with the
// settings byte, then a count and a list of chunk sizes (each size byte's top bit adds a
// receive time-out after its chunk); the rest is the stream.
//
// A TCP peer chooses how its bytes are segmented, so the packets accepted must not depend on
// it: a second decoder takes the whole stream in one receive and must accept the very same
// packets, also of the bytes that come next. After a lost connection one valid packet must be
// decoded.

#include <cstdint>
#include <vector>

#include "fuzz/StreamFuzzing.h"

using namespace vita49;
using namespace vita49::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    const std::uint8_t flags = in.Byte();
    std::vector<std::uint8_t> chunks(in.Byte() % 8);
    for (auto& c : chunks) c = in.Byte();
    if (chunks.empty()) chunks.push_back(0); // one byte at a time
    const std::uint8_t* stream = in.Current();
    const std::size_t streamBytes = in.Remaining();

    CheckedDecoder chunked(flags, true, 0);
    std::size_t next = 0;
    for (std::size_t at = 0; at < streamBytes; ++next) {
        const std::uint8_t c = chunks[next % chunks.size()];
        std::size_t n = (c & 0x7F) + 1u;
        if (n > streamBytes - at) n = streamBytes - at;
        chunked->Deliver(stream + at, n);
        at += n;
        if (c & 0x80) chunked->OnReceiveTimeout();
        FUZZ_CHECK(chunked->HeldBytes() <= StreamDecoder::kBufferBytes);
    }

    CheckedDecoder whole(flags, true, 1);
    whole->Deliver(stream, streamBytes);

    FUZZ_CHECK(chunked->Info().bytesReceived == streamBytes);
    FUZZ_CHECK(whole->Info().bytesReceived == streamBytes);
    FUZZ_CHECK(chunked.Log() == whole.Log());

    // What either decoder still holds may differ in bytes that can never start a packet, but
    // not in what becomes of the bytes that follow.
    const std::vector<std::uint8_t> canary = CanaryPacket(StreamIdFrom(flags), 0, 3);
    chunked->Deliver(canary.data(), canary.size());
    whole->Deliver(canary.data(), canary.size());
    FUZZ_CHECK(chunked.Log() == whole.Log());

    // A new connection starts on a packet boundary, whatever the old one left behind.
    chunked->OnConnectionLost();
    const std::size_t before = chunked.Log().size();
    chunked->Deliver(canary.data(), canary.size());
    FUZZ_CHECK(chunked.Log().size() == before + 1 && chunked.Log().back().kind == 1);
    FUZZ_CHECK(chunked->HeldBytes() == 0);
    return 0;
}
