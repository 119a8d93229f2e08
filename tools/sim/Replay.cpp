#include "sim/Replay.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <thread>
#include <unordered_map>

#include "dump/CaptureFile.h"
#include "dump/PacketFramer.h"
#include "vita49/PacketLayout.h"

namespace vita49::sim {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint16_t kCommandPort = 5300;
constexpr std::size_t kProblemsKept = 3;
constexpr std::size_t kIdsCounted = 64;
// Longest sleep before the stop flag is looked at again.
constexpr auto kWaitSlice = std::chrono::milliseconds(20);

std::string Hex(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

std::string Seconds(double s) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f s", s);
    return text;
}

std::string Factor(double x) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", x);
    return text;
}

bool CarriesStreamId(const std::uint8_t* packet, std::size_t size) {
    return size >= kStreamIdAt + kStreamIdBytes && TypeHasStreamId(HeaderType(packet));
}

// Cuts the packets out of what the capture reader delivers, the way the receiver would cut
// them from the same datagrams or byte stream, and hands each on with the capture time of
// the payload that completed it. The command channel's own connection is no stream.
class PacketCutter : public capture::CaptureSink, private capture::FrameHandler {
public:
    void OnPayload(const capture::Payload& payload) override {
        if (!WantsMore() || !Replayed(payload.flow)) return;
        time_ = payload.time;
        if (payload.flow->transport == capture::Transport::kUdp) {
            capture::CutDatagram(payload.bytes, payload.size, *this);
        } else {
            framers_[*payload.flow].Push(payload.bytes, payload.size, *this);
        }
    }
    void OnProblem(const capture::Problem& problem) override {
        if (problem.kind == capture::ProblemKind::kGap && problem.flow != nullptr) {
            const auto framer = framers_.find(*problem.flow);
            if (framer != framers_.end()) framer->second.Gap(*this);
        }
        Problem(problem);
    }
    void OnStreamEnd(const capture::Flow& flow, const capture::CaptureTime&) override {
        const auto framer = framers_.find(flow);
        if (framer == framers_.end()) return;
        framer->second.End(*this);
        framers_.erase(framer);
    }

protected:
    virtual void Packet(const std::uint8_t* packet, std::uint32_t size, const capture::CaptureTime& time) = 0;
    virtual void LeftOut(std::uint64_t) {}
    virtual void Problem(const capture::Problem&) {}

private:
    static bool Replayed(const capture::Flow* flow) {
        if (flow == nullptr) return false;
        switch (flow->transport) {
        case capture::Transport::kUdp:
        case capture::Transport::kRaw:
            return true;
        case capture::Transport::kTcp:
            return flow->src.port != kCommandPort && flow->dst.port != kCommandPort;
        default:
            return false;
        }
    }
    void OnPacket(const std::uint8_t* packet, std::uint32_t size) override {
        if (WantsMore()) Packet(packet, size, time_);
    }
    void OnUnusable(const capture::UnusableBytes& unusable) override { LeftOut(unusable.size); }

    capture::CaptureTime time_;
    std::unordered_map<capture::Flow, capture::StreamFramer, capture::FlowHash> framers_;
};

// The start-up check: counts what a pass would send.
class Scanner : public PacketCutter {
public:
    explicit Scanner(ReplaySummary& summary) : s_(summary) {}

private:
    void Packet(const std::uint8_t* packet, std::uint32_t size, const capture::CaptureTime& time) override {
        s_.packets.Count(packet, size);
        if (time.valid) {
            if (!s_.timed) first_ = time.seconds;
            s_.timed = true;
            s_.spanSeconds = std::max(s_.spanSeconds, time.seconds - first_);
        }
        if (!CarriesStreamId(packet, size)) return;
        const std::uint32_t id = HeaderStreamIdWord(packet);
        if (HeaderType(packet) == kIfData && !mainFromData_) {
            s_.mainStreamId = id;
            s_.hasMainStream = mainFromData_ = true;
        } else if (!s_.hasMainStream) {
            s_.mainStreamId = id;
            s_.hasMainStream = true;
        }
        if (ids_.size() < kIdsCounted && std::find(ids_.begin(), ids_.end(), id) == ids_.end()) ids_.push_back(id);
        s_.streamIds = ids_.size();
    }
    void LeftOut(std::uint64_t bytes) override { s_.unusableBytes += bytes; }
    void Problem(const capture::Problem& problem) override {
        if (s_.problems++ < kProblemsKept) s_.firstProblems.push_back(problem.what);
    }

    ReplaySummary& s_;
    double first_ = 0;
    bool mainFromData_ = false;
    std::vector<std::uint32_t> ids_;
};

// One pass: every packet to the output at its time, its identifier rewritten when asked.
class Sender : public PacketCutter {
public:
    struct Rewrite {
        bool on = false;
        std::uint32_t from = 0, to = 0;
    };

    Sender(double rate, const Rewrite& rewrite, ReplayOutput& out, const std::atomic<bool>& stop, ReplayCounts& sent)
        : rate_(rate), rewrite_(rewrite), out_(out), stop_(stop), sent_(sent) {}

    bool WantsMore() const override { return !interrupted_ && !stop_.load(); }

private:
    void Packet(const std::uint8_t* packet, std::uint32_t size, const capture::CaptureTime& time) override {
        WaitUntilDue(time);
        if (stop_.load()) return;
        const std::uint8_t* bytes = packet;
        const bool rewritten =
            rewrite_.on && CarriesStreamId(packet, size) && HeaderStreamIdWord(packet) == rewrite_.from;
        if (rewritten) {
            scratch_.assign(packet, packet + size);
            store_be32(scratch_.data() + kStreamIdAt, rewrite_.to);
            bytes = scratch_.data();
        }
        if (!out_.Send(bytes, size)) {
            interrupted_ = true;
            return;
        }
        sent_.Count(bytes, size);
        if (rewritten) ++sent_.rewritten;
    }

    // The capture's time from the first packet, divided by the rate, from the pass's start.
    void WaitUntilDue(const capture::CaptureTime& time) {
        if (rate_ <= 0 || !time.valid) return;
        if (!started_) {
            started_ = true;
            first_ = time.seconds;
            start_ = Clock::now();
            return;
        }
        const double after = (time.seconds - first_) / rate_;
        if (!(after > 0)) return;
        const auto due = start_ + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(after));
        for (auto now = Clock::now(); now < due && !stop_.load(); now = Clock::now())
            std::this_thread::sleep_for(std::min<Clock::duration>(due - now, kWaitSlice));
    }

    const double rate_;
    const Rewrite rewrite_;
    ReplayOutput& out_;
    const std::atomic<bool>& stop_;
    ReplayCounts& sent_;
    bool interrupted_ = false;
    bool started_ = false;
    double first_ = 0;
    Clock::time_point start_;
    std::vector<std::uint8_t> scratch_;
};

capture::FileFormat FormatOf(const ReplayConfig& config) {
    return config.raw ? capture::FileFormat::kRaw : capture::FileFormat::kAuto;
}

} // namespace

void ReplayCounts::Count(const std::uint8_t* packet, std::size_t size) {
    bytes += size;
    switch (HeaderType(packet)) {
    case kIfData:
        ++ifData;
        break;
    case kIfContext:
        ++ifContext;
        break;
    case kExtData:
        ++extData;
        break;
    case kExtContext:
        ++extContext;
        break;
    default:
        ++otherTypes;
        break;
    }
}

std::string Describe(const ReplayConfig& config, const ReplaySummary& s) {
    const ReplayCounts& p = s.packets;
    std::string text = "replay: " + config.path + " (" + s.format + "): " + std::to_string(p.Packets()) +
                       " packets, " + std::to_string(p.ifData) + " IF data, " + std::to_string(p.ifContext) +
                       " IF context, " + std::to_string(p.extData) + " spectrum data, " +
                       std::to_string(p.extContext) + " spectrum context, " + std::to_string(p.otherTypes) +
                       " of other types; " + std::to_string(p.bytes) + " bytes";
    if (!s.timed) {
        text += "\nreplay: no capture times in a raw file: sent as fast as the link takes them";
    } else if (config.rate > 0) {
        text += "\nreplay: " + Seconds(s.spanSeconds) + " of capture time, at rate " + Factor(config.rate) +
                ": " + Seconds(s.spanSeconds / config.rate) + " per pass";
    } else {
        text += "\nreplay: " + Seconds(s.spanSeconds) + " of capture time, sent as fast as the link takes them";
    }
    if (s.hasMainStream) {
        text += "\nreplay: main stream " + Hex(s.mainStreamId);
        if (config.rewrite == StreamIdRewrite::kFixed) text += ", sent as " + Hex(config.streamId);
        if (config.rewrite == StreamIdRewrite::kSetUp) text += ", sent as the stream identifier set up by command";
        if (s.streamIds > 1) text += "; packets of " + std::to_string(s.streamIds - 1) + " other stream(s) as captured";
    }
    if (s.unusableBytes > 0)
        text += "\nreplay: " + std::to_string(s.unusableBytes) + " bytes that are no VITA 49 packet are left out";
    if (s.problems > 0) {
        text += "\nreplay: " + std::to_string(s.problems) + " problem(s) in the capture, the first:";
        for (const std::string& line : s.firstProblems) text += "\n  " + line;
    }
    text += config.loop ? "\nreplay: at the end of the file it starts again"
                        : "\nreplay: at the end of the file the stream stops sending (its connection stays until CLOSE)";
    return text;
}

bool CaptureReplay::Check(std::string& error) {
    summary_ = ReplaySummary();
    if (config_.path == "-") {
        error = "a replay needs a file it can read again for every pass, not standard input";
        return false;
    }
    if (!std::isfinite(config_.rate) || config_.rate < 0) {
        error = "the replay rate must be 0 (as fast as possible) or a positive factor";
        return false;
    }
    Scanner scanner(summary_);
    capture::ReadReport report;
    if (!capture::ReadCaptureFile(config_.path, FormatOf(config_), scanner, capture::ReassemblyLimits(), report,
                                  error))
        return false;
    summary_.format = report.format;
    if (summary_.packets.Packets() == 0) {
        error = config_.path + ": no VITA 49 packet in it (" + report.format + ", " +
                std::to_string(summary_.unusableBytes) + " bytes that are no packet" +
                (summary_.firstProblems.empty() ? std::string() : "; " + summary_.firstProblems.front()) + ")";
        return false;
    }
    return true;
}

CaptureReplay::PassEnd CaptureReplay::Pass(std::uint32_t setUpStreamId, ReplayOutput& out,
                                           const std::atomic<bool>& stop, ReplayCounts& sent,
                                           std::string& error) const {
    Sender::Rewrite rewrite;
    rewrite.on = config_.rewrite != StreamIdRewrite::kKeep && summary_.hasMainStream;
    rewrite.from = summary_.mainStreamId;
    rewrite.to = config_.rewrite == StreamIdRewrite::kFixed ? config_.streamId : setUpStreamId;
    Sender sender(config_.rate, rewrite, out, stop, sent);
    capture::ReadReport report;
    if (!capture::ReadCaptureFile(config_.path, FormatOf(config_), sender, capture::ReassemblyLimits(), report,
                                  error))
        return PassEnd::kFailed;
    return sender.WantsMore() ? PassEnd::kFinished : PassEnd::kInterrupted;
}

} // namespace vita49::sim
