#pragma once

// Reassembly of fragmented IP datagrams (IPv4, and IPv6 with its fragment header). A VITA 49
// packet of 8 KiB sent over a 1,500-byte MTU arrives as six fragments, and only the first
// carries the UDP header, so nothing can be decoded without putting them together again.
//
// Datagrams are keyed by source, destination, protocol and identification. Memory is bounded
// by ReassemblyLimits: the number of datagrams waiting, their buffers together, and the
// capture time one may wait. A datagram that has to give way, waits too long, or is still
// incomplete at the end is reported once through the abandon handler, with what arrived.
// Fragments may come in any order and may repeat; where they overlap, the bytes that arrived
// first are kept, and an overlap with different bytes is reported.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "dump/CaptureTypes.h"

namespace vita49::capture {

struct FragmentKey {
    Address src;
    Address dst;
    std::uint8_t protocol = 0;
    std::uint32_t id = 0;

    bool operator==(const FragmentKey& other) const {
        return src == other.src && dst == other.dst && protocol == other.protocol && id == other.id;
    }
};

struct FragmentKeyHash {
    std::size_t operator()(const FragmentKey& key) const;
};

struct Fragment {
    std::uint32_t offset = 0; // bytes from the start of the datagram's payload
    bool more = false;        // not the last fragment
    const std::uint8_t* bytes = nullptr;
    std::size_t size = 0;
};

// A datagram given up before it was complete.
struct AbandonedDatagram {
    FragmentKey key;
    double firstTime = 0;     // capture time of its first fragment
    std::size_t received = 0; // payload bytes that arrived
    std::size_t expected = 0; // its whole payload; 0 while the last fragment is missing
    const char* why = "";     // "waited longer than 30 s", ...
    // The first bytes of the payload when the fragment at offset 0 arrived (the transport
    // header), else null.
    const std::uint8_t* head = nullptr;
    std::size_t headSize = 0;
};

class IpReassembler {
public:
    using AbandonHandler = std::function<void(const AbandonedDatagram&)>;

    IpReassembler(const ReassemblyLimits& limits, AbandonHandler onAbandoned);

    enum class Outcome {
        kPending,  // kept; the datagram is not complete yet
        kComplete, // the datagram is complete: Datagram() holds its payload
        kRejected, // not used: Why() says why (its datagram may have been given up with it)
    };
    Outcome Add(const FragmentKey& key, const Fragment& fragment, double time);

    // The payload completed by the last Add, valid until the next Add.
    const std::vector<std::uint8_t>& Datagram() const { return done_; }
    const std::string& Why() const { return why_; }
    // Whether the datagram completed by the last Add had overlapping fragments with different
    // bytes (the first ones were kept).
    bool CompletedWithConflict() const { return completedWithConflict_; }
    // Whether the last rejection was a contradiction between fragments (the datagram was
    // given up with it) rather than a fragment that could never fit any datagram.
    bool RejectedWithDatagram() const { return rejectedWithDatagram_; }

    // Gives up datagrams that waited longer than the time-out before `now`.
    void Expire(double now);
    // Gives up everything still waiting (end of capture).
    void Flush(const char* why);

    std::size_t PendingDatagrams() const { return index_.size(); }
    std::size_t PendingBytes() const { return bytes_; }

private:
    struct Entry {
        FragmentKey key;
        double firstTime = 0;
        std::vector<std::uint8_t> data;                          // indexed by payload offset
        std::vector<std::pair<std::uint32_t, std::uint32_t>> have; // sorted, disjoint [begin, end)
        std::uint32_t total = 0;
        bool totalKnown = false;
        std::size_t received = 0;
        bool differed = false;     // an overlap brought other bytes than those held
        std::size_t accounted = 0; // buffer bytes counted in bytes_
    };
    using EntryList = std::list<Entry>;

    EntryList::iterator Find(const FragmentKey& key, double time);
    // Checks `fragment` against what is known of its datagram; false with why_ set.
    bool Fits(const Entry& entry, const Fragment& fragment);
    bool Grow(EntryList::iterator entry, std::uint32_t end);
    // Copies the parts not yet held and records the range; true when an overlap differed.
    bool Merge(Entry& entry, const Fragment& fragment);
    void Abandon(EntryList::iterator entry, const char* why);
    void Erase(EntryList::iterator entry);
    Outcome Reject(const std::string& why, bool withDatagram);

    ReassemblyLimits limits_;
    AbandonHandler onAbandoned_;
    EntryList order_; // oldest first
    std::unordered_map<FragmentKey, EntryList::iterator, FragmentKeyHash> index_;
    std::size_t bytes_ = 0; // buffer capacity of every entry
    std::vector<std::uint8_t> done_;
    std::string why_;
    bool rejectedWithDatagram_ = false;
    bool completedWithConflict_ = false;
};

} // namespace vita49::capture
