#include "receiver/RecordingSink.h"

#include "net/Platform.h"
#include "vita49/ByteOrder.h"

namespace vita49 {

const std::uint8_t* PayloadSamples::InOrder(bool bigEndian) {
    if (wireOrder_ != bigEndian) {
        if (itemBits_ == 16)
            swap16_inplace(bytes_, size_ / 2);
        else if (itemBits_ == 32)
            swap32_inplace(bytes_, size_ / 4);
        wireOrder_ = bigEndian;
    }
    return bytes_;
}

void RecordingErrors::Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    first_.clear();
    for (Loss& l : losses_) l = Loss{};
}

void RecordingErrors::Name(int file, const std::string& label) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (file >= 0 && file < kMaxFiles) losses_[file].label = label;
}

void RecordingErrors::NoteLoss(int file, std::uint64_t blocks, std::uint64_t bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (file < 0 || file >= kMaxFiles) return;
    losses_[file].blocks += blocks;
    losses_[file].bytes += bytes;
}

void RecordingErrors::Note(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (first_.empty()) first_ = text;
}

bool RecordingSink::MayOpen(const std::string& path, const std::string& what) {
    if (!net::IsPipeWithoutReader(path.c_str())) return true;
    NoteError(what + " " + path + ": cannot open: a pipe that nobody reads");
    return false;
}

std::string RecordingErrors::First() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string text = first_;
    for (const Loss& l : losses_) {
        if (l.blocks == 0) continue;
        if (!text.empty()) text += "; ";
        text += l.label + ": " + std::to_string(l.blocks) + " packet" + (l.blocks == 1 ? "" : "s") + " (" +
                std::to_string(l.bytes) + " bytes) left out of the recording";
    }
    return text;
}

} // namespace vita49
