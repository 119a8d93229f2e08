#include "dump/TcpReassembler.h"

#include <string>

namespace vita49::capture {

TcpReassembler::TcpReassembler(const ReassemblyLimits& limits, CaptureSink& sink) : limits_(limits), sink_(sink) {}

TcpReassembler::Table::iterator TcpReassembler::Open(const Flow& flow, const CaptureTime& time) {
    auto it = connections_.find(flow);
    if (it != connections_.end()) {
        lru_.splice(lru_.end(), lru_, it->second.lru);
        return it;
    }
    while (!connections_.empty() && connections_.size() >= limits_.maxConnections)
        Close(connections_.find(lru_.front()), time);
    it = connections_.emplace(flow, Connection{}).first;
    it->second.flow = flow;
    it->second.lru = lru_.insert(lru_.end(), flow);
    return it;
}

std::int64_t TcpReassembler::OffsetOf(const Connection& c, std::uint32_t seq) {
    const auto nextSeq = static_cast<std::uint32_t>(c.base + c.next);
    return static_cast<std::int64_t>(c.next) + static_cast<std::int32_t>(seq - nextSeq);
}

void TcpReassembler::Add(const Flow& flow, const TcpSegment& segment, const CaptureTime& time) {
    auto it = Open(flow, time);
    if (segment.rst) {
        Close(it, time);
        return;
    }
    std::uint32_t dataSeq = segment.seq;
    if (segment.syn) {
        Connection& c = it->second;
        if (c.synced && (c.next > 0 || !c.held.empty()) && segment.seq + 1 != c.base) {
            // A new connection on the same four-tuple: the old stream ends here.
            Close(it, time);
            it = Open(flow, time);
        }
        dataSeq = segment.seq + 1;
        if (!it->second.synced || it->second.next == 0) {
            it->second.synced = true;
            it->second.base = dataSeq;
        }
    }
    Connection& c = it->second;
    if (!c.synced) {
        if (segment.sentSize == 0 && !segment.fin) return;
        // The capture began inside the connection: its first byte seen is offset 0.
        c.synced = true;
        c.base = dataSeq;
    }
    const std::int64_t at = OffsetOf(c, dataSeq);
    if (segment.sentSize > 0) Place(c, at, segment.bytes, segment.size, segment.sentSize, time);
    if (segment.fin && at >= 0) {
        c.finSeen = true;
        c.finAt = static_cast<std::uint64_t>(at) + segment.sentSize;
    }
    Drain(c, time);
    if (c.finSeen && c.next >= c.finAt && c.held.empty()) {
        Close(it, time);
        return;
    }
    Enforce(it, time);
}

void TcpReassembler::Place(Connection& c, std::int64_t at, const std::uint8_t* bytes, std::size_t size,
                           std::size_t sentSize, const CaptureTime& time) {
    const std::int64_t end = at + static_cast<std::int64_t>(sentSize);
    if (end <= static_cast<std::int64_t>(c.next)) return; // all delivered before
    if (at <= static_cast<std::int64_t>(c.next)) {
        Deliver(c, at, bytes, size, sentSize, time);
        return;
    }
    Held& slot = c.held[static_cast<std::uint64_t>(at)];
    if (slot.sentSize >= sentSize) return; // the same start held already, no shorter
    c.heldBytes -= slot.bytes.size();
    heldTotal_ -= slot.bytes.size();
    slot.bytes.assign(bytes, bytes + size);
    slot.sentSize = sentSize;
    c.heldBytes += size;
    heldTotal_ += size;
}

void TcpReassembler::Deliver(Connection& c, std::int64_t at, const std::uint8_t* bytes, std::size_t size,
                             std::size_t sentSize, const CaptureTime& time) {
    // [at, at + size) was captured, [at + size, at + sentSize) was sent but not captured;
    // `at` <= next, so only what lies beyond next is new.
    const std::int64_t next = static_cast<std::int64_t>(c.next);
    const std::int64_t capturedEnd = at + static_cast<std::int64_t>(size);
    if (capturedEnd > next) {
        Payload p;
        p.time = time;
        p.flow = &c.flow;
        p.bytes = bytes + (next - at);
        p.size = static_cast<std::size_t>(capturedEnd - next);
        c.next = static_cast<std::uint64_t>(capturedEnd);
        sink_.OnPayload(p);
    }
    const std::int64_t sentEnd = at + static_cast<std::int64_t>(sentSize);
    if (sentEnd > static_cast<std::int64_t>(c.next)) {
        ReportGap(c, static_cast<std::uint64_t>(sentEnd) - c.next, time);
        c.next = static_cast<std::uint64_t>(sentEnd);
    }
}

void TcpReassembler::Drain(Connection& c, const CaptureTime& time) {
    while (!c.held.empty() && c.held.begin()->first <= c.next) {
        auto first = c.held.begin();
        Held held = std::move(first->second);
        const std::uint64_t at = first->first;
        c.held.erase(first);
        c.heldBytes -= held.bytes.size();
        heldTotal_ -= held.bytes.size();
        if (at + held.sentSize > c.next)
            Deliver(c, static_cast<std::int64_t>(at), held.bytes.data(), held.bytes.size(), held.sentSize, time);
    }
}

void TcpReassembler::SkipHole(Connection& c, const CaptureTime& time) {
    if (c.held.empty()) return;
    const std::uint64_t at = c.held.begin()->first;
    if (at > c.next) {
        ReportGap(c, at - c.next, time);
        c.next = at;
    }
    Drain(c, time);
}

void TcpReassembler::ReportGap(Connection& c, std::uint64_t bytes, const CaptureTime& time) {
    Problem p;
    p.kind = ProblemKind::kGap;
    p.time = time;
    p.flow = &c.flow;
    p.lostBytes = bytes;
    p.what = "TCP: " + std::to_string(bytes) + " bytes missing from the capture (stream bytes " +
             std::to_string(c.next) + " to " + std::to_string(c.next + bytes) + ")";
    sink_.OnProblem(p);
}

void TcpReassembler::Enforce(Table::iterator current, const CaptureTime& time) {
    Connection& c = current->second;
    while (!c.held.empty() &&
           (c.heldBytes > limits_.maxOutOfOrderBytes || c.held.size() > limits_.maxOutOfOrderSegments))
        SkipHole(c, time);
    while (heldTotal_ > limits_.maxOutOfOrderTotal) {
        auto largest = connections_.begin();
        for (auto it = connections_.begin(); it != connections_.end(); ++it)
            if (it->second.heldBytes > largest->second.heldBytes) largest = it;
        if (largest->second.held.empty()) break;
        SkipHole(largest->second, time);
    }
}

void TcpReassembler::Close(Table::iterator it, const CaptureTime& time) {
    Connection& c = it->second;
    while (!c.held.empty()) SkipHole(c, time);
    if (c.finSeen && c.finAt > c.next) {
        ReportGap(c, c.finAt - c.next, time);
        c.next = c.finAt;
    }
    if (c.synced) sink_.OnStreamEnd(c.flow, time);
    lru_.erase(c.lru);
    connections_.erase(it);
}

void TcpReassembler::Finish(const CaptureTime& time) {
    while (!connections_.empty()) Close(connections_.find(lru_.front()), time);
}

} // namespace vita49::capture
