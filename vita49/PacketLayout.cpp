#include "vita49/PacketLayout.h"

#include "vita49/ByteOrder.h"

namespace vita49 {
namespace {

std::uint32_t StreamIdBytes(const std::uint8_t* packet) { return TypeHasStreamId(HeaderType(packet)) ? 4 : 0; }

std::uint32_t IntTimestampOffset(const std::uint8_t* packet) {
    return 4 + StreamIdBytes(packet) + (HeaderHasClassId(packet) ? 8 : 0);
}

std::uint32_t FracTimestampOffset(const std::uint8_t* packet) {
    return IntTimestampOffset(packet) + (HeaderHasIntTimestamp(packet) ? 4 : 0);
}

// Payload from `offset` to the packet end less `tail` bytes; fails unless it lies within
// both the declared packet and `length`.
bool LocateSpan(const std::uint8_t* packet, std::uint32_t length, std::uint32_t offset, std::uint32_t tail,
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

bool LocateTyped(const std::uint8_t* packet, std::uint32_t length, std::uint8_t type, std::uint32_t& offset,
                 std::uint32_t& size) {
    if (length < 4 || HeaderType(packet) != type) {
        offset = 0;
        size = 0;
        return false;
    }
    return LocateSpan(packet, length, PrologueBytes(packet), 0, offset, size);
}

} // namespace

std::uint32_t PrologueBytes(const std::uint8_t* packet) {
    return FracTimestampOffset(packet) + (HeaderHasFracTimestamp(packet) ? 8 : 0);
}

bool ReadStreamId(const std::uint8_t* packet, std::uint32_t length, std::uint32_t& streamId) {
    if (length < 8 || !TypeHasStreamId(HeaderType(packet))) return false;
    streamId = load_be32(packet + 4);
    return true;
}

bool ReadIntegerTimestamp(const std::uint8_t* packet, std::uint32_t length, std::uint32_t& timestamp) {
    if (length < 4 || !HeaderHasIntTimestamp(packet)) return false;
    std::uint32_t offset = IntTimestampOffset(packet);
    if (offset + 4 > length) return false;
    timestamp = load_be32(packet + offset);
    return true;
}

bool ReadFractionalTimestamp(const std::uint8_t* packet, std::uint32_t length, std::uint64_t& timestamp) {
    if (length < 4 || !HeaderHasFracTimestamp(packet)) return false;
    std::uint32_t offset = FracTimestampOffset(packet);
    if (offset + 8 > length) return false;
    timestamp = load_be64(packet + offset);
    return true;
}

bool LocateDataPayload(const std::uint8_t* packet, std::uint32_t length, std::uint32_t& offset,
                       std::uint32_t& size) {
    if (length < 4 || HeaderType(packet) > kIfData) {
        offset = 0;
        size = 0;
        return false;
    }
    return LocateSpan(packet, length, PrologueBytes(packet), HeaderHasTrailer(packet) ? 4 : 0, offset, size);
}

bool LocateContextPayload(const std::uint8_t* packet, std::uint32_t length, std::uint32_t& offset,
                          std::uint32_t& size) {
    return LocateTyped(packet, length, kIfContext, offset, size);
}

bool LocateExtContextPayload(const std::uint8_t* packet, std::uint32_t length, std::uint32_t& offset,
                             std::uint32_t& size) {
    return LocateTyped(packet, length, kExtContext, offset, size);
}

bool ReadTrailer(const std::uint8_t* packet, std::uint32_t length, std::uint32_t& trailer) {
    if (length < 4 || !HeaderHasTrailer(packet)) return false;
    std::uint32_t bytes = HeaderPacketBytes(packet);
    if (bytes <= 4 || bytes > length) return false;
    trailer = load_be32(packet + bytes - 4);
    return true;
}

} // namespace vita49
