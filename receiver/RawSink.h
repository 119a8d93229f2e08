#pragma once

// The raw recording: the IF data payloads back to back, in wire order or with 16- and 32-bit
// items swapped to little-endian, without header or separator. Its length is what reached it.

#include <string>

#include "receiver/RecordingFile.h"
#include "receiver/RecordingSink.h"

namespace vita49 {

class RawSink : public RecordingSink {
public:
    using RecordingSink::RecordingSink;

    void Open(const RecordingSetup& setup) override;
    bool Active() const override { return file_.IsOpen(); }
    void OnData(const Vita49_Data& data, const Vita49_Context& context, PayloadSamples* samples) override;
    void Close() override;

private:
    RecordingFile file_;
    std::string path_;
    int slot_ = -1;
    bool bigEndian_ = false;
};

} // namespace vita49
