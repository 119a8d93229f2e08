// The capture reader of vita49-dump and the cutting of VITA 49 packets out of what it
// delivers, on arbitrary input. The first byte chooses how the rest is read, the second how
// small the reassembly limits are:
//   mode 0: a capture file (pcap or pcapng), read by libpcap from memory
//   mode 1: frames for the reader's link layers directly: a link-type byte, then records of
//           a time step byte, captured size (16 bits), sent size (16 bits) and the bytes
//   mode 2: a chunk-size byte, then a raw file of packets back to back, read in chunks of
//           1 to 1021 bytes
// Beyond "no crash": every byte handed to the cutting ends up in a packet, reported as
// unusable, or held for the next bytes (or skipped, to be reported with the next packet
// start); every byte stream ends, and then nothing is left unreported; the reassembly state stays
// within its limits; every problem says what it is.

#include <cstdint>
#include <cstdio>
#include <unordered_map>
#include <vector>

#include "dump/CaptureReader.h"
#include "dump/PacketFramer.h"
#include "fuzz/FuzzInput.h"
#if defined(VITA49_FUZZ_PCAP)
#include "dump/CaptureFile.h"
#endif

namespace {

using namespace vita49::capture;
using vita49::fuzz::FuzzInput;

std::uint8_t g_sink; // reads of delivered bytes go here, so that each byte is touched

void Touch(const std::uint8_t* bytes, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) g_sink = static_cast<std::uint8_t>(g_sink + bytes[i]);
}

class Accounting : public FrameHandler {
public:
    explicit Accounting(bool stream) : stream_(stream) {}
    void OnPacket(const std::uint8_t* packet, std::uint32_t size) override {
        FUZZ_CHECK(size >= 4);
        FUZZ_CHECK(size == 4u * ((std::uint32_t{packet[2]} << 8) | packet[3]));
        if (stream_) {
            const std::uint8_t type = packet[0] >> 4;
            FUZZ_CHECK(type == 1 || type == 3 || type == 4 || type == 5);
            FUZZ_CHECK(size >= 8 && size <= StreamFramer::kMaxStreamPacket);
        }
        Touch(packet, size);
        packets += size;
    }
    void OnUnusable(const UnusableBytes& u) override {
        FUZZ_CHECK(u.headSize <= kHeadBytes && u.headSize <= u.size);
        FUZZ_CHECK(!Describe(u).empty());
        Touch(u.head, u.headSize);
        unusable += u.size;
    }
    std::uint64_t packets = 0;
    std::uint64_t unusable = 0;

private:
    bool stream_;
};

class CheckingSink : public CaptureSink {
public:
    void OnPayload(const Payload& payload) override {
        FUZZ_CHECK(payload.flow != nullptr);
        FUZZ_CHECK(payload.size == 0 || payload.bytes != nullptr);
        Touch(payload.bytes, payload.size);
        if (payload.flow->transport == Transport::kUdp) {
            Accounting a(false);
            CutDatagram(payload.bytes, payload.size, a);
            FUZZ_CHECK(a.packets + a.unusable == payload.size);
            return;
        }
        FUZZ_CHECK(payload.flow->transport == Transport::kTcp || payload.flow->transport == Transport::kRaw);
        Stream& s = streams_[*payload.flow];
        s.in += payload.size;
        s.framer.Push(payload.bytes, payload.size, s.accounting);
        s.Check();
    }
    void OnProblem(const Problem& problem) override {
        FUZZ_CHECK(!problem.what.empty());
        FUZZ_CHECK(problem.shown == 0 || problem.bytes != nullptr);
        Touch(problem.bytes, problem.shown);
        if (problem.kind == ProblemKind::kGap) {
            FUZZ_CHECK(problem.flow != nullptr && problem.lostBytes > 0);
            const auto it = streams_.find(*problem.flow);
            if (it != streams_.end()) {
                it->second.framer.Gap(it->second.accounting);
                it->second.Check();
            }
        }
    }
    void OnStreamEnd(const Flow& flow, const CaptureTime&) override {
        const auto it = streams_.find(flow);
        if (it == streams_.end()) return;
        it->second.framer.End(it->second.accounting);
        FUZZ_CHECK(it->second.framer.HeldBytes() == 0 && it->second.framer.SkippedUnreported() == 0);
        it->second.Check();
        streams_.erase(it);
    }
    // Every stream that delivered bytes has ended.
    bool AllEnded() const { return streams_.empty(); }

private:
    struct Stream {
        StreamFramer framer;
        Accounting accounting{true};
        std::uint64_t in = 0;
        void Check() const {
            FUZZ_CHECK(in == accounting.packets + accounting.unusable + framer.HeldBytes() + framer.SkippedUnreported());
        }
    };
    std::unordered_map<Flow, Stream, FlowHash> streams_;
};

ReassemblyLimits LimitsFrom(std::uint8_t b) {
    ReassemblyLimits l;
    l.maxPendingDatagrams = 1 + (b & 3u) * 5;
    l.maxPendingFragmentBytes = (b & 4u) ? 4096 : (1u << 20);
    l.fragmentTimeoutS = (b & 8u) ? 1 : 30;
    l.maxConnections = 1 + ((b >> 4) & 3u);
    l.maxOutOfOrderBytes = (b & 0x40u) ? 3000 : (1u << 20);
    l.maxOutOfOrderSegments = (b & 0x40u) ? 3 : 100;
    l.maxOutOfOrderTotal = (b & 0x80u) ? 5000 : (4u << 20);
    return l;
}

void Frames(FuzzInput& in, CheckingSink& sink, const ReassemblyLimits& limits) {
    static const int kLinkTypes[] = {kLinkEthernet, kLinkLinuxSll, kLinkLinuxSll2, kLinkRaw,  kLinkRawFile,
                                     kLinkIpv4,     kLinkIpv6,     kLinkNull,      kLinkLoop, 147};
    const int linkType = kLinkTypes[in.Byte() % (sizeof kLinkTypes / sizeof kLinkTypes[0])];
    CaptureReader reader(sink, limits);
    CaptureTime time;
    time.valid = true;
    time.seconds = 1e9;
    while (in.Remaining() > 0) {
        time.seconds += 0.25 * in.Byte();
        const std::size_t captured = in.U16();
        const std::size_t sent = in.U16();
        std::size_t got = 0;
        const std::uint8_t* bytes = in.Take(captured, got);
        // A copy of exactly the captured length, so that a read beyond it is caught.
        const std::vector<std::uint8_t> frame(bytes, bytes + got);
        reader.Frame(linkType, frame.data(), frame.size(), sent, time);
        FUZZ_CHECK(reader.PendingFragmentBytes() <= limits.maxPendingFragmentBytes);
        FUZZ_CHECK(reader.HeldTcpBytes() <= limits.maxOutOfOrderTotal);
    }
    reader.Finish();
    FUZZ_CHECK(reader.PendingFragmentBytes() == 0 && reader.HeldTcpBytes() == 0);
}

#if defined(VITA49_FUZZ_PCAP)
void File(const std::uint8_t* data, std::size_t size, std::size_t rawChunk, CheckingSink& sink,
          const ReassemblyLimits& limits) {
    if (size == 0) return; // fmemopen refuses an empty buffer
    std::vector<std::uint8_t> copy(data, data + size);
    std::FILE* file = fmemopen(copy.data(), copy.size(), "rb");
    if (file == nullptr) return;
    ReadReport report;
    std::string error;
    const bool ok = rawChunk > 0 ? ReadRawStream(file, "input", sink, report, error, rawChunk)
                                 : ReadPcapStream(file, "input", sink, limits, report, error);
    FUZZ_CHECK(ok || !error.empty());
}
#endif

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    const std::uint8_t mode = in.Byte() % 3;
    const ReassemblyLimits limits = LimitsFrom(in.Byte());
    CheckingSink sink;
    if (mode == 1) {
        Frames(in, sink, limits);
    } else {
#if defined(VITA49_FUZZ_PCAP)
        const std::size_t rawChunk = mode == 2 ? 1u + 4u * in.Byte() : 0;
        File(in.Current(), in.Remaining(), rawChunk, sink, limits);
#else
        Frames(in, sink, limits); // without libpcap the frames are the whole surface
#endif
    }
    FUZZ_CHECK(sink.AllEnded());
    return 0;
}
