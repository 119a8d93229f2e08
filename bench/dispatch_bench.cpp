// The cutting unit on a prepared stream, without a socket. Each receive fills the free space
// of the receive buffer as a byte stream would; the copy into the buffer plays the
// transport's part and is not timed, only the decoder's work on what it received is.
//
// Every benchmark times its baseline and its subject alternately, one pass over the stream
// each per iteration, so that both see the same machine: on a shared machine the rates drift
// from second to second, their ratio much less. Counters, from the median pass of each: the
// subject's rate (GB_per_s, pkt_per_s), the baseline's (base_GB_per_s) and `ratio` =
// subject rate / baseline rate.
// Baselines: memcpy of the same bytes in receive-sized pieces, and one plain write() per
// payload into a file on tmpfs.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "BenchStream.h"
#include "receiver/StreamDecoder.h"
#include "vita49/PacketLayout.h"

namespace {

using vita49::Framing;
using vita49::StreamDecoder;
using vita49::bench::kPayloadBytes;
using vita49::bench::Stream;
using Clock = std::chrono::steady_clock;

const Stream& TheStream() {
    static const Stream stream = vita49::bench::MakeStream(16);
    return stream;
}

std::string TmpfsPath(const char* what) {
    return "/dev/shm/vita49-bench-" + std::to_string(::getpid()) + "-" + what;
}

double Seconds(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

// One pass over the stream; returns the seconds timed. A pass that went wrong says why.
using Pass = std::function<double()>;

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

void SideBySide(benchmark::State& state, const Pass& baseline, const Pass& subject,
                const std::function<std::string()>& check = nullptr) {
    const Stream& s = TheStream();
    baseline();
    subject(); // the first pass sets up records, trace list, spectrum buffer and caches
    std::vector<double> baseTimes, times;
    for (auto _ : state) {
        baseTimes.push_back(baseline());
        times.push_back(subject());
        state.SetIterationTime(times.back());
    }
    if (check) {
        const std::string why = check();
        if (!why.empty()) state.SkipWithError(why.c_str());
    }
    // Rates from the median pass: a pass during which the thread lost its core to another
    // process says nothing about either side.
    const double seconds = Median(times), baseSeconds = Median(baseTimes);
    const double bytes = static_cast<double>(s.bytes.size());
    state.counters["pkt_per_s"] = static_cast<double>(s.Packets()) / seconds;
    state.counters["GB_per_s"] = bytes / seconds / 1e9;
    state.counters["base_GB_per_s"] = bytes / baseSeconds / 1e9;
    state.counters["ratio"] = baseSeconds / seconds;
}

// --- Baselines -------------------------------------------------------------------------------

// memcpy of the stream in the same receive-sized pieces into a receive-sized buffer.
double MemcpyPass() {
    const Stream& s = TheStream();
    alignas(64) static std::uint8_t buffer[StreamDecoder::kBufferBytes];
    const auto start = Clock::now();
    for (std::size_t pos = 0; pos < s.bytes.size(); pos += sizeof buffer) {
        std::memcpy(buffer, s.bytes.data() + pos, std::min(sizeof buffer, s.bytes.size() - pos));
        benchmark::ClobberMemory();
    }
    return Seconds(start, Clock::now());
}

// One plain write() per payload; the file is emptied before each pass, untimed.
class WritePerPayload {
public:
    WritePerPayload() : path_(TmpfsPath("write.iq")) {
        fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    }
    ~WritePerPayload() {
        if (fd_ >= 0) ::close(fd_);
        ::unlink(path_.c_str());
    }
    double Pass() {
        const Stream& s = TheStream();
        if (fd_ < 0 || ::ftruncate(fd_, 0) != 0 || ::lseek(fd_, 0, SEEK_SET) != 0) ok_ = false;
        const auto start = Clock::now();
        for (std::size_t at : s.payloadStarts)
            if (::write(fd_, s.bytes.data() + at, kPayloadBytes) != static_cast<ssize_t>(kPayloadBytes)) ok_ = false;
        return Seconds(start, Clock::now());
    }
    bool Ok() const { return ok_; }

private:
    std::string path_;
    int fd_ = -1;
    bool ok_ = true;
};

// --- The decoder -----------------------------------------------------------------------------

struct Counts {
    std::uint64_t data = 0, context = 0, fftData = 0, fftContext = 0, info = 0;
};

class Decoder {
public:
    explicit Decoder(const Vita49_Receiver_Settings& settings, bool wholePackets = false,
                     const std::string& sigmfBase = std::string())
        : decoder_(std::make_unique<StreamDecoder>()), whole_(wholePackets) {
        decoder_->Configure(vita49::bench::kStreamId, settings, Framing::ByteStream);
        decoder_->SetSigMFBase(sigmfBase);
        decoder_->ResetRecords();
        decoder_->StartRun();
        auto& cb = decoder_->callbacks;
        cb.info = [this](const Vita49_Info&) { ++counts_.info; };
        cb.data = [this](const Vita49_Info&, const Vita49_Context&, const Vita49_Data&) { ++counts_.data; };
        cb.context = [this](const Vita49_Info&, const Vita49_Context&) { ++counts_.context; };
        cb.fftData = [this](const Vita49_Info&, const Vita49_FFTContext&, const Vita49_FFTData&, float*) {
            ++counts_.fftData;
        };
        cb.fftContext = [this](const Vita49_Info&, const Vita49_FFTContext&) { ++counts_.fftContext; };
        decoder_->OpenRecordings();
    }
    ~Decoder() { decoder_->CloseRecordings(); }

    // Recording files are truncated before every pass, untimed, to keep them at one pass.
    void ReopenRecordingsEachPass() { reopen_ = true; }

    // One pass over the stream. Each receive fills the free space, as a byte stream does,
    // and the copy into the buffer is left out of the timing receive by receive. With
    // `whole_` each receive ends at a packet end instead, as datagrams do.
    double Pass() {
        if (reopen_) {
            decoder_->CloseRecordings();
            decoder_->OpenRecordings();
        }
        const double seconds = whole_ ? WholePacketPass() : StreamPass();
        ++passes_;
        return seconds;
    }

    // Everything arrived, nothing was dropped or lost, every callback ran once per packet.
    // Everything arrived, nothing was dropped or lost, every callback ran once per packet.
    std::string Check() const {
        const Stream& s = TheStream();
        const Vita49_Info& info = decoder_->Info();
        if (counts_.info != 0 || info.dataErrors != 0 || info.contextErrors != 0) return "packets dropped or lost";
        if (counts_.data != passes_ * s.dataPackets ||
            counts_.context + counts_.fftContext + counts_.fftData != passes_ * s.otherPackets)
            return "callback count differs from the packets fed";
        if (decoder_->HeldBytes() != 0) return "bytes left held at the end of the stream";
        return {};
    }

private:
    double StreamPass() {
        const Stream& s = TheStream();
        double seconds = 0;
        for (std::size_t pos = 0; pos < s.bytes.size();) {
            const auto n =
                static_cast<std::uint32_t>(std::min<std::size_t>(decoder_->FreeBytes(), s.bytes.size() - pos));
            std::memcpy(decoder_->FreeSpace(), s.bytes.data() + pos, n);
            const auto start = Clock::now();
            decoder_->Commit(n);
            seconds += Seconds(start, Clock::now());
            pos += n;
        }
        return seconds;
    }

    // Most receives of whole packets hold data packets only, at the same places as in the
    // receive before, and differ from it only in the packet counts: those few bytes are
    // written into the buffer within the timing (at the decoder's expense), and the clock
    // is read only around the full copies that the other receives need. A byte stream can't
    // be fed this way: its receives start wherever the held tail ends.
    double WholePacketPass() {
        const std::vector<Receive>& receives = WholePacketReceives();
        const std::uint8_t* bytes = TheStream().bytes.data();
        std::uint8_t* buffer = decoder_->FreeSpace();
        double seconds = 0;
        auto start = Clock::now();
        for (const Receive& r : receives) {
            const auto n = static_cast<std::uint32_t>(r.end - r.begin);
            if (r.full) {
                seconds += Seconds(start, Clock::now());
                std::memcpy(buffer, bytes + r.begin, n);
                start = Clock::now();
            } else {
                for (std::uint32_t at : r.differing) buffer[at] = bytes[r.begin + at];
            }
            decoder_->Commit(n);
        }
        return seconds + Seconds(start, Clock::now());
    }

    struct Receive {
        std::size_t begin = 0, end = 0;
        bool full = true;                   // copied whole, outside the timing
        std::vector<std::uint32_t> differing; // else: the bytes that differ from the receive before
    };

    static const std::vector<Receive>& WholePacketReceives() {
        static const std::vector<Receive> receives = [] {
            const Stream& s = TheStream();
            std::vector<Receive> out;
            for (std::size_t next = 0; next < s.Packets();) {
                Receive r;
                r.begin = s.packetStarts[next];
                std::size_t last = next;
                while (last + 1 < s.Packets() && s.PacketEnd(last + 1) - r.begin <= StreamDecoder::kBufferBytes)
                    ++last;
                r.end = s.PacketEnd(last);
                next = last + 1;
                if (!out.empty() && out.back().end - out.back().begin == r.end - r.begin) {
                    for (std::uint32_t at = 0; at < r.end - r.begin; ++at)
                        if (s.bytes[r.begin + at] != s.bytes[out.back().begin + at]) r.differing.push_back(at);
                    r.full = r.differing.size() > 64;
                    if (r.full) r.differing.clear();
                }
                out.push_back(std::move(r));
            }
            return out;
        }();
        return receives;
    }

    std::unique_ptr<StreamDecoder> decoder_;
    bool whole_;
    bool reopen_ = false;
    Counts counts_;
    std::uint64_t passes_ = 0;
};

Vita49_Receiver_Settings Settings() {
    Vita49_Receiver_Settings s;
    std::memset(&s, 0, sizeof s);
    return s;
}

void AgainstMemcpy(benchmark::State& state, const Vita49_Receiver_Settings& settings, bool whole) {
    Decoder d(settings, whole);
    SideBySide(state, MemcpyPass, [&] { return d.Pass(); }, [&] { return d.Check(); });
}

// (a) Samples left in wire order: only headers, prologues and trailers are read.
void BM_Dispatch_NoConversion(benchmark::State& state) { AgainstMemcpy(state, Settings(), false); }

// As (a), with every receive ending at a packet end, as with datagrams: the decoder touches
// headers and trailers only, with no tail left to move.
void BM_Dispatch_NoConversionWholePackets(benchmark::State& state) { AgainstMemcpy(state, Settings(), true); }

// (b) Samples brought to little-endian for the callback, in place.
void BM_Dispatch_ToLittleEndian(benchmark::State& state) {
    Vita49_Receiver_Settings s = Settings();
    s.convertDataByteOrder = 1;
    s.dataBigEndian = 0;
    AgainstMemcpy(state, s, false);
}

// (c) Raw recording on tmpfs: little-endian (swap, then one write per payload) or in wire
// order (write only), against one plain write per payload.
void RawRecording(benchmark::State& state, std::uint8_t bigEndian) {
    const std::string path = TmpfsPath("raw.iq");
    Vita49_Receiver_Settings s = Settings();
    s.rawFileBigEndian = bigEndian;
    std::snprintf(s.rawFilePath, sizeof s.rawFilePath, "%s", path.c_str());
    {
        WritePerPayload plain;
        Decoder d(s);
        d.ReopenRecordingsEachPass();
        SideBySide(state, [&] { return plain.Pass(); }, [&] { return d.Pass(); },
                   [&] { return plain.Ok() ? d.Check() : std::string("plain write failed"); });
    }
    struct stat st {};
    const bool written = ::stat(path.c_str(), &st) == 0 &&
                         static_cast<std::size_t>(st.st_size) == TheStream().dataPackets * kPayloadBytes;
    ::unlink(path.c_str());
    if (!written) state.SkipWithError("raw file does not hold one pass of payloads");
}
void BM_Dispatch_RawRecording(benchmark::State& state) { RawRecording(state, 0); }
void BM_Dispatch_RawRecordingWireOrder(benchmark::State& state) { RawRecording(state, 1); }

// (d) SigMF recording against the raw recording of the same samples (little-endian both).
void BM_Dispatch_SigMFRecording(benchmark::State& state) {
    const std::string raw = TmpfsPath("raw-side.iq");
    const std::string base = TmpfsPath("sigmf");
    Vita49_Receiver_Settings rawSettings = Settings();
    std::snprintf(rawSettings.rawFilePath, sizeof rawSettings.rawFilePath, "%s", raw.c_str());
    {
        Decoder rawSide(rawSettings);
        Decoder sigmf(Settings(), false, base);
        rawSide.ReopenRecordingsEachPass();
        sigmf.ReopenRecordingsEachPass();
        SideBySide(state, [&] { return rawSide.Pass(); }, [&] { return sigmf.Pass(); },
                   [&] { return rawSide.Check().empty() ? sigmf.Check() : rawSide.Check(); });
    }
    struct stat st {};
    const bool written = ::stat((base + ".sigmf-data").c_str(), &st) == 0 &&
                         static_cast<std::size_t>(st.st_size) == TheStream().dataPackets * kPayloadBytes;
    for (const std::string& path : {raw, base + ".sigmf-data", base + ".sigmf-meta"}) ::unlink(path.c_str());
    if (!written) state.SkipWithError("SigMF data file does not hold one pass of samples");
}

// The cutting loop reduced to its bare bones, to show what moving the held bytes costs:
// `literal` moves the bytes that follow every handled packet to the buffer start, as a
// plain reading of the removal rule does; otherwise packets are taken at a moving offset and
// only the incomplete tail moves, once per receive.
double BareCutPass(bool literal, std::uint64_t& packets) {
    const Stream& s = TheStream();
    alignas(64) static std::uint8_t buffer[StreamDecoder::kBufferBytes];
    double seconds = 0;
    std::uint32_t held = 0;
    for (std::size_t pos = 0; pos < s.bytes.size();) {
        const auto n = static_cast<std::uint32_t>(std::min<std::size_t>(sizeof buffer - held, s.bytes.size() - pos));
        std::memcpy(buffer + held, s.bytes.data() + pos, n);
        pos += n;
        held += n;
        const auto start = Clock::now();
        std::uint32_t at = 0;
        for (;;) {
            if (held - at < 20) break;
            const std::uint32_t length = vita49::HeaderPacketBytes(buffer + at);
            if (length == 0 || length > held - at) break;
            ++packets;
            benchmark::DoNotOptimize(buffer[at + 4]);
            if (literal) {
                std::memmove(buffer, buffer + length, held - length);
                held -= length;
            } else {
                at += length;
            }
        }
        if (at > 0) {
            std::memmove(buffer, buffer + at, held - at);
            held -= at;
        }
        seconds += Seconds(start, Clock::now());
    }
    return seconds;
}

void RemovalRule(benchmark::State& state, bool literal) {
    std::uint64_t packets = 0, passes = 0;
    SideBySide(
        state, MemcpyPass,
        [&] {
            ++passes;
            return BareCutPass(literal, packets);
        },
        [&] { return packets == passes * TheStream().Packets() ? std::string() : std::string("packets missed"); });
}
void BM_RemovalRule_Literal(benchmark::State& state) { RemovalRule(state, true); }
void BM_RemovalRule_MovingOffset(benchmark::State& state) { RemovalRule(state, false); }

} // namespace

// Fixed pass counts: enough passes for a steady median, a second or two each.
BENCHMARK(BM_Dispatch_NoConversion)->UseManualTime()->Iterations(400)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Dispatch_NoConversionWholePackets)->UseManualTime()->Iterations(400)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Dispatch_ToLittleEndian)->UseManualTime()->Iterations(400)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Dispatch_RawRecording)->UseManualTime()->Iterations(40)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Dispatch_RawRecordingWireOrder)->UseManualTime()->Iterations(40)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Dispatch_SigMFRecording)->UseManualTime()->Iterations(40)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RemovalRule_Literal)->UseManualTime()->Iterations(400)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RemovalRule_MovingOffset)->UseManualTime()->Iterations(400)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
