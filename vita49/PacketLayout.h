#pragma once

// The VITA 49.0 packet layout as the receiver reads it: header word, prologue, payload span
// and trailer. Stateless functions over (first byte, length in bytes); each returns false
// rather than read a field that would end beyond `length`, and writes its outputs only on
// success (the payload locators write offset 0 and size 0 on failure).

#include <cstdint>

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

// Byte offset of the first byte after the prologue (header, stream identifier, class
// identifier, timestamps).
std::uint32_t PrologueBytes(const std::uint8_t* packet);

bool ReadStreamId(const std::uint8_t* packet, std::uint32_t length, std::uint32_t& streamId);
bool ReadIntegerTimestamp(const std::uint8_t* packet, std::uint32_t length, std::uint32_t& timestamp);
bool ReadFractionalTimestamp(const std::uint8_t* packet, std::uint32_t length, std::uint64_t& timestamp);
// IF data payload (types 0 and 1), trailer excluded.
bool LocateDataPayload(const std::uint8_t* packet, std::uint32_t length, std::uint32_t& offset,
                       std::uint32_t& size);
// IF context section (type 4), from the context indicator word to the packet end.
bool LocateContextPayload(const std::uint8_t* packet, std::uint32_t length, std::uint32_t& offset,
                          std::uint32_t& size);
// Extension context payload (type 5).
bool LocateExtContextPayload(const std::uint8_t* packet, std::uint32_t length, std::uint32_t& offset,
                             std::uint32_t& size);
// The trailer word in host order.
bool ReadTrailer(const std::uint8_t* packet, std::uint32_t length, std::uint32_t& trailer);

} // namespace vita49
