#include "sim/CommandParser.h"

#include <cmath>
#include <cstdio>

#include "net/ConnectionTypes.h"

namespace vita49::sim {
namespace {

char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool EqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (Upper(a[i]) != Upper(b[i])) return false;
    return true;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return s;
}

// Unsigned decimal digits only, at most `max`.
bool ParseUnsigned(std::string_view text, std::uint64_t max, std::uint64_t& value) {
    if (text.empty() || text.size() > 20) return false;
    std::uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
        if (v > (max - digit) / 10) return false;
        v = v * 10 + digit;
    }
    value = v;
    return true;
}

// A string argument in double or single quotes; a doubled quote inside stands for one.
// Control characters are refused: a name or address must never carry a line end onward.
bool ParseQuoted(std::string_view text, std::string& out) {
    if (text.size() < 2) return false;
    const char quote = text.front();
    if (quote != '"' && quote != '\'') return false;
    std::string value;
    std::size_t i = 1;
    for (;;) {
        if (i >= text.size()) return false; // no closing quote
        const char c = text[i];
        if (c == quote) {
            if (i + 1 < text.size() && text[i + 1] == quote) {
                value.push_back(quote);
                i += 2;
                continue;
            }
            break;
        }
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return false;
        value.push_back(c);
        ++i;
    }
    if (i + 1 != text.size()) return false; // something after the closing quote
    if (value.size() > Limits::kMaxArgumentChars) return false;
    out = std::move(value);
    return true;
}

bool ParseBool(std::string_view text, bool& value) {
    if (EqualNoCase(text, "ON") || text == "1") {
        value = true;
        return true;
    }
    if (EqualNoCase(text, "OFF") || text == "0") {
        value = false;
        return true;
    }
    return false;
}

static_assert(static_cast<int>(LinkType::TcpServer) == TCP_SERVER && static_cast<int>(LinkType::TcpClient) == TCP_CLIENT &&
                  static_cast<int>(LinkType::UdpSinglecast) == UDP_SINGLECAST &&
                  static_cast<int>(LinkType::UdpMulticast) == UDP_MULTICAST,
              "a link type is the library's connection type of the same value");

// The instrument's names only: the command channel takes no command-line spellings.
bool ParseLinkType(std::string_view text, LinkType& type) {
    std::int32_t value = 0;
    if (!net::ParseConnectionType(text, value, net::ConnectionTypeSpelling::Instrument)) return false;
    type = static_cast<LinkType>(value);
    return true;
}

// Dotted IPv4 with four decimal parts of at most 255.
bool ParseIPv4(std::string_view text, std::uint8_t (&parts)[4]) {
    std::size_t at = 0;
    for (int i = 0; i < 4; ++i) {
        std::size_t end = text.find('.', at);
        if (i == 3) end = text.size();
        if (end == std::string_view::npos || end == at || end - at > 3) return false;
        std::uint64_t v = 0;
        if (!ParseUnsigned(text.substr(at, end - at), 255, v)) return false;
        parts[i] = static_cast<std::uint8_t>(v);
        at = end + 1;
    }
    return true;
}

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

std::string FormatHz(double hz) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.17g", hz);
    return buffer;
}

std::string TaskName(const std::string& type, const std::vector<TaskEntry>& tasks) {
    // Streaming tasks are called "Stream A", "Stream B", ...; others "Task 1", "Task 2", ...
    const bool streaming = type == "RT_STREAMING";
    for (unsigned n = 0;; ++n) {
        std::string name;
        if (streaming && n < 26)
            name = std::string("Stream ") + static_cast<char>('A' + n);
        else
            name = (streaming ? "Stream " : "Task ") + std::to_string(n + 1);
        bool used = false;
        for (const TaskEntry& t : tasks) used = used || t.name == name;
        if (!used) return name;
    }
}

std::uint32_t NextViewId(const std::vector<ViewEntry>& views) {
    std::uint32_t id = 0;
    for (const ViewEntry& v : views)
        if (v.id > id) id = v.id;
    return id + 1;
}

// A type name for tasks and views: upper-case letters, digits and '_'.
bool ValidTypeName(const std::string& s) {
    if (s.empty() || s.size() > 32) return false;
    for (char c : s)
        if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_')) return false;
    return true;
}

bool IsMulticast(const std::uint8_t (&parts)[4]) { return parts[0] >= 224 && parts[0] <= 239; }

} // namespace

std::string LinkTypeName(LinkType type) {
    return type == LinkType::None ? "NONE" : net::ConnectionTypeName(static_cast<std::int32_t>(type));
}

bool operator==(const IqParams& a, const IqParams& b) {
    return a.tuneHz == b.tuneHz && a.cbwHz == b.cbwHz && a.oversampling == b.oversampling &&
           a.payloadLimit == b.payloadLimit && a.itemBits == b.itemBits;
}

bool operator==(const InstrumentState& a, const InstrumentState& b) {
    if (a.tasks.size() != b.tasks.size() || a.views.size() != b.views.size() || a.streams.size() != b.streams.size())
        return false;
    for (std::size_t i = 0; i < a.tasks.size(); ++i)
        if (a.tasks[i].type != b.tasks[i].type || a.tasks[i].name != b.tasks[i].name) return false;
    for (std::size_t i = 0; i < a.views.size(); ++i)
        if (a.views[i].type != b.views[i].type || a.views[i].id != b.views[i].id) return false;
    for (std::size_t i = 0; i < a.streams.size(); ++i) {
        const StreamSettings& x = a.streams[i];
        const StreamSettings& y = b.streams[i];
        if (x.streamId != y.streamId || x.type != y.type || x.address != y.address || x.port != y.port) return false;
    }
    return a.selectedTask == b.selectedTask && a.selectedView == b.selectedView &&
           a.selectedStream == b.selectedStream && a.openStream == b.openStream && a.iq == b.iq &&
           a.identity == b.identity;
}

InstrumentState DefaultInstrumentState() {
    InstrumentState s;
    s.tasks.push_back({"SPECTRUM", "Spectrum 1"});
    s.views.push_back({"SPECTRUM", 1});
    return s;
}

bool MatchKeyword(std::string_view keyword, std::string_view mnemonic) {
    if (EqualNoCase(keyword, mnemonic)) return true;
    std::string shortForm;
    for (char c : mnemonic)
        if (!(c >= 'a' && c <= 'z')) shortForm.push_back(c);
    return EqualNoCase(keyword, shortForm);
}

bool MatchHeader(std::string_view header, std::string_view pattern) {
    for (;;) {
        const std::size_t h = header.find(':');
        const std::size_t p = pattern.find(':');
        if (!MatchKeyword(header.substr(0, h), pattern.substr(0, p))) return false;
        if (h == std::string_view::npos || p == std::string_view::npos) return h == p;
        header.remove_prefix(h + 1);
        pattern.remove_prefix(p + 1);
    }
}

bool ParseFrequency(std::string_view text, double& hz) {
    text = Trim(text);
    std::size_t i = 0;
    std::uint64_t mantissa = 0;
    int exponent = 0;
    bool digits = false;
    auto take = [&](char c, bool fraction) {
        if (mantissa < 100000000000000000ull) {
            mantissa = mantissa * 10 + static_cast<std::uint64_t>(c - '0');
            if (fraction) --exponent;
        } else if (!fraction) {
            ++exponent; // beyond 17 significant digits the value is only scaled
        }
        digits = true;
    };
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') take(text[i++], false);
    if (i < text.size() && text[i] == '.') {
        ++i;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') take(text[i++], true);
    }
    if (!digits) return false;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        bool negative = false;
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
        int e = 0;
        bool expDigits = false;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
            if (e < 1000) e = e * 10 + (text[i] - '0');
            ++i;
            expDigits = true;
        }
        if (!expDigits) return false;
        exponent += negative ? -e : e;
    }
    const std::string_view unit = Trim(text.substr(i));
    double scale;
    if (unit.empty() || EqualNoCase(unit, "HZ"))
        scale = 1.0;
    else if (EqualNoCase(unit, "KHZ"))
        scale = 1e3;
    else if (EqualNoCase(unit, "MHZ")) // SCPI: case is ignored, so MHz is mega, never milli
        scale = 1e6;
    else if (EqualNoCase(unit, "GHZ"))
        scale = 1e9;
    else
        return false;
    if (exponent > 30) return false;
    const double value = static_cast<double>(mantissa) * std::pow(10.0, exponent) * scale;
    if (!(value < 18446744073709551616.0)) return false;
    hz = value;
    return true;
}

CommandInterpreter::CommandInterpreter(InstrumentState initial) : state_(std::move(initial)) {
    // Initial views of the IQ type own a stream each, as those added later do.
    state_.streams.clear();
    for (const ViewEntry& v : state_.views)
        if (v.type == "VITA49_IQ") state_.streams.emplace_back();
    state_.selectedStream = -1;
    state_.openStream = -1;
}

CommandResult CommandInterpreter::Refuse(ScpiError error, std::string why) {
    ++errors_;
    if (errorQueue_.size() + 1 < kErrorQueueEntries)
        errorQueue_.push_back(std::to_string(error.code) + ",\"" + error.text + ";" + why + "\"");
    else if (errorQueue_.size() + 1 == kErrorQueueEntries)
        errorQueue_.push_back(std::to_string(scpi::kQueueOverflow.code) + ",\"" + scpi::kQueueOverflow.text + "\"");
    CommandResult r;
    r.error = std::string(error.text) + ": " + why;
    return r;
}

CommandResult CommandInterpreter::Execute(std::string_view line) {
    if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    line = Trim(line);
    if (line.empty()) return CommandResult{true, {}, Effect::None, {}};

    std::size_t split = 0;
    while (split < line.size() && !IsBlank(line[split])) ++split;
    std::string_view header = line.substr(0, split);
    const std::string_view argument = Trim(line.substr(split));

    for (char c : header) {
        const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == ':' ||
                        c == '*' || c == '?';
        if (!ok) return Refuse(scpi::kInvalidCharacter, "invalid character in header");
    }
    if (!header.empty() && header.front() == ':') header.remove_prefix(1);
    bool query = false;
    if (!header.empty() && header.back() == '?') {
        query = true;
        header.remove_suffix(1);
    }
    if (header.find('?') != std::string_view::npos) return Refuse(scpi::kSyntaxError, "invalid header");
    CommandResult r = Dispatch(header, query, argument);
    if (r.accepted) ++accepted_;
    return r;
}

// --- The commands -----------------------------------------------------------------------------
//
// One row per command: its header and a handler for each form it has, the set form (with its
// argument) and the query form. A handler refuses without changing anything, so that a
// refused line leaves the instrument as it was.

namespace {

// What a handler works on.
struct Instrument {
    InstrumentState& s;
    std::vector<std::string>& errorQueue;
};

// A handler's result: refused for a reason, or accepted with an answer line and an effect.
struct Outcome {
    const char* refusal = nullptr;
    std::string answer;
    Effect effect = Effect::None;
    ScpiError error{0, ""};
};

Outcome Refused(ScpiError error, const char* why) { return Outcome{why, {}, Effect::None, error}; }
Outcome Done(Effect effect = Effect::None) { return Outcome{nullptr, {}, effect}; }
Outcome Answer(const std::string& text) { return Outcome{nullptr, text + "\r\n", Effect::None}; }

StreamSettings* SelectedStream(InstrumentState& s) {
    if (s.selectedStream < 0 || s.selectedStream >= static_cast<int>(s.streams.size())) return nullptr;
    return &s.streams[static_cast<std::size_t>(s.selectedStream)];
}

// Tasks and views.

Outcome ListTasks(Instrument& in, std::string_view) {
    std::string text;
    for (const TaskEntry& t : in.s.tasks) text += (text.empty() ? "" : ",") + Quoted(t.type) + "," + Quoted(t.name);
    return Answer(text);
}

Outcome AddTask(Instrument& in, std::string_view argument) {
    std::string type;
    if (!ParseQuoted(argument, type) || !ValidTypeName(type)) return Refused(scpi::kIllegalValue, "invalid task type");
    if (in.s.tasks.size() >= 64) return Refused(scpi::kTooMuchData, "too many tasks");
    in.s.tasks.push_back({type, TaskName(type, in.s.tasks)});
    in.s.selectedTask = static_cast<int>(in.s.tasks.size()) - 1;
    return Answer(Quoted(type) + "," + Quoted(in.s.tasks.back().name));
}

Outcome SelectTask(Instrument& in, std::string_view argument) {
    std::string name;
    if (!ParseQuoted(argument, name)) return Refused(scpi::kIllegalValue, "invalid task name");
    for (std::size_t i = 0; i < in.s.tasks.size(); ++i) {
        if (in.s.tasks[i].name == name) {
            in.s.selectedTask = static_cast<int>(i);
            return Done();
        }
    }
    return Refused(scpi::kIllegalValue, "no such task");
}

Outcome SelectedTask(Instrument& in, std::string_view) {
    if (in.s.selectedTask < 0) return Refused(scpi::kSettingsConflict, "no task selected");
    return Answer(Quoted(in.s.tasks[static_cast<std::size_t>(in.s.selectedTask)].name));
}

Outcome ListViews(Instrument& in, std::string_view) {
    std::string text;
    for (const ViewEntry& v : in.s.views) text += (text.empty() ? "" : ",") + Quoted(v.type) + "," + std::to_string(v.id);
    return Answer(text);
}

Outcome SelectView(Instrument& in, std::string_view argument) {
    std::uint64_t id = 0;
    if (!ParseUnsigned(argument, 0xFFFFFFFFu, id)) return Refused(scpi::kIllegalValue, "invalid view identifier");
    int stream = -1;
    for (std::size_t i = 0; i < in.s.views.size(); ++i) {
        if (in.s.views[i].type == "VITA49_IQ") ++stream;
        if (in.s.views[i].id == id) {
            in.s.selectedView = static_cast<int>(i);
            if (in.s.views[i].type == "VITA49_IQ") in.s.selectedStream = stream;
            return Done();
        }
    }
    return Refused(scpi::kIllegalValue, "no such view");
}

Outcome SelectedView(Instrument& in, std::string_view) {
    if (in.s.selectedView < 0) return Refused(scpi::kSettingsConflict, "no view selected");
    return Answer(std::to_string(in.s.views[static_cast<std::size_t>(in.s.selectedView)].id));
}

// The IQ streams and where they go.

Outcome AddStream(Instrument& in, std::string_view argument) {
    std::string type;
    if (!ParseQuoted(argument, type) || type != "VITA49_IQ") return Refused(scpi::kIllegalValue, "invalid stream type");
    if (in.s.streams.size() >= 16) return Refused(scpi::kTooMuchData, "too many streams");
    in.s.views.push_back({type, NextViewId(in.s.views)});
    in.s.streams.emplace_back();
    in.s.selectedView = static_cast<int>(in.s.views.size()) - 1;
    in.s.selectedStream = static_cast<int>(in.s.streams.size()) - 1;
    return Answer(Quoted(type) + "," + std::to_string(in.s.views.back().id));
}

Outcome SelectStream(Instrument& in, std::string_view argument) {
    std::uint64_t n = 0;
    if (!ParseUnsigned(argument, 0xFFFFFFFFu, n) || n == 0 || n > in.s.streams.size())
        return Refused(scpi::kIllegalValue, "no such stream");
    in.s.selectedStream = static_cast<int>(n - 1);
    return Done();
}

Outcome SelectedStreamNumber(Instrument& in, std::string_view) {
    if (SelectedStream(in.s) == nullptr) return Refused(scpi::kSettingsConflict, "no stream selected");
    return Answer(std::to_string(in.s.selectedStream + 1));
}

Outcome SetStreamId(Instrument& in, std::string_view argument) {
    StreamSettings* stream = SelectedStream(in.s);
    std::uint64_t id = 0;
    if (stream == nullptr) return Refused(scpi::kSettingsConflict, "no stream selected");
    if (!ParseUnsigned(argument, 0xFFFFFFFFu, id)) return Refused(scpi::kIllegalValue, "invalid stream identifier");
    stream->streamId = static_cast<std::uint32_t>(id);
    return Done();
}

Outcome StreamId(Instrument& in, std::string_view) {
    const StreamSettings* stream = SelectedStream(in.s);
    if (stream == nullptr) return Refused(scpi::kSettingsConflict, "no stream selected");
    return Answer(std::to_string(stream->streamId));
}

Outcome SetStreamType(Instrument& in, std::string_view argument) {
    StreamSettings* stream = SelectedStream(in.s);
    LinkType type = LinkType::None;
    if (stream == nullptr) return Refused(scpi::kSettingsConflict, "no stream selected");
    if (!ParseLinkType(argument, type)) return Refused(scpi::kIllegalValue, "invalid connection type");
    stream->type = type;
    return Done();
}

Outcome StreamType(Instrument& in, std::string_view) {
    const StreamSettings* stream = SelectedStream(in.s);
    if (stream == nullptr) return Refused(scpi::kSettingsConflict, "no stream selected");
    return Answer(LinkTypeName(stream->type));
}

Outcome SetStreamAddress(Instrument& in, std::string_view argument) {
    StreamSettings* stream = SelectedStream(in.s);
    std::string address;
    std::uint8_t parts[4];
    if (stream == nullptr) return Refused(scpi::kSettingsConflict, "no stream selected");
    if (!ParseQuoted(argument, address)) return Refused(scpi::kIllegalValue, "invalid address");
    // Empty is allowed: TCP_CLIENT streams need no destination.
    if (!address.empty() && !ParseIPv4(address, parts)) return Refused(scpi::kIllegalValue, "invalid address");
    stream->address = address;
    return Done();
}

Outcome StreamAddress(Instrument& in, std::string_view) {
    const StreamSettings* stream = SelectedStream(in.s);
    if (stream == nullptr) return Refused(scpi::kSettingsConflict, "no stream selected");
    return Answer("'" + stream->address + "'");
}

Outcome SetStreamPort(Instrument& in, std::string_view argument) {
    StreamSettings* stream = SelectedStream(in.s);
    std::uint64_t port = 0;
    if (stream == nullptr) return Refused(scpi::kSettingsConflict, "no stream selected");
    if (!ParseUnsigned(argument, 65535, port) || port == 0) return Refused(scpi::kIllegalValue, "invalid port");
    stream->port = static_cast<std::uint16_t>(port);
    return Done();
}

Outcome StreamPort(Instrument& in, std::string_view) {
    const StreamSettings* stream = SelectedStream(in.s);
    if (stream == nullptr) return Refused(scpi::kSettingsConflict, "no stream selected");
    return Answer(std::to_string(stream->port));
}

// Why the selected stream cannot be sent, or nullptr when its destination is complete.
const char* IncompleteDestination(const StreamSettings& stream) {
    if (stream.type == LinkType::None) return "no connection type";
    if (stream.port == 0) return "no port";
    if (stream.type == LinkType::TcpClient) return nullptr; // the application connects
    std::uint8_t parts[4];
    if (!ParseIPv4(stream.address, parts)) return "no destination address";
    if ((stream.type == LinkType::UdpMulticast) != IsMulticast(parts))
        return stream.type == LinkType::UdpMulticast ? "not a multicast group" : "multicast address";
    return nullptr;
}

Outcome OpenStream(Instrument& in, std::string_view argument) {
    if (!argument.empty()) return Refused(scpi::kParameterNotAllowed, "parameter not allowed");
    const StreamSettings* stream = SelectedStream(in.s);
    if (stream == nullptr) return Refused(scpi::kSettingsConflict, "no stream selected");
    if (in.s.openStream >= 0) return Done(); // already streaming: nothing to do
    if (const char* why = IncompleteDestination(*stream)) return Refused(scpi::kSettingsConflict, why);
    in.s.openStream = in.s.selectedStream;
    return Done(Effect::OpenStream);
}

Outcome CloseStream(Instrument& in, std::string_view argument) {
    if (!argument.empty()) return Refused(scpi::kParameterNotAllowed, "parameter not allowed");
    const bool wasOpen = in.s.openStream >= 0;
    in.s.openStream = -1;
    return Done(wasOpen ? Effect::CloseStream : Effect::None);
}

Outcome StreamState(Instrument& in, std::string_view) { return Answer(in.s.openStream >= 0 ? "OPEN" : "CLOSED"); }

// The IQ stream's parameters: every change is one the stream must follow at once.

Outcome SetTune(Instrument& in, std::string_view argument) {
    double hz = 0;
    if (!ParseFrequency(argument, hz) || hz > static_cast<double>(Limits::kMaxTuneHz))
        return Refused(scpi::kDataOutOfRange, "tuning frequency out of range");
    in.s.iq.tuneHz = static_cast<std::uint64_t>(std::llround(hz));
    return Done(Effect::ParametersChanged);
}

Outcome Tune(Instrument& in, std::string_view) { return Answer(std::to_string(in.s.iq.tuneHz)); }

Outcome SetCbw(Instrument& in, std::string_view argument) {
    double hz = 0;
    if (!ParseFrequency(argument, hz) || hz < Limits::kMinCbwHz || hz > Limits::kMaxCbwHz)
        return Refused(scpi::kDataOutOfRange, "CBW out of range");
    in.s.iq.cbwHz = static_cast<std::uint32_t>(std::llround(hz));
    return Done(Effect::ParametersChanged);
}

Outcome Cbw(Instrument& in, std::string_view) { return Answer(std::to_string(in.s.iq.cbwHz)); }

Outcome SetOversampling(Instrument& in, std::string_view argument) {
    bool on = false;
    if (!ParseBool(argument, on)) return Refused(scpi::kIllegalValue, "invalid boolean");
    in.s.iq.oversampling = on;
    return Done(Effect::ParametersChanged);
}

Outcome Oversampling(Instrument& in, std::string_view) { return Answer(in.s.iq.oversampling ? "ON" : "OFF"); }

Outcome SetPayloadLimit(Instrument& in, std::string_view argument) {
    std::uint64_t limit = 0;
    if (!ParseUnsigned(argument, Limits::kMaxPayloadLimit, limit) || limit < Limits::kMinPayloadLimit)
        return Refused(scpi::kDataOutOfRange, "payload limit out of range");
    in.s.iq.payloadLimit = static_cast<std::uint32_t>(limit);
    return Done(Effect::ParametersChanged);
}

Outcome PayloadLimit(Instrument& in, std::string_view) { return Answer(std::to_string(in.s.iq.payloadLimit)); }

Outcome SetPayloadFormat(Instrument& in, std::string_view argument) {
    if (EqualNoCase(argument, "I16Q16"))
        in.s.iq.itemBits = 16;
    else if (EqualNoCase(argument, "I32Q32"))
        in.s.iq.itemBits = 32;
    else
        return Refused(scpi::kIllegalValue, "invalid payload format");
    return Done(Effect::ParametersChanged);
}

Outcome PayloadFormat(Instrument& in, std::string_view) { return Answer(in.s.iq.itemBits == 32 ? "I32Q32" : "I16Q16"); }

Outcome SampleRate(Instrument& in, std::string_view) { return Answer(FormatHz(in.s.iq.SampleRateHz())); }

// The instrument itself.

Outcome Identity(Instrument& in, std::string_view) { return Answer(in.s.identity); }

Outcome NextError(Instrument& in, std::string_view) {
    if (in.errorQueue.empty()) return Answer("0,\"No error\"");
    const std::string oldest = in.errorQueue.front();
    in.errorQueue.erase(in.errorQueue.begin());
    return Answer(oldest);
}

using Handler = Outcome (*)(Instrument&, std::string_view argument);

struct CommandRow {
    const char* header;           // canonical mnemonics, short form in upper case
    Handler set;                  // nullptr: query only
    Handler query;                // nullptr: no query
    bool queryTakesArgument = false; // the add queries name what to add; other queries take none
};

constexpr CommandRow kCommands[] = {
    {"TASK:LIST", nullptr, ListTasks},
    {"TASK:SELect", SelectTask, SelectedTask},
    {"TASK:ADD", nullptr, AddTask, true},
    {"VIEW:LIST", nullptr, ListViews},
    {"VIEW:SELect", SelectView, SelectedView},
    {"STReam:ADD", nullptr, AddStream, true},
    {"STReam:SELect", SelectStream, SelectedStreamNumber},
    {"STReam:CONNection:IDN", SetStreamId, StreamId},
    {"STReam:CONNection:TYPE", SetStreamType, StreamType},
    {"STReam:CONNection:ADDRess", SetStreamAddress, StreamAddress},
    {"STReam:CONNection:PORT", SetStreamPort, StreamPort},
    {"STReam:CONNection:OPEN", OpenStream, nullptr},
    {"STReam:CONNection:CLOSe", CloseStream, nullptr},
    {"STReam:CONNection:STATe", nullptr, StreamState},
    {"IQSTream:FREQuency:TUNE", SetTune, Tune},
    {"IQSTream:CBW", SetCbw, Cbw},
    {"IQSTream:OVERsampling", SetOversampling, Oversampling},
    {"IQSTream:PAYLoad:LIMit", SetPayloadLimit, PayloadLimit},
    {"IQSTream:PAYLoad:FORMat", SetPayloadFormat, PayloadFormat},
    {"IQSTream:SRATe", nullptr, SampleRate},
    {"*IDN", nullptr, Identity},
    {"SYSTem:ERRor", nullptr, NextError},
};

const CommandRow* FindCommand(std::string_view header) {
    for (const CommandRow& row : kCommands)
        if (MatchHeader(header, row.header)) return &row;
    return nullptr;
}

} // namespace

CommandResult CommandInterpreter::Dispatch(std::string_view header, bool query, std::string_view argument) {
    const CommandRow* row = FindCommand(header);
    // The header says which command is unknown; it holds no quote (checked in Execute).
    if (row == nullptr)
        return Refuse(scpi::kUndefinedHeader,
                      header.size() <= 64 ? std::string(header) : std::string(header.substr(0, 64)) + "...");
    const Handler handler = query ? row->query : row->set;
    if (handler == nullptr) return Refuse(scpi::kUndefinedHeader, query ? "not a query" : "query only");
    if (query && !row->queryTakesArgument && !argument.empty())
        return Refuse(scpi::kParameterNotAllowed, "parameter not allowed");

    Instrument instrument{state_, errorQueue_};
    Outcome outcome = handler(instrument, argument);
    if (outcome.refusal != nullptr) return Refuse(outcome.error, outcome.refusal);
    CommandResult result;
    result.accepted = true;
    result.answer = std::move(outcome.answer);
    result.effect = outcome.effect;
    return result;
}

} // namespace vita49::sim
