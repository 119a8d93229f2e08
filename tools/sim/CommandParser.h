#pragma once

// The simulated instrument's command interpreter: one command line in, an answer and a state
// change out. No sockets, no threads, no clock, so that tests and fuzzers can drive it line
// by line.
//
// Headers follow SCPI mnemonic rules: keywords separated by ':', matched without regard to
// case, each either in its short form (the upper-case letters of the canonical mnemonic,
// "STR" for "STReam") or its long form ("STREAM"). A trailing '?' makes a query. One blank
// separates the header from the argument.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vita49::sim {

// Stream connection types, valued as the library's CONNECTION_TYPE; None until one is set.
enum class LinkType : std::int8_t { None = -1, TcpServer = 0, TcpClient = 1, UdpSinglecast = 2, UdpMulticast = 3 };
// The name the command channel uses ("NONE" for None).
std::string LinkTypeName(LinkType type);

struct TaskEntry {
    std::string type;
    std::string name;
};

struct ViewEntry {
    std::string type;
    std::uint32_t id = 0;
};

// Where the instrument sends one IQ stream.
struct StreamSettings {
    std::uint32_t streamId = 0;
    LinkType type = LinkType::None;
    std::string address; // destination for TCP_SERVER and the UDP types; unused for TCP_CLIENT
    std::uint16_t port = 0;
};

// Parameters of the IQ stream. The sample rate follows from CBW and oversampling.
struct IqParams {
    std::uint64_t tuneHz = 1000000000;
    std::uint32_t cbwHz = 1000000;
    bool oversampling = true;
    std::uint32_t payloadLimit = 8192; // bytes of samples per IF data packet, at most
    std::uint8_t itemBits = 16;        // 16: I16Q16, 32: I32Q32

    // Sample rate as the fraction rateNumerator / rateDenominator hertz: CBW x 5/4 with
    // oversampling, CBW without.
    std::uint64_t RateNumerator() const { return oversampling ? std::uint64_t{cbwHz} * 5 : cbwHz; }
    std::uint64_t RateDenominator() const { return oversampling ? 4 : 1; }
    double SampleRateHz() const {
        return static_cast<double>(RateNumerator()) / static_cast<double>(RateDenominator());
    }
};

bool operator==(const IqParams& a, const IqParams& b);

// Value ranges the instrument accepts.
struct Limits {
    static constexpr std::uint64_t kMaxTuneHz = 100000000000ull;
    static constexpr std::uint32_t kMinCbwHz = 1000;
    static constexpr std::uint32_t kMaxCbwHz = 80000000;
    static constexpr std::uint32_t kMinPayloadLimit = 16;
    static constexpr std::uint32_t kMaxPayloadLimit = 65000;
    static constexpr std::size_t kMaxArgumentChars = 255;
};

// Everything the command channel can see or change. Views are one list for the whole
// instrument; every VITA49_IQ view owns one IQ stream, numbered from 1 in list order.
struct InstrumentState {
    std::vector<TaskEntry> tasks;
    int selectedTask = -1;
    std::vector<ViewEntry> views;
    int selectedView = -1;
    std::vector<StreamSettings> streams;
    int selectedStream = -1; // index into streams
    int openStream = -1;     // index of the stream that is streaming, -1 when none
    IqParams iq;
    std::string identity = "vita49,vita49-sim,0,1.0";
};

bool operator==(const InstrumentState& a, const InstrumentState& b);
inline bool operator!=(const InstrumentState& a, const InstrumentState& b) { return !(a == b); }

// An instrument as it powers up: one spectrum task with its view, no streaming task yet.
InstrumentState DefaultInstrumentState();

// An entry of the SCPI error queue: the standard's code and text; the reason for this
// instrument goes after a ';' in the answer: -222,"Data out of range;CBW out of range".
struct ScpiError {
    int code;
    const char* text;
};

namespace scpi {
inline constexpr ScpiError kInvalidCharacter{-101, "Invalid character"};
inline constexpr ScpiError kSyntaxError{-102, "Syntax error"};
inline constexpr ScpiError kParameterNotAllowed{-108, "Parameter not allowed"};
inline constexpr ScpiError kUndefinedHeader{-113, "Undefined header"};
inline constexpr ScpiError kSettingsConflict{-221, "Settings conflict"};
inline constexpr ScpiError kDataOutOfRange{-222, "Data out of range"};
inline constexpr ScpiError kTooMuchData{-223, "Too much data"};
inline constexpr ScpiError kIllegalValue{-224, "Illegal parameter value"};
inline constexpr ScpiError kQueueOverflow{-350, "Queue overflow"};
} // namespace scpi

// What the caller has to do after a command.
enum class Effect { None, OpenStream, CloseStream, ParametersChanged };

struct CommandResult {
    bool accepted = false;
    std::string answer; // complete answer text including "\r\n"; empty for commands
    Effect effect = Effect::None;
    std::string error;  // why a line was refused
};

// True when `keyword` is the short or the long form of `mnemonic` (case ignored).
bool MatchKeyword(std::string_view keyword, std::string_view mnemonic);
// True when the header (without '?') matches the ':'-separated mnemonics of `pattern`.
bool MatchHeader(std::string_view header, std::string_view pattern);

// Parses "<number>[ ][unit]" with unit Hz, kHz, MHz or GHz (case ignored; none means Hz).
// Fails on anything else, on negative values and on values beyond 2^64 Hz.
bool ParseFrequency(std::string_view text, double& hz);

class CommandInterpreter {
public:
    explicit CommandInterpreter(InstrumentState initial = DefaultInstrumentState());

    // Executes one line ("\n" and a "\r" before it are removed). A refused line changes
    // nothing, answers nothing and counts as an error. A blank line is ignored.
    CommandResult Execute(std::string_view line);

    const InstrumentState& State() const { return state_; }
    // The stream stopped on its own (a fault disconnect): the instrument reports it closed.
    void MarkStreamClosed() { state_.openStream = -1; }
    // A line refused before it could be parsed (the server drops over-long lines whole).
    void CountMalformed(ScpiError error, std::string why) { Refuse(error, std::move(why)); }

    std::uint64_t ErrorCount() const { return errors_; }
    std::uint64_t AcceptedCount() const { return accepted_; }

private:
    CommandResult Refuse(ScpiError error, std::string why);
    CommandResult Dispatch(std::string_view header, bool query, std::string_view argument);

    InstrumentState state_;
    std::uint64_t errors_ = 0;
    std::uint64_t accepted_ = 0;
    // SCPI error queue, read with SYSTem:ERRor?: whole answer texts, oldest first. When full,
    // its last entry says that errors were lost.
    static constexpr std::size_t kErrorQueueEntries = 32;
    std::vector<std::string> errorQueue_;
};

} // namespace vita49::sim
