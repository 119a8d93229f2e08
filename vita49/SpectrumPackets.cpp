#include "vita49/SpectrumPackets.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "vita49/ByteOrder.h"
#include "vita49/ContextFields.h"
#include "vita49/PacketLayout.h"
#include "vita49/Vita49Types.h"

namespace vita49 {

bool ReadSpectrumContext(const std::uint8_t* packet, std::uint32_t payloadOffset, std::uint32_t length,
                         double& param1Hz, double& param2Hz, double& param3Hz, std::uint32_t& param4) {
    param1Hz = param2Hz = param3Hz = 0.0;
    param4 = 0;
    if (payloadOffset == 0 || std::uint64_t{payloadOffset} + kSpectrumContextBytes > length) return false;
    const std::uint8_t* p = packet + payloadOffset;
    param1Hz = FixedPointHz(load_be64(p));
    param2Hz = FixedPointHz(load_be64(p + 8));
    param3Hz = FixedPointHz(load_be64(p + 16));
    param4 = load_be32(p + 24);
    return true;
}

bool ReadSpectrumHeader(const std::uint8_t* packet, std::uint32_t length, std::uint32_t& valueCount,
                        std::uint16_t& traceId, const std::uint8_t*& values) {
    if (length < 4 || HeaderType(packet) != kExtData) return false;
    std::uint32_t start = PrologueBytes(packet);
    if (start + kSpectrumHeaderBytes > length) return false;
    valueCount = load_be32(packet + start + 4);
    traceId = static_cast<std::uint16_t>(load_be32(packet + start + 8));
    values = packet + start + kSpectrumHeaderBytes;
    return true;
}

SpectrumTraces::SpectrumTraces() { seen_.reserve(kMaxListedTraces); }

SpectrumTraces::~SpectrumTraces() { std::free(buffer_); }

std::uint32_t SpectrumTraces::Take(const std::uint8_t* packet, std::uint32_t length, std::uint32_t valueCount,
                                   std::uint16_t traceId, const std::uint8_t* values,
                                   std::uint16_t displayedTrace, Vita49_FFTData& record) {
    record.traceIdsValid = true;
    // Only the first identifiers are listed: a stream of ever new identifiers must not make
    // the list (and the search through it) grow without bound.
    if (seen_.size() < kMaxListedTraces && std::find(seen_.begin(), seen_.end(), traceId) == seen_.end())
        seen_.push_back(traceId);
    std::copy(seen_.begin(), seen_.end(), record.traceIds);

    // N comes from the wire: only a trace that lies wholly within its packet is used.
    const std::uint64_t traceBytes = 4ull * valueCount;
    const std::uint64_t available = length - static_cast<std::uint32_t>(values - packet);
    if (traceBytes > available) return 0;
    const auto bytes = static_cast<std::uint32_t>(traceBytes);

    if (buffer_ == nullptr || bufferBytes_ != bytes) {
        // Zero-filled, so that no packet ever hands out stale or uninitialised values; at
        // least one value, so that even an empty trace hands out a buffer. The old buffer
        // goes only once the new one exists: a failed allocation leaves everything as it was.
        auto* fresh = static_cast<float*>(std::calloc(std::max<std::uint32_t>(bytes, 4) / 4, sizeof(float)));
        if (fresh == nullptr) return 0;
        std::free(buffer_);
        buffer_ = fresh;
        bufferBytes_ = bytes;
    }
    record.payloadSize = bytes;
    if (traceId == displayedTrace) std::memcpy(buffer_, values, bytes);
    return bytes;
}

} // namespace vita49
