// The cutting unit fed arbitrary datagrams as a UDP socket delivers them. After the settings
// byte the input is a list of operations: a datagram (two length bytes, then its bytes), a
// receive time-out, a datagram too long for the free space (lost), or a new displayed trace.
// Afterwards, one valid packet in a datagram of its own after a quiet period must be decoded:
// no datagram can end or wedge the stream.

#include <cstdint>
#include <vector>

#include "fuzz/StreamFuzzing.h"

using namespace vita49;
using namespace vita49::fuzz;

namespace {
// Longer than any free space: its bytes never reach the buffer.
std::uint8_t oversized[StreamDecoder::kBufferBytes + 64];
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    const std::uint8_t flags = in.Byte();
    CheckedDecoder decoder(flags, false, 0);
    std::uint64_t delivered = 0;
    while (in.Remaining() > 0) {
        const std::uint8_t op = in.Byte();
        switch (op & 3) {
        case 0: {
            std::size_t n = 0;
            const std::uint8_t* datagram = in.Take(in.U16(), n);
            decoder->Deliver(datagram, n);
            delivered += n;
            FUZZ_CHECK(decoder->HeldBytes() == 0); // a datagram leaves nothing for the next one
            break;
        }
        case 1:
            decoder->OnReceiveTimeout();
            FUZZ_CHECK(decoder->HeldBytes() == 0);
            break;
        case 2:
            decoder->Deliver(oversized, decoder->FreeBytes() + 1u + (op >> 2));
            FUZZ_CHECK(decoder->HeldBytes() == 0);
            break;
        default:
            decoder->SetDisplayedTrace(in.Byte());
            break;
        }
        FUZZ_CHECK(decoder->HeldBytes() <= StreamDecoder::kBufferBytes);
    }
    FUZZ_CHECK(decoder->Info().bytesReceived == delivered);

    decoder->OnReceiveTimeout();
    const std::size_t before = decoder.Log().size();
    const std::vector<std::uint8_t> canary = CanaryPacket(StreamIdFrom(flags), 0, 3);
    decoder->Deliver(canary.data(), canary.size());
    FUZZ_CHECK(decoder.Log().size() == before + 1 && decoder.Log().back().kind == 1);
    return 0;
}
