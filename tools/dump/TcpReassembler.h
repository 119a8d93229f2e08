#pragma once

// The payload of each TCP connection direction (by its four-tuple), delivered in
// sequence-number order. Retransmitted bytes are delivered once (the first copy wins);
// segments that arrive ahead of a hole wait for it. A hole that is never filled (the capture
// missed the segment) is reported as a gap once the bytes waiting behind it reach a bound,
// or when the connection ends or the capture does, and delivery goes on after it. A segment
// captured shorter than it was sent leaves a gap of the bytes not captured.
//
// Memory is bounded by ReassemblyLimits: bytes and segments waiting per direction and in
// all, and the number of directions followed at once (the least recently active one gives
// way, its stream ended).

#include <cstddef>
#include <cstdint>
#include <list>
#include <map>
#include <unordered_map>
#include <vector>

#include "dump/CaptureTypes.h"

namespace vita49::capture {

struct TcpSegment {
    std::uint32_t seq = 0;
    bool syn = false;
    bool fin = false;
    bool rst = false;
    const std::uint8_t* bytes = nullptr; // the captured payload
    std::size_t size = 0;
    std::size_t sentSize = 0; // the payload as sent (>= size; more when the capture cut it)
};

class TcpReassembler {
public:
    TcpReassembler(const ReassemblyLimits& limits, CaptureSink& sink);

    void Add(const Flow& flow, const TcpSegment& segment, const CaptureTime& time);
    // End of capture: every hole left is a gap; every stream ends.
    void Finish(const CaptureTime& time);

    std::size_t Connections() const { return connections_.size(); }
    std::size_t HeldBytes() const { return heldTotal_; }

private:
    struct Held {
        std::vector<std::uint8_t> bytes;
        std::size_t sentSize = 0;
    };
    struct Connection {
        Flow flow;
        bool synced = false;       // the stream's origin is known
        std::uint32_t base = 0;    // sequence number of stream offset 0
        std::uint64_t next = 0;    // stream offset of the next byte to deliver
        std::map<std::uint64_t, Held> held; // segments ahead of a hole, by stream offset
        std::size_t heldBytes = 0;
        bool finSeen = false;
        std::uint64_t finAt = 0;
        std::list<Flow>::iterator lru;
    };
    using Table = std::unordered_map<Flow, Connection, FlowHash>;

    Table::iterator Open(const Flow& flow, const CaptureTime& time);
    // Stream offset of a sequence number, taken as the nearest one to `next`.
    static std::int64_t OffsetOf(const Connection& c, std::uint32_t seq);
    void Place(Connection& c, std::int64_t at, const std::uint8_t* bytes, std::size_t size, std::size_t sentSize,
               const CaptureTime& time);
    void Deliver(Connection& c, std::int64_t at, const std::uint8_t* bytes, std::size_t size, std::size_t sentSize,
                 const CaptureTime& time);
    void Drain(Connection& c, const CaptureTime& time);
    // Gives up the hole before the first held segment: a gap; delivery goes on behind it.
    void SkipHole(Connection& c, const CaptureTime& time);
    void ReportGap(Connection& c, std::uint64_t bytes, const CaptureTime& time);
    void Enforce(Table::iterator current, const CaptureTime& time);
    // Every hole becomes a gap, the stream ends, the direction is forgotten.
    void Close(Table::iterator it, const CaptureTime& time);

    ReassemblyLimits limits_;
    CaptureSink& sink_;
    Table connections_;
    std::list<Flow> lru_; // least recently active first
    std::size_t heldTotal_ = 0;
};

} // namespace vita49::capture
