#pragma once

// Where the recordings' bytes go to their files. Synchronous (a decoder: the caller's thread
// writes, at the caller's pace, and nothing is ever dropped), or threaded (a receiver: one
// writer thread per recording set, fed through a bounded queue preallocated once, so that the
// receive thread never waits for a disk or a pipe). When the queue has no room, the block is
// left out of its recording and counted; it never costs a callback.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "receiver/RecordingFile.h"

namespace vita49 {

class RecordingErrors;

class RecordingWriter {
public:
    // The queue: about 40 ms of three recordings of a 0.5 GB/s stream.
    static constexpr std::size_t kQueueBytes = std::size_t{64} << 20;
    static constexpr int kMaxFiles = 4;
    // Close waits this long for the writer to empty the queue; what is left is counted lost.
    // With the writer's last wait on a pipe (50 ms), Close adds at most 2 s.
    static constexpr std::int32_t kDrainLimitMs = 1900;
    // Each file's buffer with a writer thread: a few thousand packets' blocks in one write.
    static constexpr std::size_t kFileBufferBytes = std::size_t{1} << 20;
    // Floats converted per chunk for a WAV file of float samples.
    static constexpr std::uint32_t kScratchFloats = 20480;

    // Every block that does not reach its file is counted (RecordingErrors::NoteLoss), in
    // bytes of the file (a WAV file of floats: its float bytes).
    enum class Outcome {
        Taken,   // written (synchronous) or queued (threaded)
        Dropped, // no room in the queue: left out of the recording
        Failed,  // the file has failed: the recording has stopped
    };

    explicit RecordingWriter(RecordingErrors& errors);
    ~RecordingWriter();
    RecordingWriter(const RecordingWriter&) = delete;
    RecordingWriter& operator=(const RecordingWriter&) = delete;

    // Forgets the files of the previous recording set; the next set is threaded or not.
    void Reset(bool threaded);
    // An open file whose appends go through the writer from now on; `label` names it in
    // messages ("raw file /tmp/x.raw"). -1 when the set is full.
    int Register(RecordingFile& file, const std::string& label);
    // Starts the writer thread (threaded, and at least one file registered).
    void Start();
    // The receive side's append: `bytes` are copied (or written) before this returns.
    Outcome Append(int file, const std::uint8_t* bytes, std::uint32_t count, Conversion conversion = Conversion::None);
    // Empties the queue (at most kDrainLimitMs), counts what is left as lost and joins the
    // thread. The files are then the caller's again, with their exact byte counts.
    void Stop();
    bool Threaded() const { return threaded_; }
    // Bytes of the file that have reached it (a writer thread's count lags a little).
    std::uint64_t Reached(int file) const;

private:
    struct Slot {
        RecordingFile* file = nullptr;
        std::string label;
        // Set by whoever writes the file at its first failure; read by the receive side.
        std::atomic<bool> failed{false};
        // Appended() of the file as last seen by the writing side.
        std::atomic<std::uint64_t> reached{0};
        // The file's own loss counts already passed on to RecordingErrors (writing side).
        std::uint64_t notedBytes = 0, notedBlocks = 0;
    };
    struct BlockHeader {
        std::uint32_t bytes;
        std::uint8_t file;     // kSkip: the rest of the ring is unused
        std::uint8_t conversion;
        std::uint8_t pad[2];
    };
    static constexpr std::uint8_t kSkip = 0xFF;

    bool Write(int file, const std::uint8_t* bytes, std::uint32_t count, Conversion conversion);
    // Passes on what the file lost since the last call; marks it failed at its failure.
    void Settle(int file);
    void FlushAll();
    void Run();
    // Writer thread: waits for the receive side; false once asked to stop with nothing left.
    bool WaitForBlocks();

    RecordingErrors& errors_;
    Slot slots_[kMaxFiles];
    int files_ = 0;
    bool threaded_ = false;
    std::unique_ptr<float[]> scratch_;

    std::unique_ptr<std::uint8_t[]> ring_;
    // Producer position (receive side) and consumer position (writer), in bytes since Start.
    std::atomic<std::uint64_t> head_{0}, tail_{0};
    std::atomic<bool> idle_{false}, draining_{false}, abandon_{false}, done_{false};
    std::mutex mutex_;
    std::condition_variable wake_;
    std::thread thread_;
};

} // namespace vita49
