#include "support/HandPacket.h"

namespace vita49::test {
namespace {

// Byte 0: type in the upper four bits, C as 0x08, T as 0x04. Byte 1: TSI as 0xC0, TSF as
// 0x30, the packet count as 0x0F. Bytes 2 and 3: the size in words.
void PutHeaderWord(std::uint8_t* out, std::uint8_t type, bool classId, bool trailer, std::uint8_t tsi,
                   std::uint8_t tsf, std::uint8_t count, std::size_t words) {
    out[0] = static_cast<std::uint8_t>(((type & 0x0F) << 4) | (classId ? 0x08 : 0) | (trailer ? 0x04 : 0));
    out[1] = static_cast<std::uint8_t>(((tsi & 3) << 6) | ((tsf & 3) << 4) | (count & 0x0F));
    out[2] = static_cast<std::uint8_t>(words >> 8);
    out[3] = static_cast<std::uint8_t>(words);
}

bool CarriesStreamId(std::uint8_t type) { return type == 1 || type == 3 || type == 4 || type == 5; }

} // namespace

void PutBigEndian(std::vector<std::uint8_t>& out, std::uint64_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

sim::PacketHeader Header(std::uint8_t type, std::uint32_t streamId, std::uint8_t count) {
    sim::PacketHeader h;
    h.type = type;
    h.streamId = streamId;
    h.count = count;
    return h;
}

HandPacket BuildPacket(const sim::PacketHeader& h, const std::vector<std::uint8_t>& payload) {
    HandPacket p;
    p.bytes.resize(4); // the header word, once the size is known
    if (CarriesStreamId(h.type)) {
        p.streamIdAt = p.bytes.size();
        PutBigEndian(p.bytes, h.streamId, 4);
    }
    if (h.classId) {
        p.classIdAt = p.bytes.size();
        PutBigEndian(p.bytes, h.classOui & 0x00FFFFFFu, 4);
        PutBigEndian(p.bytes, h.classCodes, 4);
    }
    if (h.tsi != 0) {
        p.intTimestampAt = p.bytes.size();
        PutBigEndian(p.bytes, h.intTimestamp, 4);
    }
    if (h.tsf != 0) {
        p.fracTimestampAt = p.bytes.size();
        PutBigEndian(p.bytes, h.fracTimestamp, 8);
    }
    p.payloadAt = p.bytes.size();
    p.bytes.insert(p.bytes.end(), payload.begin(), payload.end());
    p.bytes.resize((p.bytes.size() + 3) / 4 * 4, 0);
    if (h.trailer) {
        p.trailerAt = p.bytes.size();
        PutBigEndian(p.bytes, h.trailerWord, 4);
    }
    PutHeaderWord(p.bytes.data(), h.type, h.classId, h.trailer, h.tsi, h.tsf, h.count, p.bytes.size() / 4);
    return p;
}

std::vector<std::uint8_t> BareHeader(std::uint8_t type, std::uint16_t words, std::uint32_t streamId,
                                     std::uint8_t count) {
    std::vector<std::uint8_t> out(4);
    PutHeaderWord(out.data(), type, false, false, 0, 0, count, words);
    PutBigEndian(out, streamId, 4);
    return out;
}

} // namespace vita49::test
