#pragma once

// The raw recording: the IF data payloads back to back, in wire order or with 16- and 32-bit
// items swapped to little-endian, without header or separator.

#include <fstream>
#include <string>

#include "receiver/RecordingSink.h"

namespace vita49 {

class RawSink : public RecordingSink {
public:
    using RecordingSink::RecordingSink;

    void Open(const RecordingSetup& setup) override;
    bool Active() const override { return stream_.is_open(); }
    void OnData(const Vita49_Data& data, const Vita49_Context& context, PayloadSamples* samples) override;
    void Close() override;

private:
    // A write that failed is noted once; the stream's fail state ends the recording.
    void CheckStream(const char* what);

    std::ofstream stream_;
    std::string path_;
    bool bigEndian_ = false;
    bool failed_ = false;
};

} // namespace vita49
