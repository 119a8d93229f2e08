#pragma once

// Cutting VITA 49 packets out of payloads by their header word alone (packet type and size
// field), the way the receiver cuts them:
// - a datagram holds whole packets back to back; what follows a header that cannot be right
//   (reserved type, size 0, size beyond the datagram) is unusable up to the datagram's end;
// - a byte stream (a TCP connection, a raw file) holds packets split anywhere. A packet
//   start must be of a type with a stream identifier (IF data, extension data, IF context,
//   extension context) and announce between 8 and 65,536 bytes; anything else means the
//   stream is out of step, and the bytes up to the next plausible start are skipped, as
//   after a gap. A stream starts out of step (a capture may begin inside a connection):
//   until a stream identifier has been seen, a start counts only when the next header
//   follows it with the same identifier; afterwards a start must carry one of those seen,
//   so that sample bytes that merely look like a header are rarely taken for one.
// Unusable bytes are reported with a reason and the count; none is lost silently.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vita49::capture {

enum class Unusable : std::uint8_t {
    kNoHeader,      // too few bytes left in a datagram for a header word (or an empty datagram)
    kReservedType,  // datagram: packet type 8 to 15
    kZeroSize,      // datagram: a size field of 0
    kSizeBeyond,    // datagram: a size field beyond the datagram's end
    kSkipped,       // stream: bytes that start no packet, up to the next plausible start
    kCutByGap,      // stream: the part of a packet before a gap
    kUnfinished,    // stream: the part of a packet at the stream's end
};

struct UnusableBytes {
    Unusable reason = Unusable::kNoHeader;
    const std::uint8_t* head = nullptr; // the first bytes, up to kHeadBytes of them
    std::size_t headSize = 0;
    std::uint64_t size = 0;       // bytes concerned
    std::uint32_t declared = 0;   // the size field, in bytes, where there was one
    std::uint8_t type = 0;        // the packet type of the header concerned
    std::string why;              // kSkipped: what put the stream out of step
};

constexpr std::size_t kHeadBytes = 16;

// One line, e.g. "packet size field says 8236 bytes, the datagram holds 1000".
std::string Describe(const UnusableBytes& unusable);

class FrameHandler {
public:
    virtual ~FrameHandler() = default;
    // A packet of `size` bytes (its size field times 4); valid during the call.
    virtual void OnPacket(const std::uint8_t* packet, std::uint32_t size) = 0;
    virtual void OnUnusable(const UnusableBytes& unusable) = 0;
};

// Every packet of one datagram, in order.
void CutDatagram(const std::uint8_t* bytes, std::size_t size, FrameHandler& handler);

class StreamFramer {
public:
    static constexpr std::uint32_t kMaxStreamPacket = 65536;

    // The next bytes of the stream.
    void Push(const std::uint8_t* bytes, std::size_t size, FrameHandler& handler);
    // Bytes are missing before the next Push: the packet held so far is lost, and the next
    // packet start must be plausible.
    void Gap(FrameHandler& handler);
    // The stream ends: what is held is reported; the framer starts afresh.
    void End(FrameHandler& handler);

    std::size_t HeldBytes() const { return held_.size(); }
    // Bytes skipped while out of step, reported together once the stream is in step again
    // (or at a gap or the end).
    std::uint64_t SkippedUnreported() const { return skipped_; }

private:
    std::size_t Cut(const std::uint8_t* bytes, std::size_t size, FrameHandler& handler);
    // The first plausible packet start at or after `from` (`size` when none); `undecided`
    // when it cannot be confirmed before more bytes arrive.
    std::size_t FindStart(const std::uint8_t* bytes, std::size_t from, std::size_t size, bool& undecided) const;
    bool Acceptable(const std::uint8_t* at) const;   // 8 bytes at `at`
    bool Plausible(const std::uint8_t* at) const;    // 8 bytes at `at`
    bool MayBecomePlausible(const std::uint8_t* at, std::size_t count) const;
    void StartSkipping(const std::string& why);
    void Skip(const std::uint8_t* bytes, std::size_t size);
    void FlushSkipped(FrameHandler& handler);
    void Learn(std::uint32_t streamId);

    static const char* const kBeforeFirst;

    std::vector<std::uint8_t> held_;
    // A stream starts out of step: a capture may begin in the middle of a connection.
    bool outOfStep_ = true;
    bool final_ = false; // End: no further bytes will confirm a packet start
    std::size_t rescanAt_ = 0; // out of step with an undecided start: held bytes for the next look
    std::uint64_t skipped_ = 0;
    std::uint8_t skippedHead_[kHeadBytes] = {};
    std::size_t skippedHeadSize_ = 0;
    std::string skipWhy_ = kBeforeFirst;
    static constexpr std::size_t kMaxKnownIds = 16;
    std::uint32_t knownIds_[kMaxKnownIds] = {};
    std::size_t knownCount_ = 0;
};

} // namespace vita49::capture
