#pragma once

// One recording file, written through the platform layer so that nothing waits for ever: a
// pipe without reader is refused when opened, and a pipe whose reader pauses is waited for in
// short slices that a stop request or a stall limit ends. It knows exactly how many appended
// bytes reached the file, and it stops at its first failure, keeping the reason.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "net/Platform.h"

namespace vita49 {

class RecordingFile {
public:
    // A synchronous writer gives up on a pipe that took nothing for this long.
    static constexpr std::int32_t kStallLimitMs = 2000;

    RecordingFile() = default;
    ~RecordingFile() { Close(); }
    RecordingFile(const RecordingFile&) = delete;
    RecordingFile& operator=(const RecordingFile&) = delete;

    // Creates or truncates the file; false with Error() saying why. Never waits.
    bool Open(const std::string& path);
    bool IsOpen() const { return handle_ != net::kInvalidFile; }
    bool IsPipe() const { return pipe_; }

    // Appends all `count` bytes, or as many as the file took before its first failure (then
    // false, and every later call does nothing). A full pipe is waited for until it takes
    // bytes again, `stop` is set, or (stallLimitMs >= 0) it took nothing for that long.
    // With a buffer the bytes may wait in it until Flush (or a full buffer).
    bool Append(const void* bytes, std::size_t count);
    // Gathers appends in a buffer of `bytes` (0: every Append writes at once). A writer
    // thread uses one: far fewer system calls than one per packet. Allocated once.
    void SetBuffer(std::size_t bytes);
    // Writes what the buffer holds; false at a failure.
    bool Flush();
    // Rewrites bytes already in a regular file (a header); no effect on Appended().
    bool WriteAt(std::uint64_t offset, const void* bytes, std::size_t count);
    // Cuts the file to `size` bytes, e.g. back to a whole sample after a partial write.
    bool Truncate(std::uint64_t size);
    // Closes; false when the close reported a failure (the first failure is kept).
    bool Close();

    // Bytes that reached the file through Append (less Truncate).
    std::uint64_t Appended() const { return appended_; }
    // Bytes, and calls' worth of them, handed to Append that never reached the file
    // because it failed (those of calls after the failure are not counted here).
    std::uint64_t LostBytes() const { return lostBytes_; }
    std::uint64_t LostBlocks() const { return lostBlocks_; }
    bool Failed() const { return failed_; }
    // The first failure as "what: reason"; empty when none.
    const std::string& Error() const { return error_; }
    // The latest failure (a header or close after an earlier write failure).
    const std::string& LastError() const { return last_; }

    // Set by the owner of the writing thread: waits on a pipe end when the flag is set.
    void SetStopFlag(const std::atomic<bool>* stop) { stop_ = stop; }
    void SetStallLimitMs(std::int32_t ms) { stallLimitMs_ = ms; }

private:
    bool Fail(const std::string& what, const std::string& reason);
    // Writes `count` bytes to the file itself.
    bool WriteAll(const std::uint8_t* p, std::size_t count);
    // A failure while writing: what was handed over but not written is lost.
    void LoseUnwritten(std::size_t bytes, std::uint64_t blocks);

    net::NativeFile handle_ = net::kInvalidFile;
    bool pipe_ = false;
    bool failed_ = false;
    std::uint64_t appended_ = 0;
    std::uint64_t lostBytes_ = 0, lostBlocks_ = 0;
    std::unique_ptr<std::uint8_t[]> buffer_;
    std::size_t capacity_ = 0, used_ = 0;
    std::uint64_t bufferedBlocks_ = 0;
    std::string error_, last_;
    const std::atomic<bool>* stop_ = nullptr;
    std::int32_t stallLimitMs_ = kStallLimitMs;
};

// How the writer turns a block of little-endian integer items into file bytes.
enum class Conversion : std::uint8_t { None, FloatFrom16, FloatFrom32 };

// Bytes a block of `bytes` input bytes becomes in the file.
inline std::uint64_t ConvertedBytes(Conversion c, std::uint32_t bytes) {
    return c == Conversion::None ? bytes : c == Conversion::FloatFrom16 ? bytes / 2 * 4ull : bytes / 4 * 4ull;
}

// Appends `bytes` of input to `file`, converted in chunks through `scratch` when asked.
bool AppendConverted(RecordingFile& file, const std::uint8_t* input, std::uint32_t bytes, Conversion c,
                     float* scratch, std::uint32_t scratchCount);

} // namespace vita49
