#pragma once

// The recordings of the IQ samples (raw, WAV, SigMF) as sinks of one shape: the decoder opens
// them, tells them every IF context record, hands them every IF data packet, and closes them.
// Each sink owns its files and decides what goes into them on the receive side; the bytes reach
// the files through the RecordingWriter (synchronously, or through its writer thread). The set
// is fixed when the decoder is built, so nothing is allocated per packet. A new recording format is one class and one line in
// StreamDecoder's constructor.

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <string>

#include "vita49/Vita49Types.h"

namespace vita49 {

// One packet's payload samples in the receive buffer, swapped in place on demand. The byte
// order of the samples is kept here and nowhere else: each consumer asks for the order it
// needs, and a swap happens only when the order differs.
class PayloadSamples {
public:
    PayloadSamples(std::uint8_t* bytes, std::uint32_t size, std::uint8_t itemBits)
        : bytes_(bytes), size_(size), itemBits_(itemBits) {}

    std::uint8_t* Bytes() const { return bytes_; }
    std::uint32_t Size() const { return size_; }
    std::uint8_t ItemBits() const { return itemBits_; }
    // Still as on the wire (big-endian), before any swap.
    bool WireOrder() const { return wireOrder_; }

    // The samples in wire order or little-endian; items of other sizes than 16 and 32 are
    // never swapped, yet count as swapped once asked for (what the callbacks have always seen).
    const std::uint8_t* InOrder(bool bigEndian);
    const std::uint8_t* LittleEndian() { return InOrder(false); }

private:
    std::uint8_t* bytes_;
    std::uint32_t size_;
    std::uint8_t itemBits_;
    bool wireOrder_ = true;
};

// A settings text up to its first NUL, even when the caller filled every byte.
template <std::size_t N>
std::string SettingText(const char (&text)[N]) {
    return std::string(text, std::find(text, text + N, '\0'));
}

// What a sink needs to know when it is opened.
struct RecordingSetup {
    const Vita49_Receiver_Settings& settings;
    const std::string& sigmfBasePath;
    std::uint32_t streamId;
    std::int32_t connectionType;
};

// The first recording failure since Open, and what each file lost, readable from any thread.
class RecordingErrors {
public:
    static constexpr int kMaxFiles = 4;

    void Clear();
    // Keeps `text` when no failure was noted yet.
    void Note(const std::string& text);
    // The name of a file whose losses are counted (set when it is opened).
    void Name(int file, const std::string& label);
    // `blocks` packets' worth of `bytes` did not reach the file (the writer fell behind).
    void NoteLoss(int file, std::uint64_t blocks, std::uint64_t bytes);
    // The first failure, then every file's losses; empty when neither happened.
    std::string First() const;

private:
    struct Loss {
        std::string label;
        std::uint64_t blocks = 0, bytes = 0;
    };
    mutable std::mutex mutex_;
    std::string first_;
    Loss losses_[kMaxFiles];
};

class RecordingWriter;

class RecordingSink {
public:
    RecordingSink(RecordingErrors& errors, RecordingWriter& writer) : errors_(errors), writer_(writer) {}
    virtual ~RecordingSink() = default;
    RecordingSink(const RecordingSink&) = delete;
    RecordingSink& operator=(const RecordingSink&) = delete;

    // Open of the receiver or decoder: creates (truncates) the sink's files when the setup
    // names them. A failure is noted, never returned: the stream goes on without the sink.
    virtual void Open(const RecordingSetup& setup) = 0;
    // Has a file to feed since Open: only such sinks are told about packets.
    virtual bool Active() const = 0;
    // Every accepted IF context packet, after its fields are decoded, before its callback.
    virtual void OnContext(const Vita49_Context& context) { (void)context; }
    // Every accepted IF data packet, before its callback. `samples` is null when the payload
    // was not located or no context has given the payload format yet.
    virtual void OnData(const Vita49_Data& data, const Vita49_Context& context, PayloadSamples* samples) = 0;
    // Close of the receiver or decoder, and its destruction: finishes the files.
    virtual void Close() = 0;

protected:
    void NoteError(const std::string& text) { errors_.Note(text); }
    RecordingWriter& Output() { return writer_; }
    // False, with the failure noted, for a path whose opening would wait for ever (a pipe
    // that nobody reads): the receiver's Open must not hang on a recording. Only for files not
    // opened through RecordingFile, which refuses such a pipe as it opens: this check opens
    // and closes a pipe that has a reader, and that reader then sees the end of its input.
    bool MayOpen(const std::string& path, const std::string& what);

private:
    RecordingErrors& errors_;
    RecordingWriter& writer_;
};

} // namespace vita49
