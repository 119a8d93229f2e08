#pragma once

// Two-channel RIFF/WAVE recording of the IQ samples: I on channel 1, Q on channel 2. The
// header is written as zero placeholders when the file is opened and made true when it is
// finished, from the bytes that really reached the file; the format block comes from the
// first suitable IF context packet.

#include <cstdint>
#include <string>

#include "receiver/RecordingFile.h"
#include "receiver/RecordingSink.h"

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
    // False when the file cannot be created or its placeholder header written; there is
    // then no WAV recording (or one that IsOpen but whose writes fail).
    bool Open(const char* path);
    // Writes 44 zero bytes and notes the chunk positions.
    bool BeginFile();
    // Rewrites the header from the byte count and the format block.
    bool FinishFile();
    // Finishes and closes the file; false when the header could not be written or the close
    // failed. After a failed write the count becomes the whole sample frames in the file.
    bool CloseFile();
    // From now on the samples go through `writer` (which converts floats itself).
    void SendThrough(RecordingWriter* writer, int slot) {
        writer_ = writer;
        slot_ = slot;
    }

    bool IsOpen() const { return file.IsOpen(); }
    bool FormatFixed() const;

    // Fixes the format block from the first context record that carries a non-zero sample
    // rate and a payload format; later records change nothing until the next Open.
    void SetUpFormat(const Vita49_Context& context, bool integerSamples);

    // Appends one packet's samples, already little-endian, of 16- or 32-bit items: as they
    // are for integer files, else converted to 32-bit floats in chunks (through `scratch`
    // when the writer writes itself). A packet the writer's queue had no room for is left
    // out and not counted.
    // A packet that would take the data chunk past maxDataBytes ends the appending for good,
    // so that the file holds an unbroken start of the stream under a true header. An integer
    // file whose format is fixed takes only items of the size its header names.
    void WriteSamples(const std::uint8_t* samples, std::uint32_t bytes, std::uint8_t itemBits, bool integerSamples,
                      float* scratch, std::uint32_t scratchCount);

    RecordingFile file;
    std::uint32_t fmtChunkPos = 0;
    std::uint32_t dataChunkPos = 0;
    std::uint32_t dataChunkBytes = 0;
    std::uint8_t formatBlock[16] = {};
    // The data chunk's limit; lowered by tests to reach it without writing 4 GiB.
    std::uint32_t maxDataBytes = kMaxDataBytes;
    // A packet did not fit under maxDataBytes: no more samples until the next Open.
    bool limitReached = false;
    // The file took fewer sample bytes than it was given (disk full, file gone).
    bool writeFailed = false;

private:
    RecordingWriter* writer_ = nullptr;
    int slot_ = -1;
};

// The WAV recording as a sink: it owns the writer and notes the first failure of its file.
class WavSink : public RecordingSink {
public:
    // Floats converted per chunk by the writer (the chunking a large packet goes through).
    static constexpr std::uint32_t kFloatBufferCount = 20480;

    using RecordingSink::RecordingSink;

    void Open(const RecordingSetup& setup) override;
    bool Active() const override { return writer_.IsOpen(); }
    void OnContext(const Vita49_Context& context) override;
    void OnData(const Vita49_Data& data, const Vita49_Context& context, PayloadSamples* samples) override;
    void Close() override;

    WavWriter& Writer() { return writer_; }

private:
    void Fail(const std::string& what);

    WavWriter writer_;
    std::string path_;
    bool integerSamples_ = false;
    bool failed_ = false;
};

} // namespace vita49
