#include "receiver/RecordingWriter.h"

#include <chrono>
#include <cstring>

#include "net/Platform.h"
#include "receiver/RecordingSink.h"

namespace vita49 {
namespace {

constexpr std::size_t kAlign = 8;

constexpr std::size_t Padded(std::size_t bytes) { return (bytes + kAlign - 1) / kAlign * kAlign; }

} // namespace

RecordingWriter::RecordingWriter(RecordingErrors& errors)
    : errors_(errors), scratch_(new float[kScratchFloats]) {}

RecordingWriter::~RecordingWriter() { Stop(); }

void RecordingWriter::Reset(bool threaded) {
    Stop();
    for (Slot& s : slots_) {
        s.file = nullptr;
        s.failed.store(false, std::memory_order_relaxed);
        s.notedBytes = s.notedBlocks = 0;
        s.reached.store(0, std::memory_order_relaxed);
    }
    files_ = 0;
    threaded_ = threaded;
}

int RecordingWriter::Register(RecordingFile& file, const std::string& label) {
    if (files_ == kMaxFiles) return -1;
    Slot& s = slots_[files_];
    s.file = &file;
    s.label = label;
    // Synchronous until Start says otherwise: the caller's thread gives up on a stalled pipe.
    file.SetStopFlag(nullptr);
    file.SetStallLimitMs(RecordingFile::kStallLimitMs);
    file.SetBuffer(0);
    errors_.Name(files_, label);
    return files_++;
}

void RecordingWriter::Start() {
    if (!threaded_ || files_ == 0 || thread_.joinable()) return;
    // Allocated once for the receiver's life, on the first recording that needs it.
    if (!ring_) ring_.reset(new std::uint8_t[kQueueBytes]);
    head_.store(0);
    tail_.store(0);
    draining_.store(false);
    abandon_.store(false);
    done_.store(false);
    for (int i = 0; i < files_; ++i) {
        // The writer waits on a pipe until the close gives up, not for a fixed time: the
        // queue absorbs the reader's pause, and a block that finds no room is counted.
        slots_[i].file->SetStopFlag(&abandon_);
        slots_[i].file->SetStallLimitMs(-1);
        slots_[i].file->SetBuffer(kFileBufferBytes);
    }
    // A lambda, not a member pointer: std::thread's state for it stays out of a shared
    // library's exports.
    thread_ = std::thread([this] { Run(); });
}

RecordingWriter::Outcome RecordingWriter::Append(int file, const std::uint8_t* bytes, std::uint32_t count,
                                                 Conversion conversion) {
    if (file < 0 || file >= files_) return Outcome::Failed;
    Slot& s = slots_[file];
    if (s.failed.load(std::memory_order_acquire)) {
        errors_.NoteLoss(file, 1, ConvertedBytes(conversion, count));
        return Outcome::Failed;
    }
    if (!thread_.joinable()) return Write(file, bytes, count, conversion) ? Outcome::Taken : Outcome::Failed;

    const std::size_t need = sizeof(BlockHeader) + Padded(count);
    const std::uint64_t head = head_.load(std::memory_order_relaxed);
    const std::uint64_t tail = tail_.load(std::memory_order_acquire);
    const std::size_t at = static_cast<std::size_t>(head % kQueueBytes);
    // A block never wraps: the rest of the ring is skipped when it does not fit there.
    const std::size_t skip = at + need > kQueueBytes ? kQueueBytes - at : 0;
    if (head + skip + need - tail > kQueueBytes) {
        errors_.NoteLoss(file, 1, ConvertedBytes(conversion, count));
        return Outcome::Dropped;
    }
    std::uint8_t* place = ring_.get() + at;
    if (skip != 0) {
        BlockHeader marker{};
        marker.file = kSkip;
        std::memcpy(place, &marker, sizeof marker);
        place = ring_.get();
    }
    BlockHeader h{};
    h.bytes = count;
    h.file = static_cast<std::uint8_t>(file);
    h.conversion = static_cast<std::uint8_t>(conversion);
    std::memcpy(place, &h, sizeof h);
    if (count > 0) std::memcpy(place + sizeof h, bytes, count);
    head_.store(head + skip + need, std::memory_order_seq_cst);
    if (idle_.load(std::memory_order_seq_cst)) {
        std::lock_guard<std::mutex> lock(mutex_);
        wake_.notify_one();
    }
    return Outcome::Taken;
}

bool RecordingWriter::Write(int file, const std::uint8_t* bytes, std::uint32_t count, Conversion conversion) {
    const bool ok = AppendConverted(*slots_[file].file, bytes, count, conversion, scratch_.get(), kScratchFloats);
    Settle(file);
    return ok;
}

std::uint64_t RecordingWriter::Reached(int file) const {
    if (file < 0 || file >= files_) return 0;
    return thread_.joinable() ? slots_[file].reached.load(std::memory_order_acquire) : slots_[file].file->Appended();
}

void RecordingWriter::Settle(int file) {
    Slot& s = slots_[file];
    s.reached.store(s.file->Appended(), std::memory_order_release);
    const std::uint64_t bytes = s.file->LostBytes() - s.notedBytes, blocks = s.file->LostBlocks() - s.notedBlocks;
    if (bytes != 0 || blocks != 0) errors_.NoteLoss(file, blocks, bytes);
    s.notedBytes += bytes;
    s.notedBlocks += blocks;
    if (s.file->Failed() && !s.failed.exchange(true, std::memory_order_acq_rel))
        errors_.Note(s.label + ": " + s.file->Error());
}

void RecordingWriter::FlushAll() {
    for (int i = 0; i < files_; ++i) {
        if (slots_[i].failed.load(std::memory_order_relaxed)) continue;
        slots_[i].file->Flush();
        Settle(i);
    }
}

bool RecordingWriter::WaitForBlocks() {
    for (;;) {
        if (abandon_.load(std::memory_order_acquire)) return false;
        if (head_.load(std::memory_order_acquire) != tail_.load(std::memory_order_relaxed)) return true;
        if (draining_.load(std::memory_order_acquire)) return false;
        std::unique_lock<std::mutex> lock(mutex_);
        idle_.store(true, std::memory_order_seq_cst);
        // Checked again after announcing the wait: a block queued meanwhile is not slept over.
        if (head_.load(std::memory_order_seq_cst) == tail_.load(std::memory_order_relaxed) &&
            !draining_.load(std::memory_order_acquire))
            wake_.wait_for(lock, std::chrono::milliseconds(50));
        idle_.store(false, std::memory_order_relaxed);
    }
}

void RecordingWriter::Run() {
    // The recordings are part of the reception: the writer runs at the receive thread's
    // priority, or a busy machine starves it and the queue overflows.
    net::RaiseThreadPriority();
    for (;;) {
        if (head_.load(std::memory_order_acquire) == tail_.load(std::memory_order_relaxed)) {
            // Nothing queued: what the buffers gathered goes to the files before any wait.
            FlushAll();
            if (!WaitForBlocks()) break;
            continue;
        }
        const std::uint64_t tail = tail_.load(std::memory_order_relaxed);
        const std::size_t at = static_cast<std::size_t>(tail % kQueueBytes);
        BlockHeader h{};
        std::memcpy(&h, ring_.get() + at, sizeof h);
        if (h.file == kSkip) {
            tail_.store(tail + (kQueueBytes - at), std::memory_order_release);
            continue;
        }
        if (slots_[h.file].failed.load(std::memory_order_relaxed))
            errors_.NoteLoss(h.file, 1, ConvertedBytes(static_cast<Conversion>(h.conversion), h.bytes));
        else
            Write(h.file, ring_.get() + at + sizeof h, h.bytes, static_cast<Conversion>(h.conversion));
        tail_.store(tail + sizeof h + Padded(h.bytes), std::memory_order_release);
    }
    FlushAll();
    done_.store(true, std::memory_order_release);
}

void RecordingWriter::Stop() {
    if (!thread_.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        draining_.store(true, std::memory_order_release);
        wake_.notify_one();
    }
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDrainLimitMs);
    while (!done_.load(std::memory_order_acquire) && std::chrono::steady_clock::now() < end) net::SleepMs(2);
    abandon_.store(true, std::memory_order_release);
    thread_.join();
    // What the writer could not write in time: counted against its recording.
    for (std::uint64_t tail = tail_.load(), head = head_.load(); tail != head;) {
        const std::size_t at = static_cast<std::size_t>(tail % kQueueBytes);
        BlockHeader h{};
        std::memcpy(&h, ring_.get() + at, sizeof h);
        if (h.file == kSkip) {
            tail += kQueueBytes - at;
            continue;
        }
        errors_.NoteLoss(h.file, 1, ConvertedBytes(static_cast<Conversion>(h.conversion), h.bytes));
        tail += sizeof h + Padded(h.bytes);
    }
    tail_.store(head_.load());
}

} // namespace vita49
