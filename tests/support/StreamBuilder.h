#pragma once

// Byte streams of VITA 49 packets for feeding the cutting unit, with the position of every
// packet kept so that tests can split, cut or spoil the stream at chosen places; and the
// helpers that feed such a stream to a StreamDecoder the way a connection would.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "receiver/StreamDecoder.h"
#include "sim/PacketWriter.h"
#include "support/HandPacket.h"
#include "vita49/Vita49Types.h"

namespace vita49::test {

// `n` bytes counting up from `seed`.
std::vector<std::uint8_t> Ramp(std::size_t n, std::uint8_t seed = 0);

class StreamBuilder {
public:
    struct Span {
        std::size_t offset = 0;
        std::size_t length = 0;
        bool packet = false; // false: bytes added by Raw
    };

    explicit StreamBuilder(std::uint32_t streamId) : streamId_(streamId) {}

    // Each adds one packet (header and prologue written by BuildPacket, payloads by the
    // simulator's encoder) and returns its index in Spans().
    std::size_t Packet(const sim::PacketHeader& header, const std::vector<std::uint8_t>& payload);
    std::size_t Data(std::uint8_t count, const std::vector<std::uint8_t>& payload);
    std::size_t Data(std::uint8_t count, std::size_t payloadBytes) { return Data(count, Ramp(payloadBytes, count)); }
    std::size_t Context(std::uint8_t count, const sim::ContextValues& values);
    std::size_t ExtContext(std::uint8_t count, double p1Hz, double p2Hz, double p3Hz, std::uint32_t p4);
    std::size_t ExtData(std::uint8_t count, std::uint16_t traceId, const std::vector<float>& values);
    // Bytes that are no packet (garbage, a hand-made header, a partial packet).
    std::size_t Raw(const std::vector<std::uint8_t>& bytes);

    std::uint32_t StreamId() const { return streamId_; }
    const std::vector<std::uint8_t>& Bytes() const { return bytes_; }
    const std::vector<Span>& Spans() const { return spans_; }
    std::size_t Size() const { return bytes_.size(); }
    // Bytes of the packet or raw span with this index.
    std::vector<std::uint8_t> SpanBytes(std::size_t index) const;

private:
    std::size_t Add(const std::vector<std::uint8_t>& bytes, bool packet);

    std::uint32_t streamId_;
    std::vector<std::uint8_t> bytes_;
    std::vector<Span> spans_;
};

// A decoder configured for `streamId`, reset and started as Open and the receive thread do.
std::unique_ptr<StreamDecoder> MakeDecoder(std::uint32_t streamId, bool tcp,
                                           const Vita49_Receiver_Settings& settings = Vita49_Receiver_Settings{});

// One receive of the whole range.
void Deliver(StreamDecoder& decoder, const std::vector<std::uint8_t>& bytes);
// Receives that end at each of the ascending offsets `cuts` and at the end of `bytes`.
void DeliverSplit(StreamDecoder& decoder, const std::vector<std::uint8_t>& bytes, const std::vector<std::size_t>& cuts);
// Receives of `chunk` bytes each (the last may be shorter).
void DeliverInChunks(StreamDecoder& decoder, const std::vector<std::uint8_t>& bytes, std::size_t chunk);

} // namespace vita49::test
