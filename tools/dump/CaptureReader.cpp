#include "dump/CaptureReader.h"

#include <cstdio>
#include <cstring>

namespace vita49::capture {

namespace {

std::uint16_t Be16(const std::uint8_t* p) { return static_cast<std::uint16_t>((p[0] << 8) | p[1]); }
std::uint32_t Be32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

constexpr std::uint16_t kEtherIpv4 = 0x0800;
constexpr std::uint16_t kEtherIpv6 = 0x86DD;
constexpr std::uint8_t kProtoTcp = 6;
constexpr std::uint8_t kProtoUdp = 17;
constexpr int kMaxVlanTags = 4;
constexpr int kMaxIpv6Extensions = 8;

std::string Hex16(std::uint16_t v) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04x", v);
    return text;
}

const char* ProtocolName(std::uint8_t protocol) {
    switch (protocol) {
    case 1:
        return " (ICMP)";
    case 2:
        return " (IGMP)";
    case 58:
        return " (ICMPv6)";
    case 132:
        return " (SCTP)";
    default:
        return "";
    }
}

// The addresses of an IP header, before its transport is known. Version 4 or 6.
Flow IpFlow(int version, const std::uint8_t* src, const std::uint8_t* dst) {
    Flow ip;
    ip.transport = Transport::kIp;
    ip.src.address.family = ip.dst.address.family = static_cast<std::uint8_t>(version);
    const std::size_t size = version == 4 ? 4 : 16;
    std::memcpy(ip.src.address.bytes, src, size);
    std::memcpy(ip.dst.address.bytes, dst, size);
    return ip;
}

} // namespace

void CaptureReader::CountingSink::OnProblem(const Problem& problem) {
    if (problem.kind == ProblemKind::kGap) {
        ++counts_.tcpGaps;
        counts_.tcpGapBytes += problem.lostBytes;
    }
    inner_.OnProblem(problem);
}

CaptureReader::CaptureReader(CaptureSink& sink, const ReassemblyLimits& limits)
    : sink_(sink, counts_),
      fragments_(limits, [this](const AbandonedDatagram& d) { OnAbandoned(d); }),
      tcp_(limits, sink_) {}

bool CaptureReader::LinkTypeSupported(int linkType) {
    switch (linkType) {
    case kLinkNull:
    case kLinkEthernet:
    case kLinkRaw:
    case kLinkRawAlt:
    case kLinkRawFile:
    case kLinkLoop:
    case kLinkLinuxSll:
    case kLinkIpv4:
    case kLinkIpv6:
    case kLinkLinuxSll2:
        return true;
    default:
        return false;
    }
}

std::string CaptureReader::Shortfall(const FrameInfo& f, const char* layer, std::size_t needed, std::size_t have) {
    std::string text = std::string(layer) + " needs " + std::to_string(needed) + " bytes, " + std::to_string(have) +
                       " are there";
    if (f.cut) text += " (captured " + std::to_string(f.captured) + " of " + std::to_string(f.sent) + " bytes)";
    return text;
}

void CaptureReader::Report(ProblemKind kind, const FrameInfo& f, const Flow* flow, const std::string& what,
                           const std::uint8_t* bytes, std::size_t size) {
    if (kind == ProblemKind::kMalformed) ++counts_.malformed;
    if (kind == ProblemKind::kNotCarried) ++counts_.notCarried;
    Problem p;
    p.kind = kind;
    p.time = f.time;
    p.flow = flow;
    p.what = what;
    p.bytes = bytes;
    p.shown = bytes != nullptr ? size : 0;
    p.size = size;
    sink_.OnProblem(p);
}

void CaptureReader::Frame(int linkType, const std::uint8_t* bytes, std::size_t captured, std::size_t sent,
                          const CaptureTime& time) {
    FrameInfo f;
    f.time = time;
    f.captured = captured;
    f.sent = sent < captured ? captured : sent;
    f.cut = captured < sent;
    lastTime_ = time;
    ++counts_.frames;
    counts_.frameBytes += f.sent;
    if (f.cut) ++counts_.cutFrames;
    if (time.valid) fragments_.Expire(time.seconds);

    const std::uint8_t* p = bytes;
    const std::size_t n = captured;
    auto need = [&](std::size_t header, const char* what) {
        if (n >= header) return true;
        Report(f.cut ? ProblemKind::kTruncated : ProblemKind::kMalformed, f, nullptr, Shortfall(f, what, header, n),
               p, n);
        return false;
    };
    switch (linkType) {
    case kLinkEthernet:
        if (need(14, "Ethernet header")) EthernetType(f, Be16(p + 12), p + 14, n - 14);
        break;
    case kLinkLinuxSll:
        if (need(16, "Linux cooked header")) EthernetType(f, Be16(p + 14), p + 16, n - 16);
        break;
    case kLinkLinuxSll2:
        if (need(20, "Linux cooked v2 header")) EthernetType(f, Be16(p), p + 20, n - 20);
        break;
    case kLinkNull:
    case kLinkLoop:
        // An address family, not an EtherType: the IP version in the payload says the rest.
        if (need(4, "loopback header")) Ip(f, p + 4, n - 4);
        break;
    case kLinkRaw:
    case kLinkRawAlt:
    case kLinkRawFile:
    case kLinkIpv4:
    case kLinkIpv6:
        Ip(f, p, n);
        break;
    default:
        Report(ProblemKind::kNotCarried, f, nullptr, "link type " + std::to_string(linkType) + " is not read", p, n);
        break;
    }
}

void CaptureReader::EthernetType(const FrameInfo& f, std::uint16_t type, const std::uint8_t* p, std::size_t n) {
    for (int tags = 0; (type == 0x8100 || type == 0x88A8 || type == 0x9100) && tags < kMaxVlanTags; ++tags) {
        if (n < 4) {
            Report(f.cut ? ProblemKind::kTruncated : ProblemKind::kMalformed, f, nullptr,
                   Shortfall(f, "VLAN tag", 4, n), p, n);
            return;
        }
        type = Be16(p + 2);
        p += 4;
        n -= 4;
    }
    if (type == kEtherIpv4 || type == kEtherIpv6) {
        Ip(f, p, n);
        return;
    }
    Report(ProblemKind::kNotCarried, f, nullptr, "EtherType " + Hex16(type) + ", not IP", p, n);
}

void CaptureReader::Ip(const FrameInfo& f, const std::uint8_t* p, std::size_t n) {
    const int version = n > 0 ? p[0] >> 4 : -1;
    if (version == 4) {
        Ipv4(f, p, n);
    } else if (version == 6) {
        Ipv6(f, p, n);
    } else if (n == 0) {
        Report(f.cut ? ProblemKind::kTruncated : ProblemKind::kMalformed, f, nullptr, Shortfall(f, "IP header", 20, 0),
               p, n);
    } else {
        Report(ProblemKind::kNotCarried, f, nullptr, "IP version " + std::to_string(version) + " is not 4 or 6", p, n);
    }
}

void CaptureReader::Ipv4(const FrameInfo& f, const std::uint8_t* p, std::size_t n) {
    const ProblemKind shortKind = f.cut ? ProblemKind::kTruncated : ProblemKind::kMalformed;
    if (n < 20) {
        Report(shortKind, f, nullptr, Shortfall(f, "IPv4 header", 20, n), p, n);
        return;
    }
    const Flow ip = IpFlow(4, p + 12, p + 16);
    const std::size_t headerBytes = 4u * (p[0] & 0x0F);
    const std::size_t total = Be16(p + 2);
    if (headerBytes < 20 || total < headerBytes) {
        Report(ProblemKind::kMalformed, f, &ip,
               "IPv4 header length " + std::to_string(headerBytes) + " and total length " + std::to_string(total) +
                   " do not fit together",
               p, n);
        return;
    }
    if (total > n && (!f.cut || headerBytes > n)) {
        Report(shortKind, f, &ip, Shortfall(f, "IPv4 datagram", total, n), p, n);
        return;
    }
    const std::uint16_t fragmentWord = Be16(p + 6);
    IpPart part;
    part.protocol = p[9];
    part.id = Be16(p + 4);
    part.more = (fragmentWord & 0x2000) != 0;
    part.offset = 8u * (fragmentWord & 0x1FFF);
    part.fragment = part.more || part.offset != 0;
    // Bytes after `total` are link-layer padding; a cut frame has fewer.
    const std::size_t end = total < n ? total : n;
    IpPayload(f, ip, part, p + headerBytes, end - headerBytes, total - headerBytes);
}

void CaptureReader::Ipv6(const FrameInfo& f, const std::uint8_t* p, std::size_t n) {
    const ProblemKind shortKind = f.cut ? ProblemKind::kTruncated : ProblemKind::kMalformed;
    if (n < 40) {
        Report(shortKind, f, nullptr, Shortfall(f, "IPv6 header", 40, n), p, n);
        return;
    }
    const Flow ip = IpFlow(6, p + 8, p + 24);
    const std::size_t payloadBytes = Be16(p + 4);
    if (payloadBytes == 0) {
        Report(ProblemKind::kNotCarried, f, &ip, "IPv6 jumbogram or empty payload, not read", p, n);
        return;
    }
    if (40 + payloadBytes > n && !f.cut) {
        Report(shortKind, f, &ip, Shortfall(f, "IPv6 datagram", 40 + payloadBytes, n), p, n);
        return;
    }
    // Walk the extension headers to the transport or the fragment header. `left` counts
    // the bytes captured, `unsent` those sent but not captured.
    std::uint8_t next = p[6];
    const std::uint8_t* q = p + 40;
    std::size_t left = 40 + payloadBytes > n ? n - 40 : payloadBytes;
    const std::size_t unsent = payloadBytes - left;
    IpPart part;
    for (int i = 0; i < kMaxIpv6Extensions; ++i) {
        if (next == 44) { // fragment
            if (left < 8) break;
            const std::uint16_t word = Be16(q + 2);
            part.protocol = q[0];
            part.id = Be32(q + 4);
            part.fragment = true;
            part.offset = word & 0xFFF8u;
            part.more = (word & 1u) != 0;
            IpPayload(f, ip, part, q + 8, left - 8, left - 8 + unsent);
            return;
        }
        std::size_t length = 0;
        if (next == 0 || next == 43 || next == 60) {
            length = left >= 2 ? 8u * (q[1] + 1u) : 8;
        } else if (next == 51) {
            length = left >= 2 ? 4u * (q[1] + 2u) : 8;
        } else {
            break;
        }
        if (length > left) {
            Report(ProblemKind::kMalformed, f, &ip, "IPv6 extension header runs past the datagram", p, n);
            return;
        }
        next = q[0];
        q += length;
        left -= length;
    }
    part.protocol = next;
    IpPayload(f, ip, part, q, left, left + unsent);
}

void CaptureReader::IpPayload(const FrameInfo& f, const Flow& ip, const IpPart& part, const std::uint8_t* p,
                              std::size_t n, std::size_t sent) {
    if (!part.fragment) {
        Transport(f, ip, part.protocol, p, n, sent);
        return;
    }
    ++counts_.fragments;
    if (n < sent) {
        Report(ProblemKind::kTruncated, f, &ip,
               "fragment captured short (" + std::to_string(n) + " of " + std::to_string(sent) +
                   " bytes): its datagram cannot be completed",
               p, n);
        return;
    }
    const std::uint8_t protocol = part.protocol;
    FragmentKey key;
    key.src = ip.src.address;
    key.dst = ip.dst.address;
    key.protocol = protocol;
    key.id = part.id;
    Fragment piece;
    piece.offset = part.offset;
    piece.more = part.more;
    piece.bytes = p;
    piece.size = n;
    switch (fragments_.Add(key, piece, f.time.seconds)) {
    case IpReassembler::Outcome::kPending:
        return;
    case IpReassembler::Outcome::kRejected:
        Report(ProblemKind::kMalformed, f, &ip, "fragment not used: " + fragments_.Why(), p, n);
        return;
    case IpReassembler::Outcome::kComplete:
        break;
    }
    ++counts_.reassembled;
    // The buffer belongs to the reassembler until its next Add, which nothing below calls.
    const std::vector<std::uint8_t>& datagram = fragments_.Datagram();
    if (fragments_.CompletedWithConflict())
        Report(ProblemKind::kMalformed, f, &ip, "overlapping fragments with different bytes: the first ones were kept",
               nullptr, 0);
    Transport(f, ip, protocol, datagram.data(), datagram.size(), datagram.size());
}

void CaptureReader::Transport(const FrameInfo& f, const Flow& ip, std::uint8_t protocol, const std::uint8_t* p,
                              std::size_t n, std::size_t sent) {
    if (protocol == kProtoUdp) {
        Udp(f, ip, p, n, sent);
    } else if (protocol == kProtoTcp) {
        Tcp(f, ip, p, n, sent);
    } else {
        Report(ProblemKind::kNotCarried, f, &ip,
               "IP protocol " + std::to_string(protocol) + ProtocolName(protocol) + ", not UDP or TCP", p, n);
    }
}

void CaptureReader::Udp(const FrameInfo& f, const Flow& ip, const std::uint8_t* p, std::size_t n, std::size_t sent) {
    if (n < 8) {
        Report(ProblemKind::kMalformed, f, &ip, Shortfall(f, "UDP header", 8, n), p, n);
        return;
    }
    Flow flow = ip;
    flow.transport = capture::Transport::kUdp;
    flow.src.port = Be16(p);
    flow.dst.port = Be16(p + 2);
    const std::size_t length = Be16(p + 4);
    if (length >= 8 && length > n && length <= sent) {
        Report(ProblemKind::kTruncated, f, &flow,
               "UDP payload of " + std::to_string(length - 8) + " bytes captured short (" +
                   std::to_string(f.captured) + " of " + std::to_string(f.sent) + " frame bytes)",
               p + 8, n - 8);
        return;
    }
    if (length < 8 || length > n) {
        Report(ProblemKind::kMalformed, f, &flow,
               "UDP length " + std::to_string(length) + " does not match the " + std::to_string(n) +
                   " bytes of its IP payload",
               p + 8, n - 8);
        return;
    }
    ++counts_.udpDatagrams;
    Payload payload;
    payload.time = f.time;
    payload.flow = &flow;
    payload.bytes = p + 8;
    payload.size = length - 8;
    sink_.OnPayload(payload);
}

void CaptureReader::Tcp(const FrameInfo& f, const Flow& ip, const std::uint8_t* p, std::size_t n, std::size_t sent) {
    if (n < 20) {
        Report(ProblemKind::kMalformed, f, &ip, Shortfall(f, "TCP header", 20, n), p, n);
        return;
    }
    Flow flow = ip;
    flow.transport = capture::Transport::kTcp;
    flow.src.port = Be16(p);
    flow.dst.port = Be16(p + 2);
    const std::size_t headerBytes = 4u * (p[12] >> 4);
    if (headerBytes < 20 || headerBytes > n) {
        Report(ProblemKind::kMalformed, f, &flow,
               "TCP header length " + std::to_string(headerBytes) + " does not fit its " + std::to_string(n) +
                   " bytes",
               p, n);
        return;
    }
    ++counts_.tcpSegments;
    TcpSegment segment;
    segment.seq = Be32(p + 4);
    segment.fin = (p[13] & 0x01) != 0;
    segment.syn = (p[13] & 0x02) != 0;
    segment.rst = (p[13] & 0x04) != 0;
    segment.bytes = p + headerBytes;
    segment.size = n - headerBytes;
    segment.sentSize = sent - headerBytes;
    tcp_.Add(flow, segment, f.time);
}

void CaptureReader::OnAbandoned(const AbandonedDatagram& d) {
    ++counts_.incompleteDatagrams;
    Flow flow;
    flow.transport = Transport::kIp;
    flow.src.address = d.key.src;
    flow.dst.address = d.key.dst;
    if ((d.key.protocol == kProtoUdp || d.key.protocol == kProtoTcp) && d.head != nullptr && d.headSize >= 4) {
        flow.transport = d.key.protocol == kProtoUdp ? Transport::kUdp : Transport::kTcp;
        flow.src.port = Be16(d.head);
        flow.dst.port = Be16(d.head + 2);
    }
    Problem p;
    p.kind = ProblemKind::kIncomplete;
    p.time.valid = lastTime_.valid;
    p.time.seconds = d.firstTime;
    p.flow = &flow;
    p.what = "incomplete IP datagram (identification " + std::to_string(d.key.id) + "): " +
             std::to_string(d.received) + " of " + (d.expected ? std::to_string(d.expected) : std::string("?")) +
             " bytes arrived; " + d.why;
    p.bytes = d.head;
    p.shown = d.headSize;
    p.size = d.received;
    p.lostBytes = d.expected > d.received ? d.expected - d.received : 0;
    sink_.OnProblem(p);
}

void CaptureReader::Finish() {
    fragments_.Flush("the capture ended before its other fragments");
    tcp_.Finish(lastTime_);
}

} // namespace vita49::capture
