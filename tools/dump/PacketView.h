#pragma once

// The header and prologue of one VITA 49 packet as the dump shows them: what the decoder's
// records leave out (class identifier, timestamp kinds) read from the packet bytes, every
// field only where it lies within the packet.

#include <cstdint>

namespace vita49::dump {

struct PacketView {
    std::uint8_t type = 0;
    bool classIdFlag = false;
    bool trailerFlag = false;
    std::uint8_t tsi = 0; // 0 none, 1 UTC, 2 GPS, 3 other
    std::uint8_t tsf = 0; // 0 none, 1 sample count, 2 real time, 3 free running
    std::uint8_t count = 0;
    std::uint32_t size = 0; // bytes, from the size field

    bool hasStreamId = false; // the type carries one and it lies within the packet
    std::uint32_t streamId = 0;
    bool hasClassId = false;
    std::uint32_t classOui = 0;
    std::uint16_t classIcc = 0;
    std::uint16_t classPcc = 0;
    bool hasIntTimestamp = false;
    std::uint32_t intTimestamp = 0;
    bool hasFracTimestamp = false;
    std::uint64_t fracTimestamp = 0;
    std::uint32_t prologueBytes = 0;
    bool prologueFits = false; // every prologue field the header announces lies within the packet
};

// Reads the packet of `length` bytes at `packet` (length >= 4).
PacketView ReadPacketView(const std::uint8_t* packet, std::uint32_t length);

// "if_data", "ext_data", "if_context", "ext_context"; null for types 6 and up.
const char* TypeName(std::uint8_t type);
// "utc", "gps", "other"; "sample_count", "real_time", "free_running"; "none" for 0.
const char* TsiName(std::uint8_t tsi);
const char* TsfName(std::uint8_t tsf);

} // namespace vita49::dump
