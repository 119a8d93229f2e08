#include "dump/CaptureTypes.h"

#include <arpa/inet.h>

namespace vita49::capture {

std::size_t FlowHash::operator()(const Flow& flow) const {
    std::uint64_t h = 1469598103934665603ull;
    auto mix = [&h](const std::uint8_t* p, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 1099511628211ull;
    };
    for (const Endpoint* e : {&flow.src, &flow.dst}) {
        mix(e->address.bytes, sizeof e->address.bytes);
        const std::uint8_t rest[3] = {e->address.family, static_cast<std::uint8_t>(e->port >> 8),
                                      static_cast<std::uint8_t>(e->port)};
        mix(rest, sizeof rest);
    }
    const auto transport = static_cast<std::uint8_t>(flow.transport);
    mix(&transport, 1);
    return static_cast<std::size_t>(h);
}

std::string AddressText(const Address& address) {
    char text[INET6_ADDRSTRLEN] = "-";
    if (address.family == 4) {
        inet_ntop(AF_INET, address.bytes, text, sizeof text);
    } else if (address.family == 6) {
        inet_ntop(AF_INET6, address.bytes, text, sizeof text);
    }
    return text;
}

std::string EndpointText(const Endpoint& endpoint) {
    if (endpoint.address.family == 0) return "-";
    std::string text = AddressText(endpoint.address);
    if (endpoint.port == 0) return text;
    if (endpoint.address.family == 6) text = "[" + text + "]";
    return text + ":" + std::to_string(endpoint.port);
}

const char* TransportName(Transport transport) {
    switch (transport) {
    case Transport::kUdp:
        return "udp";
    case Transport::kTcp:
        return "tcp";
    case Transport::kRaw:
        return "raw";
    case Transport::kIp:
        break;
    }
    return "ip";
}

} // namespace vita49::capture
