#pragma once

// The VITA 49.0 packet layout as the receiver reads it: header word, prologue, payload span
// and trailer. Stateless functions over (first byte, length in bytes); each returns false
// rather than read a field that would end beyond `length`, and writes its outputs only on
// success (the payload locators write offset 0 and size 0 on failure).

#include <cstdint>

#include "vita49/ByteOrder.h"

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

// The readers below run several times for every packet of the stream; they are inline so
// that the compiler can share their header tests instead of paying a call for each.

namespace layout_detail {

inline std::uint32_t StreamIdBytes(const std::uint8_t* packet) { return TypeHasStreamId(HeaderType(packet)) ? 4 : 0; }

inline std::uint32_t IntTimestampOffset(const std::uint8_t* packet) {
    return 4 + StreamIdBytes(packet) + (HeaderHasClassId(packet) ? 8 : 0);
}

inline std::uint32_t FracTimestampOffset(const std::uint8_t* packet) {
    return IntTimestampOffset(packet) + (HeaderHasIntTimestamp(packet) ? 4 : 0);
}

// Payload from `offset` to the packet end less `tail` bytes; fails unless it lies within
// both the declared packet and `length`.
inline bool LocateSpan(const std::uint8_t* packet, std::uint32_t length, std::uint32_t offset, std::uint32_t tail,
                       std::uint32_t& outOffset, std::uint32_t& outSize) {
    std::int64_t size = std::int64_t{HeaderPacketBytes(packet)} - offset - tail;
    if (size < 0 || offset + static_cast<std::uint64_t>(size) > length) {
        outOffset = 0;
        outSize = 0;
        return false;
    }
    outOffset = offset;
    outSize = static_cast<std::uint32_t>(size);
    return true;
}

} // namespace layout_detail

// Byte offset of the first byte after the prologue (header, stream identifier, class
// identifier, timestamps).
inline std::uint32_t PrologueBytes(const std::uint8_t* packet) {
    return layout_detail::FracTimestampOffset(packet) + (HeaderHasFracTimestamp(packet) ? 8 : 0);
}

inline bool ReadStreamId(const std::uint8_t* packet, std::uint32_t length, std::uint32_t& streamId) {
    if (length < 8 || !TypeHasStreamId(HeaderType(packet))) return false;
    streamId = load_be32(packet + 4);
    return true;
}

inline bool ReadIntegerTimestamp(const std::uint8_t* packet, std::uint32_t length, std::uint32_t& timestamp) {
    if (length < 4 || !HeaderHasIntTimestamp(packet)) return false;
    std::uint32_t offset = layout_detail::IntTimestampOffset(packet);
    if (offset + 4 > length) return false;
    timestamp = load_be32(packet + offset);
    return true;
}

inline bool ReadFractionalTimestamp(const std::uint8_t* packet, std::uint32_t length, std::uint64_t& timestamp) {
    if (length < 4 || !HeaderHasFracTimestamp(packet)) return false;
    std::uint32_t offset = layout_detail::FracTimestampOffset(packet);
    if (offset + 8 > length) return false;
    timestamp = load_be64(packet + offset);
    return true;
}

// IF data payload (types 0 and 1), trailer excluded.
inline bool LocateDataPayload(const std::uint8_t* packet, std::uint32_t length, std::uint32_t& offset,
                              std::uint32_t& size) {
    if (length < 4 || HeaderType(packet) > kIfData) {
        offset = 0;
        size = 0;
        return false;
    }
    return layout_detail::LocateSpan(packet, length, PrologueBytes(packet), HeaderHasTrailer(packet) ? 4 : 0, offset,
                                     size);
}

// A payload of a packet of `type` from the prologue end to the packet end.
inline bool LocateTypedPayload(const std::uint8_t* packet, std::uint32_t length, std::uint8_t type,
                               std::uint32_t& offset, std::uint32_t& size) {
    if (length < 4 || HeaderType(packet) != type) {
        offset = 0;
        size = 0;
        return false;
    }
    return layout_detail::LocateSpan(packet, length, PrologueBytes(packet), 0, offset, size);
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
    if (length < 4 || !HeaderHasTrailer(packet)) return false;
    std::uint32_t bytes = HeaderPacketBytes(packet);
    if (bytes <= 4 || bytes > length) return false;
    trailer = load_be32(packet + bytes - 4);
    return true;
}

} // namespace vita49
