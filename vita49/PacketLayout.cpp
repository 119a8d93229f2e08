#include "vita49/PacketLayout.h"

namespace vita49 {

// Extension context packets are rare; the per-packet readers are inline in the header.
bool LocateExtContextPayload(const std::uint8_t* packet, std::uint32_t length, std::uint32_t& offset,
                             std::uint32_t& size) {
    return LocateTypedPayload(packet, length, kExtContext, offset, size);
}

} // namespace vita49
