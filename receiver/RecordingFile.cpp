#include "receiver/RecordingFile.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace vita49 {
namespace {

std::int16_t LoadLe16(const std::uint8_t* p) { return static_cast<std::int16_t>(p[0] | (p[1] << 8)); }

std::int32_t LoadLe32(const std::uint8_t* p) {
    return static_cast<std::int32_t>(std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
                                     (std::uint32_t{p[3]} << 24));
}

// A pipe is looked at again this often, so that a stop request is seen in time.
constexpr std::int32_t kWaitSliceMs = 50;

} // namespace

bool RecordingFile::Open(const std::string& path) {
    Close();
    failed_ = false;
    appended_ = lostBytes_ = lostBlocks_ = 0;
    used_ = 0;
    bufferedBlocks_ = 0;
    error_.clear();
    last_.clear();
    std::string reason;
    handle_ = net::OpenOutputFile(path.c_str(), pipe_, reason);
    if (handle_ == net::kInvalidFile) return Fail("cannot open", reason);
    return true;
}

bool RecordingFile::Fail(const std::string& what, const std::string& reason) {
    last_ = reason.empty() ? what : what + ": " + reason;
    if (!failed_) {
        failed_ = true;
        error_ = last_;
    }
    return false;
}

void RecordingFile::SetBuffer(std::size_t bytes) {
    Flush();
    if (bytes > capacity_) buffer_.reset(new std::uint8_t[bytes]);
    capacity_ = bytes == 0 ? 0 : std::max(bytes, capacity_);
    if (bytes == 0) buffer_.reset();
}

void RecordingFile::LoseUnwritten(std::size_t bytes, std::uint64_t blocks) {
    lostBytes_ += bytes;
    lostBlocks_ += blocks;
}

bool RecordingFile::Append(const void* bytes, std::size_t count) {
    if (!IsOpen() || failed_) return false;
    const auto* p = static_cast<const std::uint8_t*>(bytes);
    if (capacity_ != 0 && used_ + count > capacity_ && !Flush()) {
        LoseUnwritten(count, 1);
        return false;
    }
    if (capacity_ != 0 && count < capacity_) {
        std::memcpy(buffer_.get() + used_, p, count);
        used_ += count;
        ++bufferedBlocks_;
        return true;
    }
    const std::uint64_t before = appended_;
    if (WriteAll(p, count)) return true;
    LoseUnwritten(count - static_cast<std::size_t>(appended_ - before), 1);
    return false;
}

bool RecordingFile::Flush() {
    if (used_ == 0 || failed_) return !failed_;
    const std::uint64_t before = appended_;
    const bool ok = WriteAll(buffer_.get(), used_);
    if (!ok) LoseUnwritten(used_ - static_cast<std::size_t>(appended_ - before), bufferedBlocks_);
    used_ = 0;
    bufferedBlocks_ = 0;
    return ok;
}

bool RecordingFile::WriteAll(const std::uint8_t* p, std::size_t count) {
    auto lastProgress = std::chrono::steady_clock::now();
    while (count > 0) {
        bool wouldBlock = false;
        std::string reason;
        const long n = net::WriteFileSome(handle_, p, count, pipe_, wouldBlock, reason);
        if (n < 0) return Fail("write failed", reason);
        if (n > 0) {
            p += n;
            count -= static_cast<std::size_t>(n);
            appended_ += static_cast<std::uint64_t>(n);
            lastProgress = std::chrono::steady_clock::now();
            continue;
        }
        if (!wouldBlock) return Fail("write failed", "the file took no byte");
        if (stop_ != nullptr && stop_->load(std::memory_order_acquire))
            return Fail("write abandoned", "the reading end took nothing until the recording was closed");
        const auto waited = std::chrono::steady_clock::now() - lastProgress;
        if (stallLimitMs_ >= 0 && waited >= std::chrono::milliseconds(stallLimitMs_))
            return Fail("write abandoned", "the reading end took nothing for " + std::to_string(stallLimitMs_) + " ms");
        net::WaitFileWritable(handle_, kWaitSliceMs);
    }
    return true;
}

bool RecordingFile::WriteAt(std::uint64_t offset, const void* bytes, std::size_t count) {
    if (!IsOpen()) return false;
    Flush();
    std::string reason;
    if (pipe_) return Fail("cannot rewrite the header", "a pipe cannot go back");
    if (!net::WriteFileAt(handle_, offset, bytes, count, reason)) return Fail("cannot rewrite the header", reason);
    return true;
}

bool RecordingFile::Truncate(std::uint64_t size) {
    if (!IsOpen() || pipe_) return false;
    Flush();
    std::string reason;
    if (!net::TruncateFile(handle_, size, reason)) return Fail("cannot cut the file back", reason);
    appended_ = std::min(appended_, size);
    return true;
}

bool RecordingFile::Close() {
    if (!IsOpen()) return true;
    const bool flushed = Flush();
    std::string reason;
    const bool closed = net::CloseFile(handle_, reason);
    handle_ = net::kInvalidFile;
    return (closed || Fail("close failed", reason)) && flushed;
}

bool AppendConverted(RecordingFile& file, const std::uint8_t* input, std::uint32_t bytes, Conversion c,
                     float* scratch, std::uint32_t scratchCount) {
    if (c == Conversion::None) return file.Append(input, bytes);
    const std::uint32_t itemBytes = c == Conversion::FloatFrom16 ? 2 : 4;
    const std::uint32_t items = bytes / itemBytes;
    for (std::uint32_t done = 0; done < items;) {
        const std::uint32_t n = std::min(items - done, scratchCount);
        const std::uint8_t* p = input + std::size_t{done} * itemBytes;
        if (c == Conversion::FloatFrom16) {
            for (std::uint32_t i = 0; i < n; ++i) scratch[i] = static_cast<float>(LoadLe16(p + 2 * i) / 32767.0);
        } else {
            for (std::uint32_t i = 0; i < n; ++i)
                scratch[i] = static_cast<float>(LoadLe32(p + 4 * i) * (1.0 / 2147483648.0));
        }
        if (!file.Append(scratch, 4 * std::size_t{n})) return false;
        done += n;
    }
    return true;
}

} // namespace vita49
