#include "remote/CommandSequences.h"

namespace vita49::remote {
namespace {

// A name or identifier taken from a list answer never carries a line end onward: the rest
// would reach the instrument as a command line of its own.
std::string FirstLine(std::string text) {
    const std::size_t end = text.find_first_of("\r\n");
    if (end != std::string::npos) text.erase(end);
    return text;
}

} // namespace

bool FindTaskName(const std::string& taskList, std::string& name) {
    static const std::string key = "\"RT_STREAMING\"";
    const std::size_t p = taskList.find(key);
    if (p == std::string::npos) return false;
    const std::size_t start = p + key.size() + 2; // the comma and the name's opening quote
    if (start > taskList.size()) return false;
    std::size_t end = taskList.find('"', start);
    if (end == std::string::npos) end = taskList.size();
    name = FirstLine(taskList.substr(start, end - start));
    return true;
}

bool FindViewId(const std::string& viewList, std::size_t received, std::string& id) {
    static const std::string key = "\"VITA49_IQ\"";
    const std::size_t q = viewList.find(key);
    if (q == std::string::npos) return false;
    const std::size_t start = q + key.size() + 1; // the comma
    if (start > viewList.size()) return false;
    // The last two received bytes (a line end) are never part of the identifier.
    const long long e = static_cast<long long>(received) - 2;
    const std::size_t c = viewList.find(',', start);
    long long end = e;
    if (c != std::string::npos && static_cast<long long>(c) < e) end = static_cast<long long>(c);
    if (end > static_cast<long long>(viewList.size())) end = static_cast<long long>(viewList.size());
    if (end < static_cast<long long>(start)) end = static_cast<long long>(viewList.size());
    id = FirstLine(viewList.substr(start, static_cast<std::size_t>(end) - start));
    return true;
}

bool SafeQuotedText(const std::string& text) { return text.find_first_of("\r\n'") == std::string::npos; }

} // namespace vita49::remote
