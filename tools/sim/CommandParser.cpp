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

std::string Line(const std::string& text) { return text + "\r\n"; }

std::string FormatHz(double hz) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.17g", hz);
    return buffer;
}

// Command table. Each entry: the canonical header, whether it may be set and queried, and
// whether the query takes an argument.
enum class Cmd {
    TaskList,
    TaskSelect,
    TaskAdd,
    ViewList,
    ViewSelect,
    StreamAdd,
    StreamSelect,
    StreamIdn,
    StreamType,
    StreamAddress,
    StreamPort,
    StreamOpen,
    StreamClose,
    StreamState,
    Tune,
    Cbw,
    Oversampling,
    PayloadLimit,
    PayloadFormat,
    SampleRate,
    Identify,
    SystemError,
};

struct CommandEntry {
    Cmd cmd;
    const char* pattern;
    bool settable;
    bool queryable;
};

constexpr CommandEntry kCommands[] = {
    {Cmd::TaskList, "TASK:LIST", false, true},
    {Cmd::TaskSelect, "TASK:SELect", true, true},
    {Cmd::TaskAdd, "TASK:ADD", false, true},
    {Cmd::ViewList, "VIEW:LIST", false, true},
    {Cmd::ViewSelect, "VIEW:SELect", true, true},
    {Cmd::StreamAdd, "STReam:ADD", false, true},
    {Cmd::StreamSelect, "STReam:SELect", true, true},
    {Cmd::StreamIdn, "STReam:CONNection:IDN", true, true},
    {Cmd::StreamType, "STReam:CONNection:TYPE", true, true},
    {Cmd::StreamAddress, "STReam:CONNection:ADDRess", true, true},
    {Cmd::StreamPort, "STReam:CONNection:PORT", true, true},
    {Cmd::StreamOpen, "STReam:CONNection:OPEN", true, false},
    {Cmd::StreamClose, "STReam:CONNection:CLOSe", true, false},
    {Cmd::StreamState, "STReam:CONNection:STATe", false, true},
    {Cmd::Tune, "IQSTream:FREQuency:TUNE", true, true},
    {Cmd::Cbw, "IQSTream:CBW", true, true},
    {Cmd::Oversampling, "IQSTream:OVERsampling", true, true},
    {Cmd::PayloadLimit, "IQSTream:PAYLoad:LIMit", true, true},
    {Cmd::PayloadFormat, "IQSTream:PAYLoad:FORMat", true, true},
    {Cmd::SampleRate, "IQSTream:SRATe", false, true},
    {Cmd::Identify, "*IDN", false, true},
    {Cmd::SystemError, "SYSTem:ERRor", false, true},
};

// Queries whose argument names what to add; every other query takes none.
bool QueryTakesArgument(Cmd cmd) { return cmd == Cmd::TaskAdd || cmd == Cmd::StreamAdd; }

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

CommandResult CommandInterpreter::Refuse(std::string why) {
    ++errors_;
    if (errorQueue_.size() < 32) errorQueue_.push_back(why);
    CommandResult r;
    r.error = std::move(why);
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
        if (!ok) return Refuse("invalid character in header");
    }
    if (!header.empty() && header.front() == ':') header.remove_prefix(1);
    bool query = false;
    if (!header.empty() && header.back() == '?') {
        query = true;
        header.remove_suffix(1);
    }
    if (header.find('?') != std::string_view::npos) return Refuse("invalid header");
    CommandResult r = Dispatch(header, query, argument);
    if (r.accepted) ++accepted_;
    return r;
}

CommandResult CommandInterpreter::Dispatch(std::string_view header, bool query, std::string_view argument) {
    const CommandEntry* entry = nullptr;
    for (const CommandEntry& c : kCommands) {
        if (MatchHeader(header, c.pattern)) {
            entry = &c;
            break;
        }
    }
    if (entry == nullptr) return Refuse("undefined header");
    if (query ? !entry->queryable : !entry->settable) return Refuse(query ? "not a query" : "query only");
    if (query && !QueryTakesArgument(entry->cmd) && !argument.empty()) return Refuse("parameter not allowed");

    InstrumentState& s = state_;
    CommandResult ok;
    ok.accepted = true;

    auto needStream = [&]() { return s.selectedStream >= 0 && s.selectedStream < static_cast<int>(s.streams.size()); };

    if (query) {
        switch (entry->cmd) {
        case Cmd::TaskList: {
            std::string text;
            for (const TaskEntry& t : s.tasks) text += (text.empty() ? "" : ",") + Quoted(t.type) + "," + Quoted(t.name);
            ok.answer = Line(text);
            return ok;
        }
        case Cmd::ViewList: {
            std::string text;
            for (const ViewEntry& v : s.views)
                text += (text.empty() ? "" : ",") + Quoted(v.type) + "," + std::to_string(v.id);
            ok.answer = Line(text);
            return ok;
        }
        case Cmd::TaskAdd: {
            std::string type;
            if (!ParseQuoted(argument, type) || !ValidTypeName(type)) return Refuse("invalid task type");
            if (s.tasks.size() >= 64) return Refuse("too many tasks");
            s.tasks.push_back({type, TaskName(type, s.tasks)});
            s.selectedTask = static_cast<int>(s.tasks.size()) - 1;
            ok.answer = Line(Quoted(type) + "," + Quoted(s.tasks.back().name));
            return ok;
        }
        case Cmd::StreamAdd: {
            std::string type;
            if (!ParseQuoted(argument, type) || type != "VITA49_IQ") return Refuse("invalid stream type");
            if (s.streams.size() >= 16) return Refuse("too many streams");
            s.views.push_back({type, NextViewId(s.views)});
            s.streams.emplace_back();
            s.selectedView = static_cast<int>(s.views.size()) - 1;
            s.selectedStream = static_cast<int>(s.streams.size()) - 1;
            ok.answer = Line(Quoted(type) + "," + std::to_string(s.views.back().id));
            return ok;
        }
        case Cmd::TaskSelect:
            if (s.selectedTask < 0) return Refuse("no task selected");
            ok.answer = Line(Quoted(s.tasks[static_cast<std::size_t>(s.selectedTask)].name));
            return ok;
        case Cmd::ViewSelect:
            if (s.selectedView < 0) return Refuse("no view selected");
            ok.answer = Line(std::to_string(s.views[static_cast<std::size_t>(s.selectedView)].id));
            return ok;
        case Cmd::StreamSelect:
            if (!needStream()) return Refuse("no stream selected");
            ok.answer = Line(std::to_string(s.selectedStream + 1));
            return ok;
        case Cmd::StreamIdn:
            if (!needStream()) return Refuse("no stream selected");
            ok.answer = Line(std::to_string(s.streams[static_cast<std::size_t>(s.selectedStream)].streamId));
            return ok;
        case Cmd::StreamType:
            if (!needStream()) return Refuse("no stream selected");
            ok.answer = Line(LinkTypeName(s.streams[static_cast<std::size_t>(s.selectedStream)].type));
            return ok;
        case Cmd::StreamAddress:
            if (!needStream()) return Refuse("no stream selected");
            ok.answer = Line("'" + s.streams[static_cast<std::size_t>(s.selectedStream)].address + "'");
            return ok;
        case Cmd::StreamPort:
            if (!needStream()) return Refuse("no stream selected");
            ok.answer = Line(std::to_string(s.streams[static_cast<std::size_t>(s.selectedStream)].port));
            return ok;
        case Cmd::StreamState:
            ok.answer = Line(s.openStream >= 0 ? "OPEN" : "CLOSED");
            return ok;
        case Cmd::Tune:
            ok.answer = Line(std::to_string(s.iq.tuneHz));
            return ok;
        case Cmd::Cbw:
            ok.answer = Line(std::to_string(s.iq.cbwHz));
            return ok;
        case Cmd::Oversampling:
            ok.answer = Line(s.iq.oversampling ? "ON" : "OFF");
            return ok;
        case Cmd::PayloadLimit:
            ok.answer = Line(std::to_string(s.iq.payloadLimit));
            return ok;
        case Cmd::PayloadFormat:
            ok.answer = Line(s.iq.itemBits == 32 ? "I32Q32" : "I16Q16");
            return ok;
        case Cmd::SampleRate:
            ok.answer = Line(FormatHz(s.iq.SampleRateHz()));
            return ok;
        case Cmd::Identify:
            ok.answer = Line(s.identity);
            return ok;
        case Cmd::SystemError:
            if (errorQueue_.empty()) {
                ok.answer = Line("0,\"No error\"");
            } else {
                ok.answer = Line("-100,\"" + errorQueue_.front() + "\"");
                errorQueue_.erase(errorQueue_.begin());
            }
            return ok;
        default:
            return Refuse("not a query");
        }
    }

    switch (entry->cmd) {
    case Cmd::TaskSelect: {
        std::string name;
        if (!ParseQuoted(argument, name)) return Refuse("invalid task name");
        for (std::size_t i = 0; i < s.tasks.size(); ++i) {
            if (s.tasks[i].name == name) {
                s.selectedTask = static_cast<int>(i);
                return ok;
            }
        }
        return Refuse("no such task");
    }
    case Cmd::ViewSelect: {
        std::uint64_t id = 0;
        if (!ParseUnsigned(argument, 0xFFFFFFFFu, id)) return Refuse("invalid view identifier");
        int stream = -1;
        for (std::size_t i = 0; i < s.views.size(); ++i) {
            if (s.views[i].type == "VITA49_IQ") ++stream;
            if (s.views[i].id == id) {
                s.selectedView = static_cast<int>(i);
                if (s.views[i].type == "VITA49_IQ") s.selectedStream = stream;
                return ok;
            }
        }
        return Refuse("no such view");
    }
    case Cmd::StreamSelect: {
        std::uint64_t n = 0;
        if (!ParseUnsigned(argument, 0xFFFFFFFFu, n) || n == 0 || n > s.streams.size())
            return Refuse("no such stream");
        s.selectedStream = static_cast<int>(n - 1);
        return ok;
    }
    case Cmd::StreamIdn: {
        std::uint64_t id = 0;
        if (!needStream()) return Refuse("no stream selected");
        if (!ParseUnsigned(argument, 0xFFFFFFFFu, id)) return Refuse("invalid stream identifier");
        s.streams[static_cast<std::size_t>(s.selectedStream)].streamId = static_cast<std::uint32_t>(id);
        return ok;
    }
    case Cmd::StreamType: {
        LinkType type = LinkType::None;
        if (!needStream()) return Refuse("no stream selected");
        if (!ParseLinkType(argument, type)) return Refuse("invalid connection type");
        s.streams[static_cast<std::size_t>(s.selectedStream)].type = type;
        return ok;
    }
    case Cmd::StreamAddress: {
        std::string address;
        std::uint8_t parts[4];
        if (!needStream()) return Refuse("no stream selected");
        if (!ParseQuoted(argument, address)) return Refuse("invalid address");
        // Empty is allowed: TCP_CLIENT streams need no destination.
        if (!address.empty() && !ParseIPv4(address, parts)) return Refuse("invalid address");
        s.streams[static_cast<std::size_t>(s.selectedStream)].address = address;
        return ok;
    }
    case Cmd::StreamPort: {
        std::uint64_t port = 0;
        if (!needStream()) return Refuse("no stream selected");
        if (!ParseUnsigned(argument, 65535, port) || port == 0) return Refuse("invalid port");
        s.streams[static_cast<std::size_t>(s.selectedStream)].port = static_cast<std::uint16_t>(port);
        return ok;
    }
    case Cmd::StreamOpen: {
        if (!argument.empty()) return Refuse("parameter not allowed");
        if (!needStream()) return Refuse("no stream selected");
        if (s.openStream >= 0) return ok; // already streaming: nothing to do
        const StreamSettings& st = s.streams[static_cast<std::size_t>(s.selectedStream)];
        if (st.type == LinkType::None) return Refuse("no connection type");
        if (st.port == 0) return Refuse("no port");
        if (st.type != LinkType::TcpClient) {
            std::uint8_t parts[4];
            if (!ParseIPv4(st.address, parts)) return Refuse("no destination address");
            if ((st.type == LinkType::UdpMulticast) != IsMulticast(parts))
                return Refuse(st.type == LinkType::UdpMulticast ? "not a multicast group" : "multicast address");
        }
        s.openStream = s.selectedStream;
        ok.effect = Effect::OpenStream;
        return ok;
    }
    case Cmd::StreamClose:
        if (!argument.empty()) return Refuse("parameter not allowed");
        if (s.openStream >= 0) ok.effect = Effect::CloseStream;
        s.openStream = -1;
        return ok;
    case Cmd::Tune: {
        double hz = 0;
        if (!ParseFrequency(argument, hz) || hz > static_cast<double>(Limits::kMaxTuneHz))
            return Refuse("tuning frequency out of range");
        s.iq.tuneHz = static_cast<std::uint64_t>(std::llround(hz));
        ok.effect = Effect::ParametersChanged;
        return ok;
    }
    case Cmd::Cbw: {
        double hz = 0;
        if (!ParseFrequency(argument, hz) || hz < Limits::kMinCbwHz || hz > Limits::kMaxCbwHz)
            return Refuse("CBW out of range");
        s.iq.cbwHz = static_cast<std::uint32_t>(std::llround(hz));
        ok.effect = Effect::ParametersChanged;
        return ok;
    }
    case Cmd::Oversampling: {
        bool on = false;
        if (!ParseBool(argument, on)) return Refuse("invalid boolean");
        s.iq.oversampling = on;
        ok.effect = Effect::ParametersChanged;
        return ok;
    }
    case Cmd::PayloadLimit: {
        std::uint64_t limit = 0;
        if (!ParseUnsigned(argument, Limits::kMaxPayloadLimit, limit) || limit < Limits::kMinPayloadLimit)
            return Refuse("payload limit out of range");
        s.iq.payloadLimit = static_cast<std::uint32_t>(limit);
        ok.effect = Effect::ParametersChanged;
        return ok;
    }
    case Cmd::PayloadFormat:
        if (EqualNoCase(argument, "I16Q16"))
            s.iq.itemBits = 16;
        else if (EqualNoCase(argument, "I32Q32"))
            s.iq.itemBits = 32;
        else
            return Refuse("invalid payload format");
        ok.effect = Effect::ParametersChanged;
        return ok;
    default:
        return Refuse("query only");
    }
}

} // namespace vita49::sim
