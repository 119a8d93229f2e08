#include "receiver/RawSink.h"

#include "receiver/RecordingWriter.h"

namespace vita49 {

void RawSink::Open(const RecordingSetup& setup) {
    const Vita49_Receiver_Settings& s = setup.settings;
    file_.Close();
    slot_ = -1;
    if (s.rawFilePath[0] == '\0') return;
    path_ = SettingText(s.rawFilePath);
    bigEndian_ = s.rawFileBigEndian == 1;
    if (!file_.Open(path_)) {
        NoteError("raw file " + path_ + ": " + file_.Error());
        return;
    }
    slot_ = Output().Register(file_, "raw file " + path_);
}

void RawSink::OnData(const Vita49_Data& data, const Vita49_Context& context, PayloadSamples* samples) {
    (void)data;
    (void)context;
    if (samples == nullptr || !file_.IsOpen()) return;
    // The swap happens even once the file has failed: the callback sees the order it always did.
    const std::uint8_t* bytes = samples->InOrder(bigEndian_);
    Output().Append(slot_, bytes, samples->Size());
}

void RawSink::Close() {
    if (file_.IsOpen() && !file_.Close()) NoteError("raw file " + path_ + ": " + file_.LastError());
}

} // namespace vita49
