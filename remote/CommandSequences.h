#pragma once

// The command texts of the streaming set-up and the rules that take a task name and a view
// identifier from the instrument's list answers. Pure functions, so that the rules can be
// tested and fuzzed without a connection.

#include <cstddef>
#include <cstdint>
#include <string>

#include "net/ConnectionTypes.h"

namespace vita49::remote {

// The name sent after "STReam:CONNection:TYPE ", from the one table of connection types.
using net::ConnectionTypeName;

// Task name following "\"RT_STREAMING\"" in a task list: it starts two bytes after the key
// and ends before the next double quote, the end of the text or its first line end. False
// when the key is missing or ends too close to the end of the text for a name to start.
bool FindTaskName(const std::string& taskList, std::string& name);

// View identifier following "\"VITA49_IQ\"" in a view list of `received` bytes: it starts one
// byte after the key and ends at the next comma or two bytes before the end of what was
// received, whichever comes first, and before its first line end. False when the key is
// missing or ends too close to the end of the text.
bool FindViewId(const std::string& viewList, std::size_t received, std::string& id);

// A text that can stand inside single quotes on one command line.
bool SafeQuotedText(const std::string& text);

// Decimal digits of a value the 32-bit command fields can carry; false when it is wider.
template <class Unsigned>
bool FitsIn32(Unsigned value) {
    return (value >> 16 >> 16) == 0;
}

} // namespace vita49::remote
