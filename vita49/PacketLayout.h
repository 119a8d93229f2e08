#pragma once

// The VITA 49.0 packet layout as the receiver reads it: header word, prologue, payload span
// and trailer. Stateless functions over (first byte, length in bytes); each returns false
// rather than read a field that would end beyond `length`, and writes its outputs only on
// success (the payload locators write offset 0 and size 0 on failure).

#include <cstdint>

#include "vita49/ByteOrder.h"

#if defined(__GNUC__) || defined(__clang__)
#define VITA49_ALWAYS_INLINE inline __attribute__((always_inline))
#else
#define VITA49_ALWAYS_INLINE inline
#endif

namespace vita49 {

// Packet types of the header's top nibble.
enum PacketType : std::uint8_t {
    kIfDataNoStreamId = 0,
    kIfData = 1,
    kExtDataNoStreamId = 2,
    kExtData = 3,
    kIfContext = 4,
    kExtContext = 5,
};

// Header fields, read from the first four bytes (the caller guarantees they exist).
inline std::uint8_t HeaderType(const std::uint8_t* packet) { return static_cast<std::uint8_t>(packet[0] >> 4); }
inline bool HeaderHasClassId(const std::uint8_t* packet) { return (packet[0] & 0x08) != 0; }
inline bool HeaderHasTrailer(const std::uint8_t* packet) { return (packet[0] & 0x04) != 0; }
inline bool HeaderHasIntTimestamp(const std::uint8_t* packet) { return (packet[1] & 0xC0) != 0; }
inline bool HeaderHasFracTimestamp(const std::uint8_t* packet) { return (packet[1] & 0x30) != 0; }
inline std::uint8_t HeaderPacketCount(const std::uint8_t* packet) { return packet[1] & 0x0F; }
inline std::uint32_t HeaderPacketBytes(const std::uint8_t* packet) {
    return 4u * ((std::uint32_t{packet[2]} << 8) | packet[3]);
}
inline bool TypeHasStreamId(std::uint8_t type) {
    return type == kIfData || type == kExtData || type == kIfContext || type == kExtContext;
}

// The header word and the prologue offsets it implies, from one read of the header. Every
// reader below starts from it, so the layout has a single definition.
struct HeaderLayout {
    std::uint32_t word = 0;            // header word, host order
    std::uint32_t intTimestampAt = 0;  // byte offsets from the packet start
    std::uint32_t fracTimestampAt = 0;
    std::uint32_t payloadAt = 0;       // first byte after the prologue

    std::uint8_t Type() const { return static_cast<std::uint8_t>(word >> 28); }
    bool HasTrailer() const { return (word >> 26) & 1u; }
    bool HasIntTimestamp() const { return (word >> 22) & 3u; }
    bool HasFracTimestamp() const { return (word >> 20) & 3u; }
    std::uint8_t Count() const { return static_cast<std::uint8_t>((word >> 16) & 0x0F); }
    std::uint32_t PacketBytes() const { return 4u * (word & 0xFFFF); }
};

VITA49_ALWAYS_INLINE HeaderLayout ReadHeaderLayout(const std::uint8_t* packet) {
    HeaderLayout h;
    h.word = load_be32(packet);
    const std::uint32_t streamIdBytes = ((0x3Au >> h.Type()) & 1u) * 4; // types 1, 3, 4, 5
    const std::uint32_t classIdBytes = (h.word >> 24) & 8u;             // C, bit 27
    h.intTimestampAt = 4 + streamIdBytes + classIdBytes;
    h.fracTimestampAt = h.intTimestampAt + (h.HasIntTimestamp() ? 4 : 0);
    h.payloadAt = h.fracTimestampAt + (h.HasFracTimestamp() ? 8 : 0);
    return h;
}

// Byte offset of the first byte after the prologue (header, stream identifier, class
// identifier, timestamps).
inline std::uint32_t PrologueBytes(const std::uint8_t* packet) { return ReadHeaderLayout(packet).payloadAt; }

namespace layout_detail {

// Payload from `offset` to the packet end less `tail` bytes; fails unless it lies within
// both the declared packet and `length`.
inline bool LocateSpan(const HeaderLayout& h, std::uint32_t length, std::uint32_t offset, std::uint32_t tail,
                       std::uint32_t& outOffset, std::uint32_t& outSize) {
    const std::int64_t size = std::int64_t{h.PacketBytes()} - offset - tail;
    if (size < 0 || offset + static_cast<std::uint64_t>(size) > length) {
        outOffset = 0;
        outSize = 0;
        return false;
    }
    outOffset = offset;
    outSize = static_cast<std::uint32_t>(size);
    return true;
}

inline bool StreamIdOf(const HeaderLayout& h, const std::uint8_t* packet, std::uint32_t length,
                       std::uint32_t& streamId) {
    if (length < 8 || !TypeHasStreamId(h.Type())) return false;
    streamId = load_be32(packet + 4);
    return true;
}

inline bool IntTimestampOf(const HeaderLayout& h, const std::uint8_t* packet, std::uint32_t length,
                           std::uint32_t& timestamp) {
    if (!h.HasIntTimestamp() || h.intTimestampAt + 4 > length) return false;
    timestamp = load_be32(packet + h.intTimestampAt);
    return true;
}

inline bool FracTimestampOf(const HeaderLayout& h, const std::uint8_t* packet, std::uint32_t length,
                            std::uint64_t& timestamp) {
    if (!h.HasFracTimestamp() || h.fracTimestampAt + 8 > length) return false;
    timestamp = load_be64(packet + h.fracTimestampAt);
    return true;
}

inline bool DataPayloadOf(const HeaderLayout& h, std::uint32_t length, std::uint32_t& offset, std::uint32_t& size) {
    if (h.Type() > kIfData) {
        offset = 0;
        size = 0;
        return false;
    }
    return LocateSpan(h, length, h.payloadAt, h.HasTrailer() ? 4 : 0, offset, size);
}

inline bool TrailerOf(const HeaderLayout& h, const std::uint8_t* packet, std::uint32_t length,
                      std::uint32_t& trailer) {
    const std::uint32_t bytes = h.PacketBytes();
    if (!h.HasTrailer() || bytes <= 4 || bytes > length) return false;
    trailer = load_be32(packet + bytes - 4);
    return true;
}

} // namespace layout_detail

inline bool ReadStreamId(const std::uint8_t* packet, std::uint32_t length, std::uint32_t& streamId) {
    return length >= 4 && layout_detail::StreamIdOf(ReadHeaderLayout(packet), packet, length, streamId);
}

inline bool ReadIntegerTimestamp(const std::uint8_t* packet, std::uint32_t length, std::uint32_t& timestamp) {
    return length >= 4 && layout_detail::IntTimestampOf(ReadHeaderLayout(packet), packet, length, timestamp);
}

inline bool ReadFractionalTimestamp(const std::uint8_t* packet, std::uint32_t length, std::uint64_t& timestamp) {
    return length >= 4 && layout_detail::FracTimestampOf(ReadHeaderLayout(packet), packet, length, timestamp);
}

// IF data payload (types 0 and 1), trailer excluded.
inline bool LocateDataPayload(const std::uint8_t* packet, std::uint32_t length, std::uint32_t& offset,
                              std::uint32_t& size) {
    if (length < 4) {
        offset = 0;
        size = 0;
        return false;
    }
    return layout_detail::DataPayloadOf(ReadHeaderLayout(packet), length, offset, size);
}

// A payload of a packet of `type` from the prologue end to the packet end.
inline bool LocateTypedPayload(const std::uint8_t* packet, std::uint32_t length, std::uint8_t type,
                               std::uint32_t& offset, std::uint32_t& size) {
    if (length < 4 || HeaderType(packet) != type) {
        offset = 0;
        size = 0;
        return false;
    }
    return layout_detail::LocateSpan(ReadHeaderLayout(packet), length, PrologueBytes(packet), 0, offset, size);
}

// IF context section (type 4), from the context indicator word to the packet end.
inline bool LocateContextPayload(const std::uint8_t* packet, std::uint32_t length, std::uint32_t& offset,
                                 std::uint32_t& size) {
    return LocateTypedPayload(packet, length, kIfContext, offset, size);
}

// Extension context payload (type 5).
bool LocateExtContextPayload(const std::uint8_t* packet, std::uint32_t length, std::uint32_t& offset,
                             std::uint32_t& size);

// The trailer word in host order.
inline bool ReadTrailer(const std::uint8_t* packet, std::uint32_t length, std::uint32_t& trailer) {
    return length >= 4 && layout_detail::TrailerOf(ReadHeaderLayout(packet), packet, length, trailer);
}

// What the branches take from a packet's header and prologue, read in one go into a local
// value. Stores into a record go through no byte pointer, so reading the packet first spares
// the compiler re-reading the header after every store (a byte pointer may alias anything).
struct PrologueFields {
    HeaderLayout header;
    bool streamIdValid = false;
    bool intTimestampValid = false;
    bool fracTimestampValid = false;
    std::uint32_t streamId = 0;
    std::uint32_t intTimestamp = 0;
    std::uint64_t fracTimestamp = 0;
};

// The header word must be readable even when `length` is 0 (the receive loop guarantees it).
VITA49_ALWAYS_INLINE PrologueFields ReadPrologue(const std::uint8_t* packet, std::uint32_t length) {
    PrologueFields f;
    f.header = ReadHeaderLayout(packet);
    f.streamIdValid = layout_detail::StreamIdOf(f.header, packet, length, f.streamId);
    f.intTimestampValid = layout_detail::IntTimestampOf(f.header, packet, length, f.intTimestamp);
    f.fracTimestampValid = layout_detail::FracTimestampOf(f.header, packet, length, f.fracTimestamp);
    return f;
}

} // namespace vita49
