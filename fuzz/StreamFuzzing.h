#pragma once

// What the two stream fuzz targets share: a decoder configured from the first input byte,
// callbacks that check every record against the bytes it came from, and the log of accepted
// packets that lets two decoders fed the same bytes be compared.

#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/FuzzInput.h"
#include "receiver/StreamDecoder.h"
#include "vita49/PacketLayout.h"

namespace vita49::fuzz {

#ifdef _WIN32
constexpr const char* kNullFile = "NUL";
#else
constexpr const char* kNullFile = "/dev/null";
#endif

// One accepted packet as the callbacks saw it.
struct Accepted {
    std::uint8_t kind;
    std::uint32_t packetsReceived;
    std::uint32_t packetsLost;
    std::uint8_t packetCount;
    std::uint32_t payloadValid;
    std::uint32_t payloadSize;
    std::uint64_t digest; // of the packet's bytes where the record points at them

    bool operator==(const Accepted& o) const {
        return kind == o.kind && packetsReceived == o.packetsReceived && packetsLost == o.packetsLost &&
               packetCount == o.packetCount && payloadValid == o.payloadValid && payloadSize == o.payloadSize &&
               digest == o.digest;
    }
};

inline std::uint64_t Digest(const std::uint8_t* p, std::uint32_t n) {
    std::uint64_t h = 1469598103934665603ull;
    for (std::uint32_t i = 0; i < n; ++i) h = (h ^ p[i]) * 1099511628211ull;
    return h ^ n;
}

// Settings bits of the first input byte: byte orders and recordings into the null device,
// so that the in-place swaps and the sample conversion run on hostile packets too.
inline Vita49_Receiver_Settings SettingsFrom(std::uint8_t flags) {
    Vita49_Receiver_Settings s;
    std::memset(&s, 0, sizeof s);
    s.convertDataByteOrder = flags & 0x01;
    s.dataBigEndian = (flags >> 1) & 0x01;
    s.rawFileBigEndian = (flags >> 6) & 0x01;
    s.wavIntegerSamples = (flags >> 5) & 0x01;
    if (flags & 0x04) std::strcpy(s.rawFilePath, kNullFile);
    if (flags & 0x08) std::strcpy(s.wavFilePath, kNullFile);
    return s;
}

inline std::uint32_t StreamIdFrom(std::uint8_t flags) { return (flags & 0x10) ? 0 : 1; }

class CheckedDecoder {
public:
    // `slot` picks one of two decoders kept for the whole process: a decoder is large, and
    // each input starts it as Open does (records, held bytes and continuity cleared).
    CheckedDecoder(std::uint8_t flags, bool tcp, int slot) : decoder_(Shared(slot)) {
        decoder_->Configure(StreamIdFrom(flags), SettingsFrom(flags), tcp ? Framing::ByteStream : Framing::Datagram);
        decoder_->OpenRecordings();
        decoder_->ResetRecords();
        decoder_->StartRun();
        decoder_->SetDisplayedTrace(1);
        Wire();
    }
    ~CheckedDecoder() {
        decoder_->CloseRecordings();
        decoder_->callbacks = ReceiverCallbacks{};
    }
    CheckedDecoder(const CheckedDecoder&) = delete;
    CheckedDecoder& operator=(const CheckedDecoder&) = delete;

    StreamDecoder& operator*() { return *decoder_; }
    StreamDecoder* operator->() { return decoder_; }
    const std::vector<Accepted>& Log() const { return log_; }
    std::uint64_t InfoCalls() const { return infoCalls_; }

private:
    // The packet a record points at lies wholly within the bytes held right now.
    void CheckHeld(const std::uint8_t* packet) const {
        const std::uint8_t* base = decoder_->FreeSpace() - decoder_->HeldBytes();
        FUZZ_CHECK(packet >= base);
        FUZZ_CHECK(packet + HeaderPacketBytes(packet) <= base + decoder_->HeldBytes());
    }

    void Wire() {
        ReceiverCallbacks& c = decoder_->callbacks;
        c.info = [this](const Vita49_Info& info) {
            FUZZ_CHECK(&info == &decoder_->Info());
            ++infoCalls_;
        };
        c.data = [this](const Vita49_Info&, const Vita49_Context&, const Vita49_Data& d) {
            CheckHeld(d.packet);
            const std::uint32_t length = HeaderPacketBytes(d.packet);
            if (d.payloadValid) FUZZ_CHECK(std::uint64_t{d.payloadOffset} + d.payloadSize <= length);
            else FUZZ_CHECK(d.payloadOffset == 0 && d.payloadSize == 0);
            log_.push_back({1, d.packetsReceived, d.packetsLost, d.packetCount, d.payloadValid, d.payloadSize,
                            Digest(d.packet, length)});
        };
        c.context = [this](const Vita49_Info&, const Vita49_Context& x) {
            if (x.payloadValid) FUZZ_CHECK(x.payloadOffset >= 8);
            log_.push_back({4, x.packetsReceived, x.packetsLost, x.packetCount, x.payloadValid, x.payloadSize,
                            x.streamId});
        };
        c.fftContext = [this](const Vita49_Info&, const Vita49_FFTContext& x) {
            log_.push_back({5, x.packetsReceived, x.packetsLost, x.packetCount, x.payloadValid, x.payloadSize,
                            x.spectrumParam4});
        };
        c.fftData = [this](const Vita49_Info&, const Vita49_FFTContext&, const Vita49_FFTData& d, float* values) {
            CheckHeld(d.packet);
            // The application reads payloadSize / 4 values from the buffer it is handed.
            if (d.payloadSize > 0) {
                FUZZ_CHECK(values != nullptr);
                FUZZ_CHECK(decoder_->Traces().BufferBytes() >= d.payloadSize);
                volatile float sink = 0;
                for (std::uint32_t i = 0; i < d.payloadSize / 4; ++i) sink = sink + values[i];
            }
            log_.push_back({3, d.packetsReceived, d.packetsLost, d.packetCount, d.payloadValid, d.payloadSize,
                            Digest(d.packet, HeaderPacketBytes(d.packet))});
        };
    }

    static StreamDecoder* Shared(int slot) {
        static StreamDecoder* decoders[2] = {new StreamDecoder, new StreamDecoder};
        return decoders[slot & 1];
    }

    StreamDecoder* decoder_;
    std::vector<Accepted> log_;
    std::uint64_t infoCalls_ = 0;
};

// A complete IF data packet of the stream: header, stream identifier and `words` payload words.
inline std::vector<std::uint8_t> CanaryPacket(std::uint32_t streamId, std::uint8_t count, std::uint16_t words) {
    std::vector<std::uint8_t> p(4u * (2u + words), 0xA5);
    const std::uint16_t size = static_cast<std::uint16_t>(2 + words);
    p[0] = 0x10;
    p[1] = count & 0x0F;
    p[2] = static_cast<std::uint8_t>(size >> 8);
    p[3] = static_cast<std::uint8_t>(size);
    p[4] = static_cast<std::uint8_t>(streamId >> 24);
    p[5] = static_cast<std::uint8_t>(streamId >> 16);
    p[6] = static_cast<std::uint8_t>(streamId >> 8);
    p[7] = static_cast<std::uint8_t>(streamId);
    return p;
}

} // namespace vita49::fuzz
