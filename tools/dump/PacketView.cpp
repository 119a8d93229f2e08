#include "dump/PacketView.h"

namespace vita49::dump {

namespace {

std::uint32_t Be32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

} // namespace

bool TypeHasStreamId(std::uint8_t type) { return type == 1 || type == 3 || type == 4 || type == 5; }

PacketView ReadPacketView(const std::uint8_t* packet, std::uint32_t length) {
    PacketView v;
    const std::uint32_t header = Be32(packet);
    v.type = static_cast<std::uint8_t>(header >> 28);
    v.classIdFlag = (header >> 27) & 1u;
    v.trailerFlag = (header >> 26) & 1u;
    v.tsi = static_cast<std::uint8_t>((header >> 22) & 3u);
    v.tsf = static_cast<std::uint8_t>((header >> 20) & 3u);
    v.count = static_cast<std::uint8_t>((header >> 16) & 0xFu);
    v.size = 4u * (header & 0xFFFFu);
    const std::uint32_t limit = v.size < length ? v.size : length;

    std::uint32_t at = 4;
    v.prologueFits = true;
    auto fits = [&](std::uint32_t bytes) {
        const bool ok = at + bytes <= limit;
        if (!ok) v.prologueFits = false;
        return ok;
    };
    if (TypeHasStreamId(v.type)) {
        if (fits(4)) {
            v.hasStreamId = true;
            v.streamId = Be32(packet + at);
        }
        at += 4;
    }
    if (v.classIdFlag) {
        if (fits(8)) {
            v.hasClassId = true;
            v.classOui = Be32(packet + at) & 0xFFFFFFu;
            const std::uint32_t codes = Be32(packet + at + 4);
            v.classIcc = static_cast<std::uint16_t>(codes >> 16);
            v.classPcc = static_cast<std::uint16_t>(codes);
        }
        at += 8;
    }
    if (v.tsi != 0) {
        if (fits(4)) {
            v.hasIntTimestamp = true;
            v.intTimestamp = Be32(packet + at);
        }
        at += 4;
    }
    if (v.tsf != 0) {
        if (fits(8)) {
            v.hasFracTimestamp = true;
            v.fracTimestamp = (std::uint64_t{Be32(packet + at)} << 32) | Be32(packet + at + 4);
        }
        at += 8;
    }
    v.prologueBytes = at;
    return v;
}

const char* TypeName(std::uint8_t type) {
    static const char* const names[] = {"if_data", "if_data", "ext_data", "ext_data", "if_context", "ext_context"};
    return type < 6 ? names[type] : nullptr;
}

const char* TsiName(std::uint8_t tsi) {
    static const char* const names[] = {"none", "utc", "gps", "other"};
    return names[tsi & 3u];
}

const char* TsfName(std::uint8_t tsf) {
    static const char* const names[] = {"none", "sample_count", "real_time", "free_running"};
    return names[tsf & 3u];
}

} // namespace vita49::dump
