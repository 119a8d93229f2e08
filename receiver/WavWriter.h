#pragma once

// Two-channel RIFF/WAVE recording of the IQ samples: I on channel 1, Q on channel 2. The
// header is written as zero placeholders when the file is opened and made true when it is
// finished; the format block comes from the first suitable IF context packet.

#include <cstdint>
#include <cstdio>

struct Vita49_Context;

namespace vita49 {

class WavWriter {
public:
    // Samples stop being appended before the data chunk would outgrow the 32-bit sizes.
    static constexpr std::uint32_t kMaxDataBytes = 0xFFFFFFFFu - 36u;

    WavWriter() = default;
    ~WavWriter() { CloseFile(); }
    WavWriter(const WavWriter&) = delete;
    WavWriter& operator=(const WavWriter&) = delete;

    // Clears the state, creates (truncates) the file and writes the placeholder header.
    // Failure is silent: there is then no WAV recording.
    void Open(const char* path);
    // Writes 44 zero bytes and notes the chunk positions.
    bool BeginFile();
    // Rewrites the header from the byte count and the format block.
    bool FinishFile();
    void CloseFile();

    bool IsOpen() const { return file != nullptr; }
    bool FormatFixed() const;

    // Fixes the format block from the first context record that carries a non-zero sample
    // rate and a payload format; later records change nothing until the next Open.
    void SetUpFormat(const Vita49_Context& context, bool integerSamples);

    // Appends one packet's samples, already little-endian, of 16- or 32-bit items: as they
    // are for integer files, else converted to 32-bit floats in chunks through `scratch`.
    // A packet that would take the data chunk past maxDataBytes ends the appending for good,
    // so that the file holds an unbroken start of the stream under a true header. An integer
    // file whose format is fixed takes only items of the size its header names.
    void WriteSamples(const std::uint8_t* samples, std::uint32_t bytes, std::uint8_t itemBits, bool integerSamples,
                      float* scratch, std::uint32_t scratchCount);

    std::FILE* file = nullptr;
    std::uint32_t fmtChunkPos = 0;
    std::uint32_t dataChunkPos = 0;
    std::uint32_t dataChunkBytes = 0;
    std::uint8_t formatBlock[16] = {};
    // The data chunk's limit; lowered by tests to reach it without writing 4 GiB.
    std::uint32_t maxDataBytes = kMaxDataBytes;
    // A packet did not fit under maxDataBytes: no more samples until the next Open.
    bool limitReached = false;

private:
    void Append(const void* bytes, std::uint32_t count);
};

} // namespace vita49
