#pragma once

// Streams the benchmarks feed through the receive path: an instrument's IQ stream of I16Q16
// data packets with 8,192-byte payloads and a trailer, an IF context packet every 100 data
// packets and a few spectrum packets, all of one stream and with continuous packet counts.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vita49::bench {

constexpr std::uint32_t kStreamId = 0x10000001;
constexpr std::size_t kPayloadBytes = 8192;
constexpr std::size_t kDataPerContext = 100;
constexpr std::size_t kTraceValues = 501;

struct Stream {
    std::vector<std::uint8_t> bytes;
    // Start of every packet within `bytes`, and of the payload of every IF data packet.
    std::vector<std::size_t> packetStarts;
    std::vector<std::size_t> payloadStarts;
    std::size_t dataPackets = 0;
    std::size_t otherPackets = 0;
    std::size_t Packets() const { return packetStarts.size(); }
    std::size_t PacketEnd(std::size_t i) const { return i + 1 < Packets() ? packetStarts[i + 1] : bytes.size(); }
};

// `blocks` times: one IF context packet (every decoded field present), one spectrum context
// packet, 100 IF data packets with one spectrum data packet of constant trace length among
// them. Packet counts run on across blocks as long as the caller keeps `blocks` a multiple of
// 16; every packet count sequence then also continues when the stream is fed again from the
// start.
Stream MakeStream(std::size_t blocks);

// Back-to-back IF data packets only, 16 of them (counts 0..15), so that sending the buffer
// over and over keeps the count sequence continuous.
Stream MakeDataRing();

// One IF context packet with bandwidth, RF reference frequency, reference level, sample
// rate, payload format (16-bit items), GPS and both timestamps.
std::vector<std::uint8_t> MakeFullContextPacket(std::uint8_t count = 0);

// A number or a duration given as --name=value on the command line or NAME in the
// environment (the command line wins); `fallback` otherwise. Matching arguments are removed.
double NumberOption(int& argc, char** argv, const std::string& name, const char* envName, double fallback);

} // namespace vita49::bench
