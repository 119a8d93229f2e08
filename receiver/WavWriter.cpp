#include "receiver/WavWriter.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "vita49/ByteOrder.h"
#include "vita49/Vita49Types.h"

namespace vita49 {
namespace {

bool WriteAll(std::FILE* f, const void* bytes, std::size_t count) {
    return std::fwrite(bytes, 1, count, f) == count;
}

bool WriteItem(std::FILE* f, const void* bytes, std::size_t count) { return std::fwrite(bytes, count, 1, f) == 1; }

std::uint32_t Tell(std::FILE* f) { return static_cast<std::uint32_t>(std::ftell(f)); }

std::uint16_t LoadLeU16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }

std::int16_t LoadLe16(const std::uint8_t* p) { return static_cast<std::int16_t>(p[0] | (p[1] << 8)); }

std::int32_t LoadLe32(const std::uint8_t* p) {
    return static_cast<std::int32_t>(std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
                                     (std::uint32_t{p[3]} << 24));
}

} // namespace

bool WavWriter::Open(const char* path) {
    CloseFile();
    fmtChunkPos = dataChunkPos = dataChunkBytes = 0;
    limitReached = false;
    writeFailed = false;
    std::memset(formatBlock, 0, sizeof formatBlock);
    file = std::fopen(path, "wb");
    return file != nullptr && BeginFile();
}

bool WavWriter::BeginFile() {
    static const std::uint8_t zeros[16] = {};
    if (!WriteAll(file, zeros, 12)) return false;
    fmtChunkPos = Tell(file);
    if (!WriteAll(file, zeros, 8) || !WriteAll(file, zeros, 16)) return false;
    dataChunkPos = Tell(file);
    return WriteAll(file, zeros, 8);
}

bool WavWriter::FinishFile() {
    if (file == nullptr) return false;
    std::uint8_t riff[12];
    std::memcpy(riff, "RIFF", 4);
    store_le32(riff + 4, dataChunkBytes + 36);
    std::memcpy(riff + 8, "WAVE", 4);
    std::uint8_t fmt[8];
    std::memcpy(fmt, "fmt ", 4);
    store_le32(fmt + 4, 16);
    std::uint8_t data[8];
    std::memcpy(data, "data", 4);
    store_le32(data + 4, dataChunkBytes);
    if (std::fseek(file, 0, SEEK_SET) != 0 || !WriteItem(file, riff, sizeof riff)) return false;
    if (std::fseek(file, static_cast<long>(fmtChunkPos), SEEK_SET) != 0 || !WriteItem(file, fmt, sizeof fmt))
        return false;
    if (!WriteItem(file, formatBlock, sizeof formatBlock)) return false;
    return std::fseek(file, static_cast<long>(dataChunkPos), SEEK_SET) == 0 && WriteItem(file, data, sizeof data);
}

bool WavWriter::CloseFile() {
    if (file == nullptr) return true;
    const bool finished = FinishFile();
    const bool closed = std::fclose(file) == 0;
    file = nullptr;
    return finished && closed;
}

bool WavWriter::FormatFixed() const {
    return formatBlock[4] != 0 || formatBlock[5] != 0 || formatBlock[6] != 0 || formatBlock[7] != 0;
}

void WavWriter::SetUpFormat(const Vita49_Context& context, bool integerSamples) {
    if (file == nullptr || FormatFixed() || !context.sampleRateValid || !context.payloadFormatValid) return;
    // Truncation toward zero; rates beyond 32 bits cannot be written and count as none.
    const double rateHz = context.sampleRateHz;
    if (!(rateHz >= 1.0 && rateHz < 4294967296.0)) return;
    const auto rate = static_cast<std::uint32_t>(rateHz);
    std::uint16_t tag = 3, bits = 32, align = 8;
    if (integerSamples) {
        tag = 1;
        bits = context.dataItemSize;
        align = static_cast<std::uint16_t>((2 * context.dataItemSize) / 8);
    }
    if (align != 1 && align != 2 && align != 4 && align != 8) return;
    const double byteRate = align * rateHz;
    store_le16(formatBlock, tag);
    store_le16(formatBlock + 2, 2);
    store_le32(formatBlock + 4, rate);
    store_le32(formatBlock + 8, byteRate < 4294967296.0 ? static_cast<std::uint32_t>(byteRate) : 0xFFFFFFFFu);
    store_le16(formatBlock + 12, align);
    store_le16(formatBlock + 14, bits);
}

void WavWriter::Append(const void* bytes, std::uint32_t count) {
    const std::size_t written = std::fwrite(bytes, 1, count, file);
    dataChunkBytes += static_cast<std::uint32_t>(written);
    if (written != count) writeFailed = true;
}

void WavWriter::WriteSamples(const std::uint8_t* samples, std::uint32_t bytes, std::uint8_t itemBits,
                             bool integerSamples, float* scratch, std::uint32_t scratchCount) {
    if (file == nullptr || limitReached || (itemBits != 16 && itemBits != 32)) return;
    if (!integerSamples && (scratch == nullptr || scratchCount == 0)) return;
    // Items of another size than the header names would be read as garbage.
    if (integerSamples && FormatFixed() && LoadLeU16(formatBlock + 14) != itemBits) return;
    const std::uint32_t itemBytes = itemBits / 8u;
    const std::uint32_t items = bytes / itemBytes;
    const std::uint64_t adding = integerSamples ? bytes : 4ull * items;
    // Past the limit the 32-bit sizes would wrap and the header would lie.
    if (dataChunkBytes + adding > maxDataBytes) {
        limitReached = true;
        return;
    }
    if (integerSamples) {
        Append(samples, bytes);
        return;
    }
    for (std::uint32_t done = 0; done < items;) {
        const std::uint32_t n = std::min(items - done, scratchCount);
        const std::uint8_t* p = samples + std::size_t{done} * itemBytes;
        if (itemBits == 16) {
            for (std::uint32_t i = 0; i < n; ++i) scratch[i] = static_cast<float>(LoadLe16(p + 2 * i) / 32767.0);
        } else {
            for (std::uint32_t i = 0; i < n; ++i)
                scratch[i] = static_cast<float>(LoadLe32(p + 4 * i) * (1.0 / 2147483648.0));
        }
        Append(scratch, 4 * n);
        done += n;
    }
}

void WavSink::Open(const RecordingSetup& setup) {
    const Vita49_Receiver_Settings& s = setup.settings;
    if (s.wavFilePath[0] == '\0' || writer_.IsOpen()) return;
    path_ = SettingText(s.wavFilePath);
    integerSamples_ = s.wavIntegerSamples != 0;
    failed_ = false;
    if (!MayOpen(path_, "WAV file")) return;
    errno = 0;
    const bool begun = writer_.Open(path_.c_str());
    if (!writer_.IsOpen())
        Fail(std::string("cannot open") + (errno != 0 ? std::string(": ") + std::strerror(errno) : ""));
    else if (!begun)
        Fail("cannot write the header");
}

void WavSink::OnContext(const Vita49_Context& context) { writer_.SetUpFormat(context, integerSamples_); }

void WavSink::OnData(const Vita49_Data& data, const Vita49_Context& context, PayloadSamples* samples) {
    (void)data;
    (void)context;
    const std::uint8_t bits = samples != nullptr ? samples->ItemBits() : 0;
    if (!writer_.IsOpen() || (bits != 16 && bits != 32)) return;
    const bool limited = writer_.limitReached;
    writer_.WriteSamples(samples->LittleEndian(), samples->Size(), bits, integerSamples_, floatBuffer_,
                         kFloatBufferCount);
    if (writer_.writeFailed) Fail("write failed");
    if (!limited && writer_.limitReached) Fail("size limit of the format reached, later samples left out");
}

void WavSink::Close() {
    if (!writer_.CloseFile()) Fail("cannot finish the header");
}

void WavSink::Fail(const std::string& what) {
    if (failed_) return;
    failed_ = true;
    NoteError("WAV file " + path_ + ": " + what);
}

} // namespace vita49
