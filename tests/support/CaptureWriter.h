#pragma once

// Small capture files for the dump's tests: IPv4/IPv6 packets with UDP or TCP, IPv4
// fragments, link-layer framing (Ethernet with or without VLAN tags, Linux cooked v1/v2,
// raw IP), written as pcap or pcapng. Writing only; reading is libpcap's job.

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace vita49::test {

using Bytes = std::vector<std::uint8_t>;

struct IpEndpoint {
    std::string address; // "192.0.2.1" or "fd00::1"
    std::uint16_t port = 0;
};

// An IPv4 packet (or an IPv6 packet when the addresses are IPv6) carrying `payload` as
// `protocol`; IPv4 with identification `id`.
Bytes IpPacket(const std::string& src, const std::string& dst, std::uint8_t protocol, const Bytes& payload,
               std::uint16_t id = 1);
Bytes UdpPacket(const IpEndpoint& src, const IpEndpoint& dst, const Bytes& payload, std::uint16_t id = 1);

enum TcpFlags : std::uint8_t { kFin = 0x01, kSyn = 0x02, kRst = 0x04, kPsh = 0x08, kAck = 0x10 };
Bytes TcpPacket(const IpEndpoint& src, const IpEndpoint& dst, std::uint32_t seq, std::uint8_t flags,
                const Bytes& payload);

// The IPv4 packet cut into fragments of at most `mtu` bytes each (headers included).
std::vector<Bytes> Fragments(const Bytes& ipv4Packet, std::size_t mtu);

enum class Link { kEthernet, kVlan, kLinuxSll, kLinuxSll2, kRawIp };
int LinkTypeOf(Link link);
// `ip` framed for the link (kVlan: two stacked tags, 802.1ad outside 802.1Q).
Bytes Frame(Link link, const Bytes& ip);

class CaptureWriter {
public:
    explicit CaptureWriter(int linkType, bool pcapng = false) : linkType_(linkType), pcapng_(pcapng) {}

    // One frame at capture time `seconds`; `captured` cuts it as a short snap length would.
    void Add(const Bytes& frame, double seconds, std::size_t captured = std::numeric_limits<std::size_t>::max());
    Bytes Contents() const;
    bool Save(const std::string& path) const;
    std::size_t Frames() const { return frames_; }

private:
    int linkType_;
    bool pcapng_;
    Bytes records_;
    std::size_t frames_ = 0;
};

} // namespace vita49::test
