#pragma once

// SigMF recording: the IQ samples of the stream as complex integers in <base>.sigmf-data, and
// <base>.sigmf-meta saying what they are (type, rate, tuning and time per capture segment,
// packet losses as annotations). The meta file is replaced whole, never written in place, and
// always describes exactly the whole samples in the data file: after a crash, a full disk or
// a format change that one recording cannot describe, what was written stays readable.

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "receiver/RecordingFile.h"
#include "receiver/RecordingSink.h"

namespace vita49 {

class SigMFSink : public RecordingSink {
public:
    // The SigMF format version the files follow (their core:version).
    static constexpr const char* kFormatVersion = "1.2.0";
    // The meta file is brought up to date at least this often while samples arrive.
    static constexpr std::chrono::seconds kMetaInterval{1};
    // Beyond this many, losses are only counted in the global object.
    static constexpr std::size_t kMaxAnnotations = 100000;

    using RecordingSink::RecordingSink;
    ~SigMFSink() override { Close(); }

    void Open(const RecordingSetup& setup) override;
    bool Active() const override { return data_.IsOpen(); }
    void OnContext(const Vita49_Context& context) override;
    void OnData(const Vita49_Data& data, const Vita49_Context& context, PayloadSamples* samples) override;
    void Close() override;

private:
    struct Capture {
        std::uint64_t sampleStart = 0;
        bool hasFrequency = false;
        double frequencyHz = 0;
        std::string datetime; // empty: unknown
    };
    struct Annotation {
        std::uint64_t sampleStart = 0;
        std::string label;
        std::string comment;
        std::uint32_t missingPackets = 0; // 0: not a loss
        std::uint64_t lostSamples = 0;    // samples the recording could not take here
    };
    enum class State { Waiting, Recording, Stopped };

    void NoteLoss(const Vita49_Data& data);
    // True when the packet may be appended: recording, and in the recording's format.
    bool Admit(const Vita49_Data& data, const Vita49_Context& context, const PayloadSamples& samples);
    void NewCapture(const Vita49_Data& data, const Vita49_Context& context);
    void Append(const std::uint8_t* bytes, std::uint32_t size);
    // Samples left out of the data file here (no room in the writer's queue).
    void NoteLeftOut(std::uint64_t samples);
    // Brings the counts down to the whole samples that reached the data file, once the file
    // is no longer written: after a failed write, everything from there on is gone.
    void Reconcile();
    // Ends the recording for good, with an annotation at its end that says why.
    void Stop(const std::string& why);
    void Fail(const std::string& what);
    // Replaces the meta file with one that describes the samples written so far: while a
    // writer thread may still hold some, only what has reached the data file (`final`: all).
    void WriteMeta(bool final = false);
    // Captures and annotations past `samples` are left out.
    std::string MetaJson(std::uint64_t samples) const;

    std::string dataPath_, metaPath_, description_;
    RecordingFile data_;
    int slot_ = -1;
    State state_ = State::Waiting;
    bool failed_ = false;

    // Fixed by the first context that gives both sample rate and a recordable item size.
    bool armed_ = false;
    double sampleRateHz_ = 0;
    std::uint8_t itemBits_ = 16;

    bool knownFrequency_ = false;
    double frequencyHz_ = 0; // latest RF reference frequency
    std::uint32_t lastLost_ = 0;
    std::uint8_t lastCount_ = 0;
    bool seenData_ = false;

    std::uint64_t samples_ = 0;
    std::uint64_t missingPackets_ = 0;
    std::uint64_t leftOut_ = 0;
    std::vector<Capture> captures_;
    std::vector<Annotation> annotations_;
    std::chrono::steady_clock::time_point lastMeta_{};
};

// ISO 8601 UTC text, to the nanosecond, of a VITA 49 UTC integer timestamp and a real-time
// fractional timestamp in picoseconds; empty when the picoseconds exceed one second.
std::string UtcDatetime(std::uint32_t seconds, std::uint64_t picoseconds);

} // namespace vita49
