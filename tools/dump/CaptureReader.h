#pragma once

// From captured frames to the payloads that may carry VITA 49 packets: link layer (Ethernet
// with 802.1Q/802.1ad tags, Linux cooked capture v1 and v2, raw IP, BSD loopback), IPv4 and
// IPv6 (fragments reassembled), UDP datagrams and TCP byte streams in sequence order.
// Every header is checked against the bytes captured, never the length sent; what cannot
// be used is reported as a Problem with the bytes concerned. Knows nothing of VITA 49.

#include <cstddef>
#include <cstdint>
#include <string>

#include "dump/CaptureTypes.h"
#include "dump/IpReassembler.h"
#include "dump/TcpReassembler.h"

namespace vita49::capture {

// Link types, as pcap_datalink reports them.
enum LinkType : int {
    kLinkNull = 0,       // BSD loopback, address family in host order
    kLinkEthernet = 1,
    kLinkRaw = 12,       // raw IP (also 14 on some systems, and 101 in files)
    kLinkRawAlt = 14,
    kLinkRawFile = 101,
    kLinkLoop = 108,     // BSD loopback, address family in network order
    kLinkLinuxSll = 113, // Linux cooked capture
    kLinkIpv4 = 228,
    kLinkIpv6 = 229,
    kLinkLinuxSll2 = 276,
};

struct CaptureCounts {
    std::uint64_t frames = 0;
    std::uint64_t frameBytes = 0;       // as sent
    std::uint64_t cutFrames = 0;        // captured shorter than sent
    std::uint64_t udpDatagrams = 0;
    std::uint64_t tcpSegments = 0;
    std::uint64_t fragments = 0;
    std::uint64_t reassembled = 0;      // datagrams completed from fragments
    std::uint64_t incompleteDatagrams = 0;
    std::uint64_t tcpGaps = 0;
    std::uint64_t tcpGapBytes = 0;
    std::uint64_t notCarried = 0;       // frames without UDP or TCP
    std::uint64_t malformed = 0;
};

class CaptureReader {
public:
    explicit CaptureReader(CaptureSink& sink, const ReassemblyLimits& limits = ReassemblyLimits());
    CaptureReader(const CaptureReader&) = delete;
    CaptureReader& operator=(const CaptureReader&) = delete;

    static bool LinkTypeSupported(int linkType);

    // One captured frame: `captured` bytes at `bytes` of a frame that was `sent` bytes long.
    void Frame(int linkType, const std::uint8_t* bytes, std::size_t captured, std::size_t sent,
               const CaptureTime& time);
    // End of the capture: datagrams still waiting for fragments are given up and reported,
    // every TCP hole becomes a gap and every stream ends.
    void Finish();

    const CaptureCounts& Counts() const { return counts_; }
    std::size_t PendingFragmentBytes() const { return fragments_.PendingBytes(); }
    std::size_t HeldTcpBytes() const { return tcp_.HeldBytes(); }

private:
    // What every layer needs to know about the frame it came in.
    struct FrameInfo {
        CaptureTime time;
        bool cut = false; // captured shorter than sent: a length beyond the bytes is the capture's doing
        std::size_t sent = 0;
        std::size_t captured = 0;
    };
    // Sink wrapper that counts TCP gaps as they pass.
    class CountingSink : public CaptureSink {
    public:
        CountingSink(CaptureSink& inner, CaptureCounts& counts) : inner_(inner), counts_(counts) {}
        void OnPayload(const Payload& payload) override { inner_.OnPayload(payload); }
        void OnProblem(const Problem& problem) override;
        void OnStreamEnd(const Flow& flow, const CaptureTime& time) override { inner_.OnStreamEnd(flow, time); }

    private:
        CaptureSink& inner_;
        CaptureCounts& counts_;
    };

    // Where an IP payload belongs: its protocol and, for a fragment, its place.
    struct IpPart {
        std::uint8_t protocol = 0;
        bool fragment = false;
        std::uint32_t id = 0;
        std::uint32_t offset = 0;
        bool more = false;
    };

    void EthernetType(const FrameInfo& f, std::uint16_t type, const std::uint8_t* p, std::size_t n);
    void Ip(const FrameInfo& f, const std::uint8_t* p, std::size_t n);
    void Ipv4(const FrameInfo& f, const std::uint8_t* p, std::size_t n);
    void Ipv6(const FrameInfo& f, const std::uint8_t* p, std::size_t n);
    // An IP payload, whole or a fragment: `n` bytes captured of `sent` (more when the frame
    // was cut by the capture).
    void IpPayload(const FrameInfo& f, const Flow& ip, const IpPart& part, const std::uint8_t* p, std::size_t n,
                   std::size_t sent);
    void Transport(const FrameInfo& f, const Flow& ip, std::uint8_t protocol, const std::uint8_t* p, std::size_t n,
                   std::size_t sent);
    void Udp(const FrameInfo& f, const Flow& ip, const std::uint8_t* p, std::size_t n, std::size_t sent);
    void Tcp(const FrameInfo& f, const Flow& ip, const std::uint8_t* p, std::size_t n, std::size_t sent);
    void OnAbandoned(const AbandonedDatagram& datagram);

    void Report(ProblemKind kind, const FrameInfo& f, const Flow* flow, const std::string& what,
                const std::uint8_t* bytes, std::size_t size);
    // "captured 96 of 1514 bytes" when the frame was cut, else "the frame holds 60 bytes".
    static std::string Shortfall(const FrameInfo& f, const char* layer, std::size_t needed, std::size_t have);

    CountingSink sink_;
    CaptureCounts counts_;
    IpReassembler fragments_;
    TcpReassembler tcp_;
    CaptureTime lastTime_;
};

} // namespace vita49::capture
