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

// One field of the header word: its lowest bit (bit 0 being the word's least significant) and
// its width. Every reader here and the simulator's writer take the positions from the fields
// below, so the header word is defined once.
struct HeaderField {
    unsigned shift;
    unsigned width;

    constexpr std::uint32_t Max() const { return width >= 32 ? ~0u : (1u << width) - 1u; }
    constexpr std::uint32_t Of(std::uint32_t word) const { return (word >> shift) & Max(); }
    constexpr std::uint32_t In(std::uint32_t value) const { return (value & Max()) << shift; }
    constexpr bool WithinOneByte() const { return shift % 8 + width <= 8; }
    // Read from the one byte that holds the field (a packet start may hold fewer than four
    // bytes when it is examined).
    std::uint32_t OfByte(const std::uint8_t* packet) const { return (packet[3 - shift / 8] >> (shift % 8)) & Max(); }
};

constexpr HeaderField kTypeField{28, 4};
constexpr HeaderField kClassIdFlag{27, 1}; // C: two class identifier words follow the stream identifier
constexpr HeaderField kTrailerFlag{26, 1}; // T: the last word is a trailer (IF data)
constexpr HeaderField kTsiField{22, 2};     // integer-seconds timestamp present when not 0
constexpr HeaderField kTsfField{20, 2};     // fractional-seconds timestamp present when not 0
constexpr HeaderField kCountField{16, 4};   // modulo-16 packet count
constexpr HeaderField kSizeField{0, 16};    // packet size in 32-bit words, header and trailer included
static_assert(kTypeField.WithinOneByte() && kClassIdFlag.WithinOneByte() && kTrailerFlag.WithinOneByte() &&
                  kTsiField.WithinOneByte() && kTsfField.WithinOneByte() && kCountField.WithinOneByte(),
              "the byte readers below take each flag from one byte");

// Bytes of the parts of a packet, in the order they follow one another.
constexpr std::uint32_t kWordBytes = 4;
constexpr std::uint32_t kHeaderBytes = 4;
constexpr std::uint32_t kStreamIdAt = kHeaderBytes;
constexpr std::uint32_t kStreamIdBytes = 4;
constexpr std::uint32_t kClassIdBytes = 8;
constexpr std::uint32_t kIntTimestampBytes = 4;
constexpr std::uint32_t kFracTimestampBytes = 8;
constexpr std::uint32_t kTrailerBytes = 4;

// Types 1, 3, 4 and 5 carry a stream identifier; the receive loop takes no other type.
constexpr bool TypeHasStreamId(std::uint8_t type) { return ((0x3Au >> (type & 0x0F)) & 1u) != 0; }

// A header word from its fields (the simulator writes its packets with it).
constexpr std::uint32_t MakeHeaderWord(std::uint8_t type, bool classId, bool trailer, std::uint8_t tsi,
                                       std::uint8_t tsf, std::uint8_t count, std::uint32_t sizeWords) {
    return kTypeField.In(type) | kClassIdFlag.In(classId ? 1 : 0) | kTrailerFlag.In(trailer ? 1 : 0) |
           kTsiField.In(tsi) | kTsfField.In(tsf) | kCountField.In(count) | kSizeField.In(sizeWords);
}

// Header fields, read from the first four bytes (the caller guarantees they exist; the type
// and the flags read only the byte that holds them).
inline std::uint8_t HeaderType(const std::uint8_t* packet) {
    return static_cast<std::uint8_t>(kTypeField.OfByte(packet));
}
inline bool HeaderHasClassId(const std::uint8_t* packet) { return kClassIdFlag.OfByte(packet) != 0; }
inline bool HeaderHasTrailer(const std::uint8_t* packet) { return kTrailerFlag.OfByte(packet) != 0; }
inline bool HeaderHasIntTimestamp(const std::uint8_t* packet) { return kTsiField.OfByte(packet) != 0; }
inline bool HeaderHasFracTimestamp(const std::uint8_t* packet) { return kTsfField.OfByte(packet) != 0; }
inline std::uint8_t HeaderPacketCount(const std::uint8_t* packet) {
    return static_cast<std::uint8_t>(kCountField.OfByte(packet));
}
inline std::uint32_t HeaderPacketBytes(const std::uint8_t* packet) {
    return kWordBytes * kSizeField.Of(load_be32(packet));
}
// The word where types that carry a stream identifier hold it, whatever this packet's type
// (the receive loop compares it while it looks for a packet start).
inline std::uint32_t HeaderStreamIdWord(const std::uint8_t* packet) { return load_be32(packet + kStreamIdAt); }

// The header word and the prologue offsets it implies, from one read of the header. Every
// reader below starts from it, so the layout has a single definition.
struct HeaderLayout {
    std::uint32_t word = 0;            // header word, host order
    std::uint32_t classIdAt = 0;       // byte offsets from the packet start
    std::uint32_t intTimestampAt = 0;
    std::uint32_t fracTimestampAt = 0;
    std::uint32_t payloadAt = 0;       // first byte after the prologue

    constexpr std::uint8_t Type() const { return static_cast<std::uint8_t>(kTypeField.Of(word)); }
    constexpr bool HasClassId() const { return kClassIdFlag.Of(word) != 0; }
    constexpr bool HasTrailer() const { return kTrailerFlag.Of(word) != 0; }
    constexpr bool HasIntTimestamp() const { return kTsiField.Of(word) != 0; }
    constexpr bool HasFracTimestamp() const { return kTsfField.Of(word) != 0; }
    constexpr std::uint8_t Count() const { return static_cast<std::uint8_t>(kCountField.Of(word)); }
    constexpr std::uint32_t PacketBytes() const { return kWordBytes * kSizeField.Of(word); }
};

// The prologue of a packet with this header word, with or without a stream identifier.
constexpr HeaderLayout LayoutOf(std::uint32_t word, bool hasStreamId) {
    HeaderLayout h;
    h.word = word;
    h.classIdAt = kStreamIdAt + (hasStreamId ? kStreamIdBytes : 0);
    h.intTimestampAt = h.classIdAt + (h.HasClassId() ? kClassIdBytes : 0);
    h.fracTimestampAt = h.intTimestampAt + (h.HasIntTimestamp() ? kIntTimestampBytes : 0);
    h.payloadAt = h.fracTimestampAt + (h.HasFracTimestamp() ? kFracTimestampBytes : 0);
    return h;
}

// The prologue as the packet's type implies it.
constexpr HeaderLayout LayoutOf(std::uint32_t word) {
    return LayoutOf(word, TypeHasStreamId(static_cast<std::uint8_t>(kTypeField.Of(word))));
}

VITA49_ALWAYS_INLINE HeaderLayout ReadHeaderLayout(const std::uint8_t* packet) { return LayoutOf(load_be32(packet)); }

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
    if (length < kStreamIdAt + kStreamIdBytes || !TypeHasStreamId(h.Type())) return false;
    streamId = HeaderStreamIdWord(packet);
    return true;
}

inline bool IntTimestampOf(const HeaderLayout& h, const std::uint8_t* packet, std::uint32_t length,
                           std::uint32_t& timestamp) {
    if (!h.HasIntTimestamp() || h.intTimestampAt + kIntTimestampBytes > length) return false;
    timestamp = load_be32(packet + h.intTimestampAt);
    return true;
}

inline bool FracTimestampOf(const HeaderLayout& h, const std::uint8_t* packet, std::uint32_t length,
                            std::uint64_t& timestamp) {
    if (!h.HasFracTimestamp() || h.fracTimestampAt + kFracTimestampBytes > length) return false;
    timestamp = load_be64(packet + h.fracTimestampAt);
    return true;
}

inline bool DataPayloadOf(const HeaderLayout& h, std::uint32_t length, std::uint32_t& offset, std::uint32_t& size) {
    if (h.Type() > kIfData) {
        offset = 0;
        size = 0;
        return false;
    }
    return LocateSpan(h, length, h.payloadAt, h.HasTrailer() ? kTrailerBytes : 0, offset, size);
}

inline bool TrailerOf(const HeaderLayout& h, const std::uint8_t* packet, std::uint32_t length,
                      std::uint32_t& trailer) {
    const std::uint32_t bytes = h.PacketBytes();
    if (!h.HasTrailer() || bytes <= kHeaderBytes || bytes > length) return false;
    trailer = load_be32(packet + bytes - kTrailerBytes);
    return true;
}

} // namespace layout_detail

inline bool ReadStreamId(const std::uint8_t* packet, std::uint32_t length, std::uint32_t& streamId) {
    return length >= kHeaderBytes && layout_detail::StreamIdOf(ReadHeaderLayout(packet), packet, length, streamId);
}

inline bool ReadIntegerTimestamp(const std::uint8_t* packet, std::uint32_t length, std::uint32_t& timestamp) {
    return length >= kHeaderBytes && layout_detail::IntTimestampOf(ReadHeaderLayout(packet), packet, length, timestamp);
}

inline bool ReadFractionalTimestamp(const std::uint8_t* packet, std::uint32_t length, std::uint64_t& timestamp) {
    return length >= kHeaderBytes && layout_detail::FracTimestampOf(ReadHeaderLayout(packet), packet, length, timestamp);
}

// IF data payload (types 0 and 1), trailer excluded.
inline bool LocateDataPayload(const std::uint8_t* packet, std::uint32_t length, std::uint32_t& offset,
                              std::uint32_t& size) {
    if (length < kHeaderBytes) {
        offset = 0;
        size = 0;
        return false;
    }
    return layout_detail::DataPayloadOf(ReadHeaderLayout(packet), length, offset, size);
}

// A payload of a packet of `type` from the prologue end to the packet end.
inline bool LocateTypedPayload(const std::uint8_t* packet, std::uint32_t length, std::uint8_t type,
                               std::uint32_t& offset, std::uint32_t& size) {
    if (length < kHeaderBytes || HeaderType(packet) != type) {
        offset = 0;
        size = 0;
        return false;
    }
    const HeaderLayout h = ReadHeaderLayout(packet);
    return layout_detail::LocateSpan(h, length, h.payloadAt, 0, offset, size);
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
    return length >= kHeaderBytes && layout_detail::TrailerOf(ReadHeaderLayout(packet), packet, length, trailer);
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
