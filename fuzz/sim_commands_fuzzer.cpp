// The simulated instrument's command interpreter fed arbitrary command lines (the input split
// at line ends). Whatever arrives, the instrument state stays one it could be in: a refused
// line changes nothing and answers nothing, values stay within the instrument's limits, the
// selections point into their lists, and every answer is one line.

#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/FuzzInput.h"
#include "sim/CommandParser.h"

using namespace vita49::sim;

namespace {

bool Selects(int index, std::size_t size) { return index >= -1 && index < static_cast<int>(size); }

void CheckState(const InstrumentState& s) {
    FUZZ_CHECK(Selects(s.selectedTask, s.tasks.size()));
    FUZZ_CHECK(Selects(s.selectedView, s.views.size()));
    FUZZ_CHECK(Selects(s.selectedStream, s.streams.size()));
    FUZZ_CHECK(Selects(s.openStream, s.streams.size()));
    FUZZ_CHECK(s.tasks.size() <= 64 && s.streams.size() <= 16);
    FUZZ_CHECK(s.iq.tuneHz <= Limits::kMaxTuneHz);
    FUZZ_CHECK(s.iq.cbwHz >= Limits::kMinCbwHz && s.iq.cbwHz <= Limits::kMaxCbwHz);
    FUZZ_CHECK(s.iq.payloadLimit >= Limits::kMinPayloadLimit && s.iq.payloadLimit <= Limits::kMaxPayloadLimit);
    FUZZ_CHECK(s.iq.itemBits == 16 || s.iq.itemBits == 32);
    for (const auto& stream : s.streams) FUZZ_CHECK(stream.address.size() <= Limits::kMaxArgumentChars);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    CommandInterpreter interpreter;
    std::size_t start = 0;
    while (start < input.size()) {
        std::size_t end = input.find('\n', start);
        end = end == std::string_view::npos ? input.size() : end + 1;
        const std::string_view line = input.substr(start, end - start);
        start = end;

        const InstrumentState before = interpreter.State();
        const std::uint64_t errors = interpreter.ErrorCount();
        const CommandResult result = interpreter.Execute(line);
        if (!result.accepted) {
            FUZZ_CHECK(interpreter.State() == before);
            FUZZ_CHECK(result.answer.empty());
            FUZZ_CHECK(result.effect == Effect::None);
            FUZZ_CHECK(interpreter.ErrorCount() >= errors);
        }
        if (!result.answer.empty()) {
            FUZZ_CHECK(result.answer.size() >= 2 && result.answer.compare(result.answer.size() - 2, 2, "\r\n") == 0);
            FUZZ_CHECK(result.answer.find('\n') == result.answer.size() - 1);
        }
        CheckState(interpreter.State());

        // The argument rule on its own: a frequency is finite and never negative.
        const std::size_t blank = line.find(' ');
        double hz = -1;
        if (blank != std::string_view::npos && ParseFrequency(line.substr(blank + 1), hz))
            FUZZ_CHECK(std::isfinite(hz) && hz >= 0);
    }
    return 0;
}
