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
    return first_;
}

} // namespace vita49
