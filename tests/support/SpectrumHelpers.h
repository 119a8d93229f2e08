#pragma once

// Helpers for the spectrum and recording tests: packets (headers by HandPacket, payloads by
// the simulator's encoder), a StreamDecoder fed directly with a callback recorder, temporary
// files and a plain reader of the WAV header.

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "receiver/StreamDecoder.h"
#include "sim/PacketWriter.h"
#include "support/HandPacket.h"
#include "vita49/Vita49Types.h"

namespace vita49::spectest {

// --- Packets --------------------------------------------------------------------------------

using test::Header;

inline std::vector<std::uint8_t> Packet(const sim::PacketHeader& h, const std::vector<std::uint8_t>& payload) {
    return test::BuildPacket(h, payload).bytes;
}

// Extension data packet with one trace, values little-endian as the instrument sends them.
inline std::vector<std::uint8_t> ExtDataPacket(std::uint32_t streamId, std::uint8_t count, std::uint16_t traceId,
                                               const std::vector<float>& values) {
    return Packet(Header(3, streamId, count), sim::SpectrumDataPayload(traceId, values.data(), values.size()));
}

// Extension data packet whose header words are written as given (N and the identifier word
// need not match the bytes that follow); `valueBytes` bytes of `fill` follow the header.
inline std::vector<std::uint8_t> ExtDataPacketRaw(std::uint32_t streamId, std::uint8_t count, std::uint32_t n,
                                                  std::uint32_t idWord, std::size_t valueBytes,
                                                  std::uint8_t fill = 0x5A) {
    std::vector<std::uint8_t> payload(12 + valueBytes, fill);
    const std::uint32_t words[3] = {0, n, idWord};
    for (int w = 0; w < 3; ++w)
        for (int b = 0; b < 4; ++b) payload[4 * w + b] = static_cast<std::uint8_t>(words[w] >> (24 - 8 * b));
    return Packet(Header(3, streamId, count), payload);
}

inline std::vector<std::uint8_t> ExtContextPacket(std::uint32_t streamId, std::uint8_t count, double p1, double p2,
                                                  double p3, std::uint32_t p4) {
    return Packet(Header(5, streamId, count), sim::SpectrumContextPayload(p1, p2, p3, p4));
}

// IF context packet with an optional sample rate and payload format.
inline std::vector<std::uint8_t> IfContextPacket(std::uint32_t streamId, std::uint8_t count, bool hasRate,
                                                 double rateHz, bool hasFormat, std::uint8_t itemBits) {
    sim::ContextValues v;
    v.hasSampleRate = hasRate;
    v.sampleRateHz = rateHz;
    v.hasPayloadFormat = hasFormat;
    v.itemBits = itemBits;
    return Packet(Header(4, streamId, count), sim::ContextSection(v));
}

inline std::vector<std::uint8_t> IfDataPacket(std::uint32_t streamId, std::uint8_t count,
                                              const std::vector<std::uint8_t>& payload, bool trailer = false) {
    sim::PacketHeader h = Header(1, streamId, count);
    h.trailer = trailer;
    h.trailerWord = sim::MakeTrailer(sim::TrailerBits{});
    return Packet(h, payload);
}

// Items big-endian, as on the wire.
inline std::vector<std::uint8_t> WireItems16(const std::vector<std::int16_t>& items) {
    std::vector<std::uint8_t> out;
    for (std::int16_t v : items) {
        const auto u = static_cast<std::uint16_t>(v);
        out.push_back(static_cast<std::uint8_t>(u >> 8));
        out.push_back(static_cast<std::uint8_t>(u));
    }
    return out;
}

inline std::vector<std::uint8_t> WireItems32(const std::vector<std::int32_t>& items) {
    std::vector<std::uint8_t> out;
    for (std::int32_t v : items) {
        const auto u = static_cast<std::uint32_t>(v);
        for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<std::uint8_t>(u >> s));
    }
    return out;
}

// Reverses the bytes of every `itemBytes`-byte item.
inline std::vector<std::uint8_t> SwapItems(std::vector<std::uint8_t> bytes, std::size_t itemBytes) {
    for (std::size_t i = 0; i + itemBytes <= bytes.size(); i += itemBytes)
        std::reverse(bytes.begin() + static_cast<std::ptrdiff_t>(i),
                     bytes.begin() + static_cast<std::ptrdiff_t>(i + itemBytes));
    return bytes;
}

inline std::uint32_t ReadLe32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
           (std::uint32_t{p[3]} << 24);
}

inline std::uint16_t ReadLe16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }

inline std::vector<float> LittleEndianFloats(const std::uint8_t* p, std::size_t count) {
    std::vector<float> out(count);
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint32_t bits = ReadLe32(p + 4 * i);
        std::memcpy(&out[i], &bits, 4);
    }
    return out;
}

// --- Settings -------------------------------------------------------------------------------

inline Vita49_Receiver_Settings RecordingSettings(const std::string& rawPath, const std::string& wavPath,
                                                  std::uint8_t rawFileBigEndian, std::uint8_t wavIntegerSamples) {
    Vita49_Receiver_Settings s{};
    s.rawFileBigEndian = rawFileBigEndian;
    s.wavIntegerSamples = wavIntegerSamples;
    std::strncpy(s.rawFilePath, rawPath.c_str(), sizeof s.rawFilePath - 1);
    std::strncpy(s.wavFilePath, wavPath.c_str(), sizeof s.wavFilePath - 1);
    return s;
}

// --- Files ----------------------------------------------------------------------------------

// A fresh directory under the system's temporary directory, removed with its contents.
class TempDir {
public:
    TempDir() {
        // create_directory succeeds only for a name nobody holds yet.
        std::mt19937_64 rng(std::random_device{}());
        std::error_code ec;
        const auto base = std::filesystem::temp_directory_path(ec);
        for (int attempt = 0; attempt < 100 && path_.empty() && !ec; ++attempt) {
            const auto candidate = base / ("vita49-rec-" + std::to_string(rng()));
            if (std::filesystem::create_directory(candidate, ec)) path_ = candidate.string();
        }
    }
    ~TempDir() {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    bool Valid() const { return !path_.empty(); }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

inline std::vector<std::uint8_t> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The 44-byte header as written by the receiver, field by field.
struct WavHeader {
    bool valid = false; // 44 bytes present with the three chunk tags
    std::uint32_t riffSize = 0;
    std::uint32_t fmtSize = 0;
    std::uint16_t formatTag = 0;
    std::uint16_t channels = 0;
    std::uint32_t sampleRate = 0;
    std::uint32_t byteRate = 0;
    std::uint16_t blockAlign = 0;
    std::uint16_t bitsPerItem = 0;
    std::uint32_t dataSize = 0;
};

inline WavHeader ParseWav(const std::vector<std::uint8_t>& f) {
    WavHeader h;
    if (f.size() < 44) return h;
    h.valid = std::memcmp(f.data(), "RIFF", 4) == 0 && std::memcmp(f.data() + 8, "WAVE", 4) == 0 &&
              std::memcmp(f.data() + 12, "fmt ", 4) == 0 && std::memcmp(f.data() + 36, "data", 4) == 0;
    h.riffSize = ReadLe32(&f[4]);
    h.fmtSize = ReadLe32(&f[16]);
    h.formatTag = ReadLe16(&f[20]);
    h.channels = ReadLe16(&f[22]);
    h.sampleRate = ReadLe32(&f[24]);
    h.byteRate = ReadLe32(&f[28]);
    h.blockAlign = ReadLe16(&f[32]);
    h.bitsPerItem = ReadLe16(&f[34]);
    h.dataSize = ReadLe32(&f[40]);
    return h;
}

// --- Feeding a decoder ----------------------------------------------------------------------

// One spectrum data callback, with a copy of what the buffer held during the call.
struct SpectrumCall {
    Vita49_Info info;
    Vita49_FFTContext context;
    Vita49_FFTData data;
    const float* buffer = nullptr;
    std::vector<float> values; // payloadSize / 4 values of the buffer (when non-null)
};

// A StreamDecoder fed datagram by datagram (each Feed is one UDP datagram) that records
// every callback. The decoder is large, so it lives on the heap.
class DecoderHarness {
public:
    explicit DecoderHarness(std::uint32_t streamId, const Vita49_Receiver_Settings& settings = {})
        : decoder_(std::make_unique<StreamDecoder>()), streamId_(streamId), settings_(settings) {
        ReceiverCallbacks& cb = decoder_->callbacks;
        cb.info = [this](const Vita49_Info&) { ++infoCalls; };
        cb.context = [this](const Vita49_Info&, const Vita49_Context& c) {
            ++contextCalls;
            // The WAV format is fixed before the callback sees the packet.
            formatFixedAtContextCallback.push_back(decoder_->Wav().FormatFixed());
            (void)c;
        };
        cb.data = [this](const Vita49_Info&, const Vita49_Context&, const Vita49_Data& d) {
            const std::uint8_t* p = d.packet + d.payloadOffset;
            dataSamples.emplace_back(p, p + d.payloadSize);
        };
        cb.fftContext = [this](const Vita49_Info& info, const Vita49_FFTContext& c) {
            fftContextCalls.push_back({info, c});
        };
        cb.fftData = [this](const Vita49_Info& info, const Vita49_FFTContext& c, const Vita49_FFTData& d, float* buf) {
            SpectrumCall call;
            call.info = info;
            call.context = c;
            call.data = d;
            call.buffer = buf;
            if (buf != nullptr) call.values.assign(buf, buf + d.payloadSize / 4);
            fftDataCalls.push_back(std::move(call));
        };
    }

    // What Open does to the decoder.
    void Open() {
        decoder_->Configure(streamId_, settings_, Framing::Datagram);
        decoder_->OpenRecordings();
        decoder_->ResetRecords();
        decoder_->StartRun();
    }
    void Close() { decoder_->CloseRecordings(); }
    void Feed(const std::vector<std::uint8_t>& datagram) { decoder_->Deliver(datagram.data(), datagram.size()); }

    StreamDecoder& Decoder() { return *decoder_; }
    const SpectrumCall& LastSpectrum() const { return fftDataCalls.back(); }

    struct ContextCall {
        Vita49_Info info;
        Vita49_FFTContext context;
    };
    int infoCalls = 0;
    int contextCalls = 0;
    std::vector<bool> formatFixedAtContextCallback;
    std::vector<std::vector<std::uint8_t>> dataSamples;
    std::vector<ContextCall> fftContextCalls;
    std::vector<SpectrumCall> fftDataCalls;

private:
    std::unique_ptr<StreamDecoder> decoder_;
    std::uint32_t streamId_;
    Vita49_Receiver_Settings settings_;
};

} // namespace vita49::spectest
