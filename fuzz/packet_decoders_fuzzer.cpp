// Every packet decoding function on one arbitrary packet held in a buffer of exactly its
// length, so that a read past `length` is a heap overflow the sanitizer reports.

#include <cstdint>
#include <cstring>
#include <memory>

#include "fuzz/FuzzInput.h"
#include "vita49/ByteOrder.h"
#include "vita49/ContextFields.h"
#include "vita49/PacketLayout.h"
#include "vita49/SpectrumPackets.h"
#include "vita49/Vita49Types.h"

namespace {

using namespace vita49;

void CheckSpan(bool ok, std::uint32_t offset, std::uint32_t size, std::uint32_t length) {
    if (ok) {
        FUZZ_CHECK(std::uint64_t{offset} + size <= length);
        FUZZ_CHECK(offset >= 4);
    } else {
        FUZZ_CHECK(offset == 0 && size == 0);
    }
}

void DecodeAll(const std::uint8_t* packet, std::uint32_t length) {
    std::uint32_t u32 = 0;
    std::uint64_t u64 = 0;
    ReadStreamId(packet, length, u32);
    ReadIntegerTimestamp(packet, length, u32);
    ReadFractionalTimestamp(packet, length, u64);
    ReadTrailer(packet, length, u32);

    std::uint32_t offset = 7, size = 7;
    const bool data = LocateDataPayload(packet, length, offset, size);
    CheckSpan(data, offset, size, length);
    offset = size = 7;
    const bool section = LocateContextPayload(packet, length, offset, size);
    CheckSpan(section, offset, size, length);
    offset = size = 7;
    const bool ext = LocateExtContextPayload(packet, length, offset, size);
    CheckSpan(ext, offset, size, length);

    double p1 = 0, p2 = 0, p3 = 0;
    std::uint32_t p4 = 0;
    if (ReadSpectrumContext(packet, offset, length, p1, p2, p3, p4)) FUZZ_CHECK(ext);

    for (unsigned bit = 0; bit < 33; ++bit) {
        const std::uint32_t at = ContextFieldOffset(packet, length, bit);
        if (at != 0) FUZZ_CHECK(bit >= 14 && bit <= 30 && at >= 12);
    }
    double d = 0;
    ReadBandwidth(packet, length, d);
    ReadRfReferenceFrequency(packet, length, d);
    ReadReferenceLevel(packet, length, d);
    ReadSampleRate(packet, length, d);
    std::uint8_t packing = 0, item = 0;
    if (ReadPayloadFormat(packet, length, packing, item)) FUZZ_CHECK(item >= 1 && item <= 64 && packing >= 1 && packing <= 64);
    double g[6];
    ReadFormattedGps(packet, length, u32, u64, g[0], g[1], g[2], g[3], g[4], g[5]);

    Vita49_Context context;
    std::memset(static_cast<void*>(&context), 0, sizeof context);
    DecodeContextFields(packet, length, context);
    CheckSpan(context.payloadValid == 1, context.payloadOffset, context.payloadSize, length);
    if (context.payloadValid == 1 && context.payloadSize >= 4 &&
        ((load_be32(packet + context.payloadOffset) >> kCifFieldAttributes) & 1u) != 0) {
        // Fields with attributes are never decoded.
        FUZZ_CHECK(!(context.bandwidthValid || context.rfReferenceFrequencyValid || context.referenceLevelValid ||
                     context.sampleRateValid || context.payloadFormatValid || context.gpsValid));
        FUZZ_CHECK(ContextFieldOffset(packet, length, kCifBandwidth) == 0);
    }

    std::uint32_t count = 0;
    std::uint16_t traceId = 0;
    const std::uint8_t* values = nullptr;
    if (ReadSpectrumHeader(packet, length, count, traceId, values)) {
        FUZZ_CHECK(values >= packet + kSpectrumHeaderBytes && values <= packet + length);
        SpectrumTraces traces;
        Vita49_FFTData record;
        record.payloadSize = 0;
        const std::uint32_t taken = traces.Take(packet, length, count, traceId, values, traceId, record);
        FUZZ_CHECK(taken == 0 || (taken == 4ull * count && values + taken <= packet + length));
        FUZZ_CHECK(taken == 0 || traces.BufferBytes() >= taken);
        FUZZ_CHECK(record.traceIdsValid && record.traceIds[0] == traceId);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 0x100000) return 0;
    const auto length = static_cast<std::uint32_t>(size);
    // The decoders are handed the packet's declared length by the receive loop; here also
    // any other length, and always a buffer that ends exactly there.
    std::unique_ptr<std::uint8_t[]> exact(new std::uint8_t[length == 0 ? 1 : length]);
    if (length > 0) std::memcpy(exact.get(), data, length);
    if (length >= 4) {
        DecodeAll(exact.get(), length);
        const std::uint32_t declared = HeaderPacketBytes(exact.get());
        if (declared >= 4 && declared < length) DecodeAll(exact.get(), declared);
    } else {
        // Shorter than a header word: the receive loop never hands such a packet on, but
        // the length checks must still hold (the header byte is readable here).
        std::uint8_t header[4] = {};
        if (length > 0) std::memcpy(header, data, length);
        DecodeAll(header, length);
    }
    return 0;
}
