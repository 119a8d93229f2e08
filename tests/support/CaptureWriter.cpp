#include "support/CaptureWriter.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

namespace vita49::test {

namespace {

void Put16(Bytes& b, std::uint16_t v) {
    b.push_back(static_cast<std::uint8_t>(v >> 8));
    b.push_back(static_cast<std::uint8_t>(v));
}
void Put32(Bytes& b, std::uint32_t v) {
    Put16(b, static_cast<std::uint16_t>(v >> 16));
    Put16(b, static_cast<std::uint16_t>(v));
}
void PutLe16(Bytes& b, std::uint16_t v) {
    b.push_back(static_cast<std::uint8_t>(v));
    b.push_back(static_cast<std::uint8_t>(v >> 8));
}
void PutLe32(Bytes& b, std::uint32_t v) {
    PutLe16(b, static_cast<std::uint16_t>(v));
    PutLe16(b, static_cast<std::uint16_t>(v >> 16));
}

bool IsV6(const std::string& address) { return address.find(':') != std::string::npos; }

Bytes ParseV4(const std::string& text) {
    Bytes out;
    std::size_t pos = 0;
    for (int i = 0; i < 4; ++i) {
        const std::size_t dot = text.find('.', pos);
        out.push_back(static_cast<std::uint8_t>(std::stoi(text.substr(pos, dot - pos))));
        pos = dot + 1;
    }
    return out;
}

// "fd00::1", "2001:db8:0:0:0:0:0:2": groups before and after one "::".
Bytes ParseV6(const std::string& text) {
    auto groups = [](const std::string& part) {
        std::vector<std::uint16_t> g;
        std::size_t pos = 0;
        while (pos < part.size()) {
            const std::size_t colon = part.find(':', pos);
            const std::string item = part.substr(pos, colon == std::string::npos ? std::string::npos : colon - pos);
            g.push_back(static_cast<std::uint16_t>(std::strtoul(item.c_str(), nullptr, 16)));
            if (colon == std::string::npos) break;
            pos = colon + 1;
        }
        return g;
    };
    const std::size_t gap = text.find("::");
    std::vector<std::uint16_t> head = groups(gap == std::string::npos ? text : text.substr(0, gap));
    const std::vector<std::uint16_t> tail = gap == std::string::npos ? std::vector<std::uint16_t>{}
                                                                     : groups(text.substr(gap + 2));
    head.resize(8 - tail.size(), 0);
    head.insert(head.end(), tail.begin(), tail.end());
    Bytes out;
    for (std::uint16_t g : head) Put16(out, g);
    return out;
}

std::uint16_t Checksum(const std::uint8_t* p, std::size_t n) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i + 1 < n; i += 2) sum += (std::uint32_t{p[i]} << 8) | p[i + 1];
    if (n % 2) sum += std::uint32_t{p[n - 1]} << 8;
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum);
}

Bytes Ipv4Header(const Bytes& src, const Bytes& dst, std::uint8_t protocol, std::size_t payloadBytes,
                 std::uint16_t id, std::uint16_t fragmentWord) {
    Bytes h;
    h.push_back(0x45);
    h.push_back(0);
    Put16(h, static_cast<std::uint16_t>(20 + payloadBytes));
    Put16(h, id);
    Put16(h, fragmentWord);
    h.push_back(64);
    h.push_back(protocol);
    Put16(h, 0);
    h.insert(h.end(), src.begin(), src.end());
    h.insert(h.end(), dst.begin(), dst.end());
    const std::uint16_t sum = Checksum(h.data(), h.size());
    h[10] = static_cast<std::uint8_t>(sum >> 8);
    h[11] = static_cast<std::uint8_t>(sum);
    return h;
}

} // namespace

Bytes IpPacket(const std::string& src, const std::string& dst, std::uint8_t protocol, const Bytes& payload,
               std::uint16_t id) {
    Bytes p;
    if (IsV6(src)) {
        Put32(p, 0x60000000);
        Put16(p, static_cast<std::uint16_t>(payload.size()));
        p.push_back(protocol);
        p.push_back(64);
        const Bytes s = ParseV6(src), d = ParseV6(dst);
        p.insert(p.end(), s.begin(), s.end());
        p.insert(p.end(), d.begin(), d.end());
    } else {
        p = Ipv4Header(ParseV4(src), ParseV4(dst), protocol, payload.size(), id, 0);
    }
    p.insert(p.end(), payload.begin(), payload.end());
    return p;
}

Bytes UdpPacket(const IpEndpoint& src, const IpEndpoint& dst, const Bytes& payload, std::uint16_t id) {
    Bytes udp;
    Put16(udp, src.port);
    Put16(udp, dst.port);
    Put16(udp, static_cast<std::uint16_t>(8 + payload.size()));
    Put16(udp, 0); // no checksum
    udp.insert(udp.end(), payload.begin(), payload.end());
    return IpPacket(src.address, dst.address, 17, udp, id);
}

Bytes TcpPacket(const IpEndpoint& src, const IpEndpoint& dst, std::uint32_t seq, std::uint8_t flags,
                const Bytes& payload) {
    Bytes tcp;
    Put16(tcp, src.port);
    Put16(tcp, dst.port);
    Put32(tcp, seq);
    Put32(tcp, 1); // acknowledgement
    tcp.push_back(0x50);
    tcp.push_back(flags);
    Put16(tcp, 65535);
    Put32(tcp, 0); // checksum, urgent pointer
    tcp.insert(tcp.end(), payload.begin(), payload.end());
    return IpPacket(src.address, dst.address, 6, tcp);
}

std::vector<Bytes> Fragments(const Bytes& ip, std::size_t mtu) {
    const std::size_t per = (mtu - 20) / 8 * 8;
    const Bytes src(ip.begin() + 12, ip.begin() + 16), dst(ip.begin() + 16, ip.begin() + 20);
    const std::uint16_t id = static_cast<std::uint16_t>((ip[4] << 8) | ip[5]);
    std::vector<Bytes> out;
    for (std::size_t at = 20; at < ip.size(); at += per) {
        const std::size_t n = std::min(per, ip.size() - at);
        const bool more = at + n < ip.size();
        const auto word = static_cast<std::uint16_t>((more ? 0x2000 : 0) | ((at - 20) / 8));
        Bytes f = Ipv4Header(src, dst, ip[9], n, id, word);
        f.insert(f.end(), ip.begin() + static_cast<std::ptrdiff_t>(at), ip.begin() + static_cast<std::ptrdiff_t>(at + n));
        out.push_back(f);
    }
    return out;
}

int LinkTypeOf(Link link) {
    switch (link) {
    case Link::kEthernet:
    case Link::kVlan:
        return 1;
    case Link::kLinuxSll:
        return 113;
    case Link::kLinuxSll2:
        return 276;
    case Link::kRawIp:
        break;
    }
    return 101;
}

Bytes Frame(Link link, const Bytes& ip) {
    const std::uint16_t etherType = (ip[0] >> 4) == 6 ? 0x86DD : 0x0800;
    Bytes f;
    switch (link) {
    case Link::kEthernet:
    case Link::kVlan:
        f = {0x02, 0, 0, 0, 0, 2, 0x02, 0, 0, 0, 0, 1};
        if (link == Link::kVlan) {
            Put16(f, 0x88A8);
            Put16(f, 100);
            Put16(f, 0x8100);
            Put16(f, 42);
        }
        Put16(f, etherType);
        break;
    case Link::kLinuxSll:
        Put16(f, 0);      // packet type: to us
        Put16(f, 1);      // ARPHRD_ETHER
        Put16(f, 6);      // address length
        f.insert(f.end(), {0x02, 0, 0, 0, 0, 1, 0, 0});
        Put16(f, etherType);
        break;
    case Link::kLinuxSll2:
        Put16(f, etherType);
        Put16(f, 0);      // reserved
        Put32(f, 2);      // interface index
        Put16(f, 1);      // ARPHRD_ETHER
        f.push_back(0);   // packet type
        f.push_back(6);   // address length
        f.insert(f.end(), {0x02, 0, 0, 0, 0, 1, 0, 0});
        break;
    case Link::kRawIp:
        break;
    }
    f.insert(f.end(), ip.begin(), ip.end());
    return f;
}

void CaptureWriter::Add(const Bytes& frame, double seconds, std::size_t captured) {
    const std::size_t n = std::min(captured, frame.size());
    const auto micros = static_cast<std::uint64_t>(seconds * 1e6 + 0.5);
    Bytes& r = records_;
    if (pcapng_) {
        const std::size_t padded = (n + 3) / 4 * 4;
        const auto total = static_cast<std::uint32_t>(32 + padded);
        PutLe32(r, 6); // enhanced packet block
        PutLe32(r, total);
        PutLe32(r, 0); // interface
        PutLe32(r, static_cast<std::uint32_t>(micros >> 32));
        PutLe32(r, static_cast<std::uint32_t>(micros));
        PutLe32(r, static_cast<std::uint32_t>(n));
        PutLe32(r, static_cast<std::uint32_t>(frame.size()));
        r.insert(r.end(), frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(n));
        r.resize(r.size() + padded - n, 0);
        PutLe32(r, total);
    } else {
        PutLe32(r, static_cast<std::uint32_t>(micros / 1000000));
        PutLe32(r, static_cast<std::uint32_t>(micros % 1000000));
        PutLe32(r, static_cast<std::uint32_t>(n));
        PutLe32(r, static_cast<std::uint32_t>(frame.size()));
        r.insert(r.end(), frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(n));
    }
    ++frames_;
}

Bytes CaptureWriter::Contents() const {
    Bytes out;
    if (pcapng_) {
        PutLe32(out, 0x0A0D0D0A); // section header block
        PutLe32(out, 28);
        PutLe32(out, 0x1A2B3C4D);
        PutLe16(out, 1);
        PutLe16(out, 0);
        PutLe32(out, 0xFFFFFFFF); // section length unknown
        PutLe32(out, 0xFFFFFFFF);
        PutLe32(out, 28);
        PutLe32(out, 1); // interface description block
        PutLe32(out, 20);
        PutLe16(out, static_cast<std::uint16_t>(linkType_));
        PutLe16(out, 0);
        PutLe32(out, 262144);
        PutLe32(out, 20);
    } else {
        PutLe32(out, 0xA1B2C3D4);
        PutLe16(out, 2);
        PutLe16(out, 4);
        PutLe32(out, 0);
        PutLe32(out, 0);
        PutLe32(out, 262144);
        PutLe32(out, static_cast<std::uint32_t>(linkType_));
    }
    out.insert(out.end(), records_.begin(), records_.end());
    return out;
}

bool CaptureWriter::Save(const std::string& path) const {
    const Bytes bytes = Contents();
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

} // namespace vita49::test
