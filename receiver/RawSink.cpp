#include "receiver/RawSink.h"

#include <cerrno>
#include <cstring>

namespace vita49 {

void RawSink::Open(const RecordingSetup& setup) {
    const Vita49_Receiver_Settings& s = setup.settings;
    if (s.rawFilePath[0] == '\0') return;
    path_ = SettingText(s.rawFilePath);
    bigEndian_ = s.rawFileBigEndian == 1;
    failed_ = false;
    if (stream_.is_open()) stream_.close();
    stream_.clear();
    if (!MayOpen(path_, "raw file")) return;
    errno = 0;
    stream_.open(path_, std::ios::binary | std::ios::out | std::ios::trunc);
    if (!stream_.is_open()) {
        failed_ = true;
        NoteError("raw file " + path_ + ": cannot open" + (errno != 0 ? std::string(": ") + std::strerror(errno) : ""));
    }
}

void RawSink::OnData(const Vita49_Data& data, const Vita49_Context& context, PayloadSamples* samples) {
    (void)data;
    (void)context;
    if (samples == nullptr || !stream_.is_open()) return;
    stream_.write(reinterpret_cast<const char*>(samples->InOrder(bigEndian_)), samples->Size());
    if (!failed_ && stream_.fail()) CheckStream("write failed");
}

void RawSink::Close() {
    if (!stream_.is_open()) return;
    // Buffered bytes reach the disk only here: a full disk may show itself now.
    stream_.close();
    if (!failed_ && stream_.fail()) CheckStream("write failed when closing");
}

void RawSink::CheckStream(const char* what) {
    failed_ = true;
    NoteError("raw file " + path_ + ": " + what);
}

} // namespace vita49
