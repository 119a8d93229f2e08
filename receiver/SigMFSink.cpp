#include "receiver/SigMFSink.h"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <system_error>

#include "net/ConnectionTypes.h"
#include "receiver/RecordingWriter.h"

#ifndef VITA49_VERSION_TEXT
#define VITA49_VERSION_TEXT "unknown"
#endif

namespace vita49 {
namespace {

std::string Quoted(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(static_cast<unsigned char>(c)));
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + '"';
}

// Hz values are exact binary fractions of the wire's fixed point: 17 digits keep them exact.
std::string Number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

std::string ErrnoText() { return errno != 0 ? std::string(": ") + std::strerror(errno) : std::string(); }

// Civil date of a day count since 1970-01-01 (proleptic Gregorian calendar).
void CivilFromDays(std::int64_t days, std::int64_t& year, unsigned& month, unsigned& day) {
    days += 719468;
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const auto dayOfEra = static_cast<unsigned>(days - era * 146097);
    const unsigned yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const unsigned mp = (5 * dayOfYear + 2) / 153;
    day = dayOfYear - (153 * mp + 2) / 5 + 1;
    month = mp < 10 ? mp + 3 : mp - 9;
    year = static_cast<std::int64_t>(yearOfEra) + era * 400 + (month <= 2 ? 1 : 0);
}

// Timestamp kinds of the header: integer seconds in UTC, fractional real-time picoseconds.
constexpr unsigned kTsiUtc = 1;
constexpr unsigned kTsfRealTime = 2;

std::string DatetimeOf(const Vita49_Data& data) {
    if (data.packet == nullptr || !data.intTimestampValid || !data.fracTimestampValid) return std::string();
    const unsigned tsi = (data.packet[1] >> 6) & 3u;
    const unsigned tsf = (data.packet[1] >> 4) & 3u;
    if (tsi != kTsiUtc || tsf != kTsfRealTime) return std::string();
    return UtcDatetime(data.intTimestamp, data.fracTimestamp);
}

} // namespace

std::string UtcDatetime(std::uint32_t seconds, std::uint64_t picoseconds) {
    if (picoseconds >= 1000000000000ull) return std::string();
    std::int64_t year = 0;
    unsigned month = 0, day = 0;
    CivilFromDays(seconds / 86400, year, month, day);
    const unsigned secondOfDay = seconds % 86400;
    char text[48];
    std::snprintf(text, sizeof text, "%04lld-%02u-%02uT%02u:%02u:%02u.%09lluZ", static_cast<long long>(year), month,
                  day, secondOfDay / 3600, secondOfDay / 60 % 60, secondOfDay % 60,
                  static_cast<unsigned long long>(picoseconds / 1000));
    return text;
}

void SigMFSink::Open(const RecordingSetup& setup) {
    Close();
    if (setup.sigmfBasePath.empty()) return;
    dataPath_ = setup.sigmfBasePath + ".sigmf-data";
    metaPath_ = setup.sigmfBasePath + ".sigmf-meta";
    char id[16];
    std::snprintf(id, sizeof id, "0x%08X", static_cast<unsigned>(setup.streamId));
    const std::string type = net::ConnectionTypeName(setup.connectionType);
    description_ = std::string("VITA 49 stream ") + id + (type.empty() ? "" : " over " + type);
    state_ = State::Waiting;
    failed_ = armed_ = knownFrequency_ = seenData_ = false;
    samples_ = missingPackets_ = leftOut_ = 0;
    slot_ = -1;
    lastLost_ = 0;
    captures_.clear();
    annotations_.clear();
    // The data file refuses a pipe without reader as it opens; the meta file is written through
    // a temporary file, so a pipe at its path is refused here.
    if (!MayOpen(metaPath_, "SigMF meta file")) return;
    if (!data_.Open(dataPath_)) {
        Fail("SigMF data file " + dataPath_ + ": " + data_.Error());
        return;
    }
    slot_ = Output().Register(data_, "SigMF data file " + dataPath_);
    WriteMeta();
}

void SigMFSink::OnContext(const Vita49_Context& context) {
    if (context.rfReferenceFrequencyValid) {
        knownFrequency_ = true;
        frequencyHz_ = context.rfReferenceFrequencyHz;
    }
    if (armed_ || !context.sampleRateValid || !context.payloadFormatValid) return;
    if (!(context.sampleRateHz > 0) || (context.dataItemSize != 16 && context.dataItemSize != 32)) return;
    armed_ = true;
    sampleRateHz_ = context.sampleRateHz;
    itemBits_ = context.dataItemSize;
}

void SigMFSink::OnData(const Vita49_Data& data, const Vita49_Context& context, PayloadSamples* samples) {
    NoteLoss(data);
    if (samples == nullptr || !data_.IsOpen() || !Admit(data, context, *samples)) return;
    const std::uint32_t sampleBytes = itemBits_ / 4u;
    const std::uint32_t whole = samples->Size() / sampleBytes * sampleBytes;
    Append(samples->LittleEndian(), whole);
    if (state_ == State::Recording && std::chrono::steady_clock::now() - lastMeta_ >= kMetaInterval) WriteMeta();
}

void SigMFSink::NoteLoss(const Vita49_Data& data) {
    const bool gap = seenData_ && data.packetsLost != lastLost_;
    const auto missing = static_cast<std::uint8_t>((data.packetCount - lastCount_ - 1) & 0x0F);
    if (gap && state_ == State::Recording) {
        missingPackets_ += missing;
        if (annotations_.size() < kMaxAnnotations) {
            std::ostringstream comment;
            comment << "packet count " << unsigned{lastCount_} << " followed by " << unsigned{data.packetCount} << ": "
                    << unsigned{missing} << " packet" << (missing == 1 ? "" : "s") << " missing";
            annotations_.push_back({samples_, "packet loss", comment.str(), missing});
        }
    }
    seenData_ = true;
    lastLost_ = data.packetsLost;
    lastCount_ = data.packetCount;
}

bool SigMFSink::Admit(const Vita49_Data& data, const Vita49_Context& context, const PayloadSamples& samples) {
    if (state_ == State::Stopped || !armed_) return false;
    if (state_ == State::Waiting) {
        state_ = State::Recording;
        NewCapture(data, context);
        WriteMeta();
    }
    if (context.sampleRateValid && context.sampleRateHz != sampleRateHz_) {
        Stop("sample rate changed from " + Number(sampleRateHz_) + " Hz to " + Number(context.sampleRateHz) +
             " Hz: one SigMF recording holds one rate");
        return false;
    }
    if (samples.ItemBits() != itemBits_) {
        Stop("item size changed from " + std::to_string(itemBits_) + " to " + std::to_string(samples.ItemBits()) +
             " bits: one SigMF recording holds one sample format");
        return false;
    }
    const Capture& current = captures_.back();
    if (knownFrequency_ && (!current.hasFrequency || current.frequencyHz != frequencyHz_)) {
        NewCapture(data, context);
        WriteMeta();
    }
    return true;
}

void SigMFSink::NewCapture(const Vita49_Data& data, const Vita49_Context& context) {
    (void)context;
    Capture c;
    c.sampleStart = samples_;
    c.hasFrequency = knownFrequency_;
    c.frequencyHz = frequencyHz_;
    c.datetime = DatetimeOf(data);
    // A segment that holds no sample yet is replaced rather than followed.
    if (!captures_.empty() && captures_.back().sampleStart == samples_)
        captures_.back() = c;
    else
        captures_.push_back(c);
}

void SigMFSink::Append(const std::uint8_t* bytes, std::uint32_t size) {
    if (size == 0) return;
    const std::uint32_t sampleBytes = itemBits_ / 4u;
    switch (Output().Append(slot_, bytes, size)) {
    case RecordingWriter::Outcome::Taken:
        samples_ += size / sampleBytes;
        return;
    case RecordingWriter::Outcome::Dropped:
        NoteLeftOut(size / sampleBytes);
        return;
    case RecordingWriter::Outcome::Failed:
        break;
    }
    // A threaded writer may still be busy with earlier blocks of other files; this file it has
    // left for good, yet its count is settled by Close, once the writer has stopped.
    if (!Output().Threaded()) Reconcile();
    Stop(data_.Error());
}

void SigMFSink::NoteLeftOut(std::uint64_t samples) {
    leftOut_ += samples;
    // One annotation per gap: blocks left out back to back share their place in the file.
    if (!annotations_.empty() && annotations_.back().lostSamples != 0 && annotations_.back().sampleStart == samples_) {
        annotations_.back().lostSamples += samples;
        return;
    }
    if (annotations_.size() < kMaxAnnotations) annotations_.push_back({samples_, "recording gap", "", 0, samples});
}

void SigMFSink::Reconcile() {
    const std::uint32_t sampleBytes = itemBits_ / 4u;
    const std::uint64_t inFile = data_.Appended() / sampleBytes;
    if (!data_.Failed() && inFile >= samples_) return;
    // A packet cut short would leave part of a sample: the file goes back to whole packets.
    const std::uint64_t kept = std::min(inFile, samples_);
    if (data_.Appended() != kept * sampleBytes) data_.Truncate(kept * sampleBytes);
    if (kept == samples_) return;
    samples_ = kept;
    while (!captures_.empty() && captures_.back().sampleStart > samples_) captures_.pop_back();
    // What was noted past the end is gone with its samples, except why the recording stopped.
    bool stopped = false;
    Annotation stop;
    while (!annotations_.empty() && annotations_.back().sampleStart > samples_) {
        if (annotations_.back().label == "recording stopped") {
            stopped = true;
            stop = annotations_.back();
        }
        annotations_.pop_back();
    }
    if (stopped) {
        stop.sampleStart = samples_;
        annotations_.push_back(stop);
    }
}

void SigMFSink::Stop(const std::string& why) {
    if (state_ == State::Stopped) return;
    state_ = State::Stopped;
    annotations_.push_back({samples_, "recording stopped", why, 0});
    WriteMeta();
}

void SigMFSink::Fail(const std::string& what) {
    if (failed_) return;
    failed_ = true;
    NoteError(what);
}

void SigMFSink::Close() {
    if (!data_.IsOpen()) return;
    Reconcile();
    if (data_.Failed() && state_ != State::Stopped) Stop(data_.Error());
    WriteMeta(true);
    if (!data_.Close()) Fail("SigMF data file " + dataPath_ + ": " + data_.LastError());
}

void SigMFSink::WriteMeta(bool final) {
    lastMeta_ = std::chrono::steady_clock::now();
    const std::uint64_t reached = slot_ >= 0 ? Output().Reached(slot_) / (itemBits_ / 4u) : 0;
    const std::string json = MetaJson(final ? samples_ : std::min(samples_, reached));
    const std::string temporary = metaPath_ + ".tmp";
    errno = 0;
    std::FILE* f = std::fopen(temporary.c_str(), "wb");
    bool ok = f != nullptr && std::fwrite(json.data(), 1, json.size(), f) == json.size();
    std::string why = ErrnoText();
    if (f != nullptr && std::fclose(f) != 0 && ok) {
        ok = false;
        why = ErrnoText();
    }
    std::error_code error;
    if (ok) std::filesystem::rename(temporary, metaPath_, error);
    if (ok && !error) return;
    if (error) why = ": " + error.message();
    std::filesystem::remove(temporary, error);
    Fail("SigMF meta file " + metaPath_ + ": cannot write" + why);
}

std::string SigMFSink::MetaJson(std::uint64_t samples) const {
    std::ostringstream o;
    o << "{\n  \"global\": {\n"
      << "    \"core:datatype\": " << Quoted(itemBits_ == 32 ? "ci32_le" : "ci16_le") << ",\n";
    if (armed_) o << "    \"core:sample_rate\": " << Number(sampleRateHz_) << ",\n";
    o << "    \"core:version\": " << Quoted(kFormatVersion) << ",\n"
      << "    \"core:num_channels\": 1,\n"
      << "    \"core:recorder\": " << Quoted(std::string("vita49 ") + VITA49_VERSION_TEXT) << ",\n"
      << "    \"core:description\": " << Quoted(description_) << ",\n"
      << "    \"core:extensions\": [{\"name\": \"vita49\", \"version\": \"1.0.0\", \"optional\": true}],\n"
      << "    \"vita49:missing_packets\": " << missingPackets_ << ",\n"
      << "    \"vita49:recording_lost_samples\": " << leftOut_ << "\n  },\n  \"captures\": [";
    std::size_t shown = 0;
    for (std::size_t i = 0; i < captures_.size() && (i == 0 || captures_[i].sampleStart <= samples); ++i, ++shown) {
        const Capture& c = captures_[i];
        o << (i ? "," : "") << "\n    {\"core:sample_start\": " << c.sampleStart;
        if (c.hasFrequency) o << ", \"core:frequency\": " << Number(c.frequencyHz);
        if (!c.datetime.empty()) o << ", \"core:datetime\": " << Quoted(c.datetime);
        o << "}";
    }
    o << (shown == 0 ? "" : "\n  ") << "],\n  \"annotations\": [";
    shown = 0;
    for (std::size_t i = 0; i < annotations_.size() && annotations_[i].sampleStart <= samples; ++i, ++shown) {
        const Annotation& a = annotations_[i];
        const std::string comment =
            a.lostSamples == 0 ? a.comment
                               : std::to_string(a.lostSamples) +
                                     " samples left out of the recording here: the data file could not take them in time";
        o << (i ? "," : "") << "\n    {\"core:sample_start\": " << a.sampleStart
          << ", \"core:sample_count\": 0, \"core:label\": " << Quoted(a.label)
          << ", \"core:comment\": " << Quoted(comment);
        if (a.lostSamples != 0) o << ", \"vita49:lost_samples\": " << a.lostSamples;
        if (a.missingPackets != 0) o << ", \"vita49:missing_packets\": " << a.missingPackets;
        o << "}";
    }
    o << (shown == 0 ? "" : "\n  ") << "]\n}\n";
    return o.str();
}

} // namespace vita49
