#pragma once

// What the capture reader hands on: the payloads that may carry VITA 49 packets (UDP
// datagrams, the in-order bytes of a TCP connection, the bytes of a raw file), each with its
// capture time and its flow, and the problems met on the way, each as one line of text.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace vita49::capture {

struct Address {
    std::uint8_t family = 0; // 0 none (raw file), 4 IPv4, 6 IPv6
    std::uint8_t bytes[16] = {};

    bool operator==(const Address& other) const {
        return family == other.family && std::memcmp(bytes, other.bytes, sizeof bytes) == 0;
    }
    bool operator!=(const Address& other) const { return !(*this == other); }
};

struct Endpoint {
    Address address;
    std::uint16_t port = 0;

    bool operator==(const Endpoint& other) const { return address == other.address && port == other.port; }
    bool operator!=(const Endpoint& other) const { return !(*this == other); }
};

enum class Transport : std::uint8_t {
    kUdp,
    kTcp,
    kRaw, // a file of packets back to back: no addresses, no time
    kIp,  // IP without a usable transport header (fragments that never completed, other protocols)
};

// One direction of traffic: the source and destination of a datagram or segment.
struct Flow {
    Transport transport = Transport::kRaw;
    Endpoint src;
    Endpoint dst;

    bool operator==(const Flow& other) const {
        return transport == other.transport && src == other.src && dst == other.dst;
    }
};

struct FlowHash {
    std::size_t operator()(const Flow& flow) const;
};

// "192.0.2.1", "2001:db8::1"; "-" without an address.
std::string AddressText(const Address& address);
// "192.0.2.1:5001", "[2001:db8::1]:5001"; the address alone without a port; "-" without either.
std::string EndpointText(const Endpoint& endpoint);
const char* TransportName(Transport transport);

struct CaptureTime {
    bool valid = false; // raw files have no capture time
    double seconds = 0; // since 1970
};

struct Payload {
    CaptureTime time;
    const Flow* flow = nullptr;
    const std::uint8_t* bytes = nullptr; // valid during the call
    std::size_t size = 0;
};

enum class ProblemKind : std::uint8_t {
    kTruncated,  // fewer bytes captured than were sent (snap length)
    kMalformed,  // a header that contradicts itself or the bytes it came with
    kNotCarried, // a frame or datagram without UDP or TCP (ARP, ICMP, an unknown link type ...)
    kIncomplete, // fragments of a datagram that never completed
    kGap,        // bytes of a TCP connection that are not in the capture
    kFile,       // the file itself: cut in the middle of a record, or unreadable from here on
};

struct Problem {
    ProblemKind kind = ProblemKind::kMalformed;
    CaptureTime time;
    const Flow* flow = nullptr;          // null when there is none (not IP, a damaged IP header)
    std::string what;                    // one line, no line end
    const std::uint8_t* bytes = nullptr; // the first bytes concerned, for a hex dump; may be null
    std::size_t shown = 0;               // how many can be read at `bytes`
    std::size_t size = 0;                // how many bytes are concerned
    std::uint64_t lostBytes = 0;         // bytes known to be lost (a gap, an incomplete datagram)
};

// Receives everything a capture holds, in capture order, on the reading thread.
class CaptureSink {
public:
    virtual ~CaptureSink() = default;
    virtual void OnPayload(const Payload& payload) = 0;
    virtual void OnProblem(const Problem& problem) = 0;
    // A byte stream (one direction of a TCP connection, a raw file) ends: whatever is held
    // of an unfinished packet will never be completed. A later payload of the same flow
    // starts a new stream (a new connection on the same four-tuple).
    virtual void OnStreamEnd(const Flow& flow, const CaptureTime& time) = 0;
    // False once the sink wants nothing more: reading stops before the next record (or
    // chunk of a raw file), and the file counts as read.
    virtual bool WantsMore() const { return true; }
};

// Bounds on what the reader keeps while it waits for missing pieces. Reaching one gives up
// the oldest pieces (reported), so the memory used does not grow with the file.
struct ReassemblyLimits {
    std::size_t maxPendingDatagrams = 1024;          // IP datagrams waiting for fragments
    std::size_t maxPendingFragmentBytes = 32u << 20; // their buffers together
    double fragmentTimeoutS = 30;                    // capture time a datagram may wait
    std::size_t maxConnections = 256;                // TCP directions followed at once
    std::size_t maxOutOfOrderBytes = 8u << 20;       // held behind a hole, per direction
    std::size_t maxOutOfOrderSegments = 4096;        // per direction
    std::size_t maxOutOfOrderTotal = 64u << 20;      // held behind holes, all directions
};

} // namespace vita49::capture
