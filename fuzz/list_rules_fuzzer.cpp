// The two list rules of the streaming set-up fed an arbitrary answer, taken as the command
// channel takes it: up to 1024 received bytes, the text ending at the first NUL. Whatever
// they pick must come from the answer and must make exactly one command line.

#include <algorithm>
#include <cstdint>
#include <string>

#include "fuzz/FuzzInput.h"
#include "remote/CommandSequences.h"

using namespace vita49::remote;

namespace {

bool OneLine(const std::string& line) {
    return !line.empty() && line.back() == '\n' && std::count(line.begin(), line.end(), '\n') == 1 &&
           line.find('\r') == std::string::npos;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::size_t received = std::min<std::size_t>(size, 1024);
    const char* chars = reinterpret_cast<const char*>(data);
    const std::string text(chars, std::find(chars, chars + received, '\0'));

    std::string name = "unset";
    if (FindTaskName(text, name)) {
        const std::size_t p = text.find("\"RT_STREAMING\"");
        FUZZ_CHECK(p != std::string::npos && p + 16 <= text.size());
        FUZZ_CHECK(text.compare(p + 16, name.size(), name) == 0);
        FUZZ_CHECK(name.find('"') == std::string::npos);
        FUZZ_CHECK(OneLine("TASK:SELect \"" + name + "\"\n"));
    }

    std::string id = "unset";
    if (FindViewId(text, received, id)) {
        const std::size_t q = text.find("\"VITA49_IQ\"");
        FUZZ_CHECK(q != std::string::npos && q + 12 <= text.size());
        FUZZ_CHECK(text.compare(q + 12, id.size(), id) == 0);
        FUZZ_CHECK(OneLine("VIEW:SELect " + id + "\n"));
    }

    // The same rules on answers that carry their NUL terminator or stop short of it.
    for (std::size_t r : {text.size(), text.size() + 1, received + 2}) {
        std::string view;
        if (FindViewId(text, r, view)) FUZZ_CHECK(OneLine("VIEW:SELect " + view + "\n"));
    }
    return 0;
}
