#pragma once

// VITA 49 packets for the tests, written byte by byte with the place of every part kept.
// Written here rather than with the library's layout code or the simulator's encoder (which
// shares that code), so that a fault in the one definition cannot hide itself in a test.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim/PacketWriter.h"

namespace vita49::test {

constexpr std::size_t kAbsent = static_cast<std::size_t>(-1);

// A built packet and where each part went (kAbsent: not in this packet).
struct HandPacket {
    std::vector<std::uint8_t> bytes;
    std::size_t streamIdAt = kAbsent;
    std::size_t classIdAt = kAbsent;
    std::size_t intTimestampAt = kAbsent;
    std::size_t fracTimestampAt = kAbsent;
    std::size_t payloadAt = kAbsent;
    std::size_t trailerAt = kAbsent;
};

// Header of a packet of `type` (1 IF data, 3 extension data, 4 IF context, 5 extension
// context) with no optional prologue field.
sim::PacketHeader Header(std::uint8_t type, std::uint32_t streamId, std::uint8_t count);

// The packet `header` describes (stream identifier for types 1, 3, 4 and 5; class
// identifier, timestamps and trailer as flagged) around `payload`, padded with zeros to whole
// words; its size field counts every word.
HandPacket BuildPacket(const sim::PacketHeader& header, const std::vector<std::uint8_t>& payload);

// A header word and a stream identifier, nothing else, declaring a packet of `words` words
// whatever follows: what a packet start looks like to the cutting unit.
std::vector<std::uint8_t> BareHeader(std::uint8_t type, std::uint16_t words, std::uint32_t streamId,
                                     std::uint8_t count = 0);

// Appends `value` big-endian in `bytes` bytes.
void PutBigEndian(std::vector<std::uint8_t>& out, std::uint64_t value, int bytes);

} // namespace vita49::test
