#include "receiver/WavWriter.h"

#include <algorithm>
#include <cstring>

#include "receiver/RecordingWriter.h"
#include "vita49/ByteOrder.h"
#include "vita49/Vita49Types.h"

namespace vita49 {
namespace {

std::uint16_t LoadLeU16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }

constexpr std::uint32_t kHeaderBytes = 44;

} // namespace

bool WavWriter::Open(const char* path) {
    CloseFile();
    fmtChunkPos = dataChunkPos = dataChunkBytes = 0;
    limitReached = false;
    writeFailed = false;
    writer_ = nullptr;
    slot_ = -1;
    std::memset(formatBlock, 0, sizeof formatBlock);
    return file.Open(path) && BeginFile();
}

bool WavWriter::BeginFile() {
    static const std::uint8_t zeros[kHeaderBytes] = {};
    fmtChunkPos = 12;
    dataChunkPos = 36;
    return file.Append(zeros, sizeof zeros);
}

bool WavWriter::FinishFile() {
    if (!file.IsOpen()) return false;
    std::uint8_t header[kHeaderBytes];
    std::memcpy(header, "RIFF", 4);
    store_le32(header + 4, dataChunkBytes + 36);
    std::memcpy(header + 8, "WAVE", 4);
    std::memcpy(header + fmtChunkPos, "fmt ", 4);
    store_le32(header + fmtChunkPos + 4, 16);
    std::memcpy(header + fmtChunkPos + 8, formatBlock, sizeof formatBlock);
    std::memcpy(header + dataChunkPos, "data", 4);
    store_le32(header + dataChunkPos + 4, dataChunkBytes);
    return file.WriteAt(0, header, sizeof header);
}

bool WavWriter::CloseFile() {
    if (!file.IsOpen()) return true;
    if ((writeFailed || file.Failed()) && !file.IsPipe()) {
        // The header describes the whole sample frames that reached the file, nothing more.
        const std::uint64_t inFile = file.Appended() > kHeaderBytes ? file.Appended() - kHeaderBytes : 0;
        const std::uint16_t align = FormatFixed() ? LoadLeU16(formatBlock + 12) : 0;
        const std::uint64_t frames = align != 0 ? inFile / align * align : inFile / 8 * 8;
        dataChunkBytes = static_cast<std::uint32_t>(std::min<std::uint64_t>(frames, dataChunkBytes));
        if (file.Appended() > kHeaderBytes + std::uint64_t{dataChunkBytes})
            file.Truncate(kHeaderBytes + std::uint64_t{dataChunkBytes});
    }
    const bool finished = FinishFile();
    const bool closed = file.Close();
    return finished && closed;
}

bool WavWriter::FormatFixed() const {
    return formatBlock[4] != 0 || formatBlock[5] != 0 || formatBlock[6] != 0 || formatBlock[7] != 0;
}

void WavWriter::SetUpFormat(const Vita49_Context& context, bool integerSamples) {
    if (!file.IsOpen() || FormatFixed() || !context.sampleRateValid || !context.payloadFormatValid) return;
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

void WavWriter::WriteSamples(const std::uint8_t* samples, std::uint32_t bytes, std::uint8_t itemBits,
                             bool integerSamples, float* scratch, std::uint32_t scratchCount) {
    if (!file.IsOpen() || limitReached || writeFailed || (itemBits != 16 && itemBits != 32)) return;
    if (writer_ == nullptr && !integerSamples && (scratch == nullptr || scratchCount == 0)) return;
    // Items of another size than the header names would be read as garbage.
    if (integerSamples && FormatFixed() && LoadLeU16(formatBlock + 14) != itemBits) return;
    const Conversion conversion =
        integerSamples ? Conversion::None : itemBits == 16 ? Conversion::FloatFrom16 : Conversion::FloatFrom32;
    const std::uint64_t adding = ConvertedBytes(conversion, bytes);
    // Past the limit the 32-bit sizes would wrap and the header would lie.
    if (dataChunkBytes + adding > maxDataBytes) {
        limitReached = true;
        return;
    }
    if (writer_ == nullptr) {
        const std::uint64_t before = file.Appended();
        if (!AppendConverted(file, samples, bytes, conversion, scratch, scratchCount)) writeFailed = true;
        dataChunkBytes += static_cast<std::uint32_t>(file.Appended() - before);
        return;
    }
    switch (writer_->Append(slot_, samples, bytes, conversion)) {
    case RecordingWriter::Outcome::Taken:
        dataChunkBytes += static_cast<std::uint32_t>(adding);
        break;
    case RecordingWriter::Outcome::Dropped:
        break;
    case RecordingWriter::Outcome::Failed:
        writeFailed = true;
        break;
    }
}

void WavSink::Open(const RecordingSetup& setup) {
    const Vita49_Receiver_Settings& s = setup.settings;
    if (s.wavFilePath[0] == '\0' || writer_.IsOpen()) return;
    path_ = SettingText(s.wavFilePath);
    integerSamples_ = s.wavIntegerSamples != 0;
    failed_ = false;
    const bool begun = writer_.Open(path_.c_str());
    if (!writer_.IsOpen()) {
        Fail(writer_.file.Error());
        return;
    }
    if (!begun) Fail("cannot write the header: " + writer_.file.Error());
    writer_.SendThrough(&Output(), Output().Register(writer_.file, "WAV file " + path_));
}

void WavSink::OnContext(const Vita49_Context& context) { writer_.SetUpFormat(context, integerSamples_); }

void WavSink::OnData(const Vita49_Data& data, const Vita49_Context& context, PayloadSamples* samples) {
    (void)data;
    (void)context;
    const std::uint8_t bits = samples != nullptr ? samples->ItemBits() : 0;
    if (!writer_.IsOpen() || (bits != 16 && bits != 32)) return;
    const bool limited = writer_.limitReached;
    writer_.WriteSamples(samples->LittleEndian(), samples->Size(), bits, integerSamples_, nullptr, 0);
    if (!limited && writer_.limitReached) Fail("size limit of the format reached, later samples left out");
}

void WavSink::Close() {
    if (!writer_.CloseFile()) Fail(writer_.file.LastError());
}

void WavSink::Fail(const std::string& what) {
    if (failed_) return;
    failed_ = true;
    NoteError("WAV file " + path_ + ": " + what);
}

} // namespace vita49
