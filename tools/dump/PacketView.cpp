#include "dump/PacketView.h"

#include "vita49/PacketLayout.h"

namespace vita49::dump {

PacketView ReadPacketView(const std::uint8_t* packet, std::uint32_t length) {
    PacketView v;
    const HeaderLayout h = ReadHeaderLayout(packet);
    v.type = h.Type();
    v.classIdFlag = h.HasClassId();
    v.trailerFlag = h.HasTrailer();
    v.tsi = static_cast<std::uint8_t>(kTsiField.Of(h.word));
    v.tsf = static_cast<std::uint8_t>(kTsfField.Of(h.word));
    v.count = h.Count();
    v.size = h.PacketBytes();
    const std::uint32_t limit = v.size < length ? v.size : length;
    // Each field only where it lies within both the declared packet and the bytes held.
    const auto fits = [limit](std::uint32_t at, std::uint32_t bytes) { return at + bytes <= limit; };
    v.hasStreamId = TypeHasStreamId(v.type) && fits(kStreamIdAt, kStreamIdBytes);
    if (v.hasStreamId) v.streamId = load_be32(packet + kStreamIdAt);
    v.hasClassId = v.classIdFlag && fits(h.classIdAt, kClassIdBytes);
    if (v.hasClassId) {
        v.classOui = load_be32(packet + h.classIdAt) & 0xFFFFFFu;
        const std::uint32_t codes = load_be32(packet + h.classIdAt + 4);
        v.classIcc = static_cast<std::uint16_t>(codes >> 16);
        v.classPcc = static_cast<std::uint16_t>(codes);
    }
    v.hasIntTimestamp = h.HasIntTimestamp() && fits(h.intTimestampAt, kIntTimestampBytes);
    if (v.hasIntTimestamp) v.intTimestamp = load_be32(packet + h.intTimestampAt);
    v.hasFracTimestamp = h.HasFracTimestamp() && fits(h.fracTimestampAt, kFracTimestampBytes);
    if (v.hasFracTimestamp) v.fracTimestamp = load_be64(packet + h.fracTimestampAt);
    v.prologueBytes = h.payloadAt;
    v.prologueFits = h.payloadAt <= limit;
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
