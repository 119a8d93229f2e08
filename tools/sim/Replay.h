#pragma once

// The simulated instrument's replay of a recorded stream: the VITA 49 packets of a pcap or
// pcapng capture (UDP datagrams and TCP connections, read by the capture reader of
// vita49-dump) or of a raw file of packets back to back, sent in the capture's order and with
// its timing instead of the generated stream. A packet goes out as it was captured; only its
// stream identifier is rewritten, and only when asked.
//
// The file is read again for every pass rather than held in memory, so that a capture larger
// than the memory can be replayed; the start-up check reads it once through.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace vita49::sim {

enum class StreamIdRewrite : std::uint8_t {
    kKeep,  // every packet as captured
    kFixed, // the packets of the capture's main stream get ReplayConfig::streamId
    kSetUp, // the packets of the capture's main stream get the identifier the command channel set up
};

struct ReplayConfig {
    std::string path;   // empty: no replay, the generated stream
    bool raw = false;   // read the file as raw packets whatever its name (else raw for .vrt and .bin)
    double rate = 1;    // the capture's time runs this many times faster; 0: as fast as the link takes it
    bool loop = false;  // at the end of the file, start again
    StreamIdRewrite rewrite = StreamIdRewrite::kKeep;
    std::uint32_t streamId = 0; // for kFixed
};

// Packets of one reading of the file, by the type in their header.
struct ReplayCounts {
    std::uint64_t ifData = 0, ifContext = 0, extData = 0, extContext = 0;
    std::uint64_t otherTypes = 0; // types without a stream identifier (0, 2) or not VITA 49.0 (6, 7)
    std::uint64_t bytes = 0;
    std::uint64_t rewritten = 0;  // packets whose stream identifier was rewritten

    std::uint64_t Packets() const { return ifData + ifContext + extData + extContext + otherTypes; }
    void Count(const std::uint8_t* packet, std::size_t size);
};

// What the start-up check found in the file.
struct ReplaySummary {
    std::string format;
    ReplayCounts packets;
    std::uint64_t unusableBytes = 0;        // carried bytes that are no packet: never sent
    std::uint64_t problems = 0;             // of the capture: cut frames, TCP gaps, a broken-off file
    std::vector<std::string> firstProblems; // the first few, one line each
    bool timed = false;                     // the packets have capture times (not a raw file)
    double spanSeconds = 0;                 // capture time from the first packet to the last
    bool hasMainStream = false;             // the main stream: that of the first IF data packet, else
    std::uint32_t mainStreamId = 0;         // of the first packet that carries an identifier
    std::size_t streamIds = 0;              // distinct identifiers (counted up to 64)
};

// A few lines for the log: file, format, packets by type, span, streams, what is left out.
std::string Describe(const ReplayConfig& config, const ReplaySummary& summary);

// Where a pass sends its packets.
class ReplayOutput {
public:
    virtual ~ReplayOutput() = default;
    // One whole packet, valid during the call. False when the replay cannot go on.
    virtual bool Send(const std::uint8_t* packet, std::size_t size) = 0;
};

class CaptureReplay {
public:
    enum class PassEnd { kFinished, kInterrupted, kFailed };

    explicit CaptureReplay(ReplayConfig config) : config_(std::move(config)) {}

    // Reads the whole file once. False, with a one-line `error`, when it cannot be read or
    // holds no VITA 49 packet; a pcap or pcapng file without libpcap in this build is one.
    bool Check(std::string& error);
    const ReplaySummary& Summary() const { return summary_; }
    const ReplayConfig& Config() const { return config_; }

    // Sends every packet of the file once, in order, each when its capture time has come,
    // counted from the first packet and divided by the rate (a packet whose time lies
    // behind the one before goes out at once). kInterrupted when `stop` was set or the output
    // refused a packet, kFailed with `error` when the file cannot be read any more. Packets
    // of the TCP command port 5300 are no stream and are left out. Needs a successful Check.
    PassEnd Pass(std::uint32_t setUpStreamId, ReplayOutput& out, const std::atomic<bool>& stop, ReplayCounts& sent,
                 std::string& error) const;

private:
    ReplayConfig config_;
    ReplaySummary summary_;
};

} // namespace vita49::sim
