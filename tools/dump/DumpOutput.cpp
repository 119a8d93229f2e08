#include "dump/DumpOutput.h"

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cmath>

namespace vita49::dump {

namespace {

void Append(std::string& s, const char* format, ...) __attribute__((format(printf, 2, 3)));
void Append(std::string& s, const char* format, ...) {
    char buffer[256];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    if (n > 0) s.append(buffer, std::min<std::size_t>(static_cast<std::size_t>(n), sizeof buffer - 1));
}

std::string TimeText(const capture::CaptureTime& t) {
    if (!t.valid) return "-";
    char text[40];
    std::snprintf(text, sizeof text, "%.6f", t.seconds);
    return text;
}

// A number as JSON: shortest exact-enough form; not written at all when not finite.
bool JsonNumber(std::string& s, const char* key, double value) {
    if (!std::isfinite(value)) return false;
    Append(s, ",\"%s\":%.15g", key, value);
    return true;
}

void TextNumber(std::string& s, const char* key, double value) { Append(s, " %s=%.15g", key, value); }

void TextPrologue(std::string& s, const PacketView& v) {
    if (v.hasClassId) Append(s, " class=%06" PRIx32 ":%04x:%04x", v.classOui, v.classIcc, v.classPcc);
    if (v.tsi != 0) {
        if (v.hasIntTimestamp) {
            Append(s, " tsi=%s:%" PRIu32, TsiName(v.tsi), v.intTimestamp);
        } else {
            Append(s, " tsi=%s:cut", TsiName(v.tsi));
        }
    }
    if (v.tsf != 0) {
        if (v.hasFracTimestamp) {
            Append(s, " tsf=%s:%" PRIu64, TsfName(v.tsf), v.fracTimestamp);
        } else {
            Append(s, " tsf=%s:cut", TsfName(v.tsf));
        }
    }
    if (!v.prologueFits) s += " prologue_beyond_packet";
}

void TextData(std::string& s, const Vita49_Data& d) {
    Append(s, " payload=%" PRIu32, d.payloadSize);
    const struct {
        bool enabled;
        bool value;
        const char* name;
    } indicators[] = {{d.calibratedTimeEnabled, d.calibratedTime, "calibrated_time"},
                      {d.validDataEnabled, d.validData, "valid_data"},
                      {d.referenceLockEnabled, d.referenceLock, "reference_lock"},
                      {d.overRangeEnabled, d.overRange, "over_range"},
                      {d.sampleLossEnabled, d.sampleLoss, "sample_loss"}};
    for (const auto& i : indicators)
        if (i.enabled) Append(s, " %s=%d", i.name, i.value ? 1 : 0);
    if (d.contextCountEnabled) Append(s, " context_count=%u", d.contextCount);
}

void TextContext(std::string& s, const Vita49_Context& c) {
    if (c.bandwidthValid) TextNumber(s, "bandwidth_hz", c.bandwidthHz);
    if (c.rfReferenceFrequencyValid) TextNumber(s, "rf_reference_hz", c.rfReferenceFrequencyHz);
    if (c.sampleRateValid) TextNumber(s, "sample_rate_hz", c.sampleRateHz);
    if (c.referenceLevelValid) TextNumber(s, "reference_level_dbm", c.referenceLevelDbm);
    if (c.payloadFormatValid) Append(s, " item_bits=%u", c.dataItemSize);
    if (c.gpsValid) Append(s, " gps=%.6f,%.6f", c.gpsLatitudeDeg, c.gpsLongitudeDeg);
}

void TextFftContext(std::string& s, const Vita49_FFTContext& c) {
    if (c.spectrumParam1Valid) TextNumber(s, "param1_hz", c.spectrumParam1Hz);
    if (c.spectrumParam2Valid) TextNumber(s, "param2_hz", c.spectrumParam2Hz);
    if (c.spectrumParam3Valid) TextNumber(s, "param3_hz", c.spectrumParam3Hz);
    if (c.spectrumParam4Valid) Append(s, " param4=%" PRIu32, c.spectrumParam4);
}

std::string FlowText(const capture::Flow* flow) {
    if (flow == nullptr) return "- - -> -";
    return std::string(capture::TransportName(flow->transport)) + " " + capture::EndpointText(flow->src) + " -> " +
           capture::EndpointText(flow->dst);
}

} // namespace

const char* KindName(int kind) {
    static const char* const names[] = {"if_data", "if_context", "ext_data", "ext_context", "other"};
    return kind >= 0 && kind < kKinds ? names[kind] : "other";
}

std::string HexBytes(const std::uint8_t* bytes, std::size_t size) {
    std::string s;
    for (std::size_t i = 0; i < size && i < 16; ++i) Append(s, i ? " %02x" : "%02x", bytes[i]);
    return s;
}

std::string JsonString(const std::string& text) {
    std::string s = "\"";
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\') {
            s += '\\';
            s += ch;
        } else if (c < 0x20 || c >= 0x7F) {
            Append(s, "\\u%04x", c);
        } else {
            s += ch;
        }
    }
    return s + "\"";
}

void DumpOutput::WriteLine(const PacketLine& line) {
    std::string s;
    s.reserve(256);
    if (json_) {
        JsonLine(line, s);
    } else {
        TextLine(line, s);
    }
    s += '\n';
    std::fwrite(s.data(), 1, s.size(), out_);
}

void DumpOutput::TextLine(const PacketLine& line, std::string& s) const {
    s += TimeText(line.time);
    s += ' ';
    s += FlowText(line.flow);
    s += ' ';
    s += line.type;
    if (line.hasStreamId) Append(s, " id=0x%08" PRIx32, line.streamId);
    if (line.view != nullptr) Append(s, " count=%u", line.view->count);
    Append(s, " size=%" PRIu64, line.size);
    if (line.data != nullptr) TextData(s, *line.data);
    if (line.fftData != nullptr) Append(s, " payload=%" PRIu32, line.fftData->payloadSize);
    if (line.context != nullptr) TextContext(s, *line.context);
    if (line.fftContext != nullptr) TextFftContext(s, *line.fftContext);
    if (line.view != nullptr) TextPrologue(s, *line.view);
    if (!line.error.empty()) {
        s += ": ";
        s += line.error;
        if (line.headSize > 0) s += " [" + HexBytes(line.head, line.headSize) + "]";
    }
}

void DumpOutput::JsonLine(const PacketLine& line, std::string& s) const {
    s += '{';
    bool first = true;
    auto key = [&](const char* name) {
        if (!first) s += ',';
        first = false;
        s += '"';
        s += name;
        s += "\":";
    };
    if (line.time.valid) {
        key("time");
        Append(s, "%.6f", line.time.seconds);
    }
    if (line.flow != nullptr && line.flow->transport != capture::Transport::kRaw) {
        key("src");
        s += JsonString(capture::EndpointText(line.flow->src));
        key("dst");
        s += JsonString(capture::EndpointText(line.flow->dst));
    }
    key("type");
    s += JsonString(line.type);
    if (!line.error.empty()) {
        key("error");
        s += JsonString(line.headSize > 0 ? line.error + " [" + HexBytes(line.head, line.headSize) + "]" : line.error);
    }
    if (line.hasStreamId) {
        key("stream_id");
        Append(s, "%" PRIu32, line.streamId);
    }
    if (line.view != nullptr) {
        key("count");
        Append(s, "%u", line.view->count);
    }
    key("size");
    Append(s, "%" PRIu64, line.size);
    if (const Vita49_Context* c = line.context) {
        if (c->bandwidthValid) JsonNumber(s, "bandwidth_hz", c->bandwidthHz);
        if (c->rfReferenceFrequencyValid) JsonNumber(s, "rf_reference_hz", c->rfReferenceFrequencyHz);
        if (c->sampleRateValid) JsonNumber(s, "sample_rate_hz", c->sampleRateHz);
        if (c->referenceLevelValid) JsonNumber(s, "reference_level_dbm", c->referenceLevelDbm);
        if (c->payloadFormatValid) Append(s, ",\"item_bits\":%u", c->dataItemSize);
    }
    if (line.data != nullptr) Append(s, ",\"payload_size\":%" PRIu32, line.data->payloadSize);
    if (line.view != nullptr && line.view->hasClassId) {
        Append(s, ",\"class_oui\":%" PRIu32 ",\"class_icc\":%u,\"class_pcc\":%u", line.view->classOui,
               line.view->classIcc, line.view->classPcc);
    }
    s += '}';
}

void DumpOutput::WriteSummary(const std::vector<StreamSummary>& streams) {
    if (json_) {
        JsonSummary(streams);
    } else {
        TextSummary(streams);
    }
}

void DumpOutput::TextSummary(const std::vector<StreamSummary>& streams) const {
    std::size_t width = 6;
    for (const auto& st : streams) width = std::max(width, FlowText(&st.flow).size());
    std::string s;
    Append(s, "%-*s %-10s %8s %10s %8s %11s %6s %7s %7s %12s %-17s %-17s %10s %12s\n", static_cast<int>(width),
           "stream", "id", "if_data", "if_context", "ext_data", "ext_context", "other", "discont", "missing", "bytes",
           "first", "last", "packets/s", "samples/s");
    for (const auto& st : streams) {
        Append(s, "%-*s ", static_cast<int>(width), FlowText(&st.flow).c_str());
        if (st.hasStreamId) {
            Append(s, "0x%08" PRIx32 " ", st.streamId);
        } else {
            Append(s, "%-10s ", "-");
        }
        Append(s, "%8" PRIu64 " %10" PRIu64 " %8" PRIu64 " %11" PRIu64 " %6" PRIu64 " %7" PRIu64 " %7" PRIu64
                  " %12" PRIu64 " ",
               st.packets[kIfData], st.packets[kIfContext], st.packets[kExtData], st.packets[kExtContext],
               st.packets[kOther], st.discontinuities, st.missing, st.bytes);
        Append(s, "%-17s %-17s %10.1f ", TimeText(st.first).c_str(), TimeText(st.last).c_str(), st.packetRate);
        if (st.hasSampleRate) {
            Append(s, "%12.0f\n", st.sampleRate);
        } else {
            Append(s, "%12s\n", "-");
        }
    }
    std::fwrite(s.data(), 1, s.size(), out_);
}

void DumpOutput::JsonSummary(const std::vector<StreamSummary>& streams) const {
    for (const auto& st : streams) {
        std::string s = "{";
        if (st.flow.transport != capture::Transport::kRaw) {
            s += "\"src\":" + JsonString(capture::EndpointText(st.flow.src)) + ",";
            s += "\"dst\":" + JsonString(capture::EndpointText(st.flow.dst)) + ",";
        }
        if (st.hasStreamId) {
            Append(s, "\"stream_id\":%" PRIu32 ",", st.streamId);
        } else {
            s += "\"stream_id\":null,";
        }
        s += "\"packets\":{";
        for (int k = 0; k < kKinds; ++k) Append(s, "%s\"%s\":%" PRIu64, k ? "," : "", KindName(k), st.packets[k]);
        Append(s, "},\"discontinuities\":%" PRIu64 ",\"missing\":%" PRIu64 ",\"bytes\":%" PRIu64, st.discontinuities,
               st.missing, st.bytes);
        s += ",\"first_time\":" + (st.first.valid ? TimeText(st.first) : std::string("null"));
        s += ",\"last_time\":" + (st.last.valid ? TimeText(st.last) : std::string("null"));
        s += "}\n";
        std::fwrite(s.data(), 1, s.size(), out_);
    }
}

} // namespace vita49::dump
