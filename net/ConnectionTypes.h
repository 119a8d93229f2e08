#pragma once

// The connection types by name: the text the instrument's command channel uses and the
// spelling command lines use, in one table for the library, the simulated instrument and the
// tools. Header-only on purpose: the tools also link a shared build of the library, which
// exports nothing but the public classes.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "vita49/Vita49Types.h"

namespace vita49::net {

struct ConnectionTypeEntry {
    CONNECTION_TYPE type;
    const char* instrumentName; // sent after "STReam:CONNection:TYPE "
    const char* optionName;     // what a command line says
};

inline constexpr ConnectionTypeEntry kConnectionTypes[] = {
    {TCP_SERVER, "TCP_SERVER", "tcp-server"},
    {TCP_CLIENT, "TCP_CLIENT", "tcp-client"},
    {UDP_SINGLECAST, "UDP_SINGLECAST", "udp"},
    {UDP_MULTICAST, "UDP_MULTICAST", "multicast"},
};

// Which spellings a text may use.
enum class ConnectionTypeSpelling {
    Instrument,  // the instrument's name only, case ignored
    CommandLine, // also the option spelling, and the instrument's name with '-' for '_'
};

namespace detail {

constexpr char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Equal with case ignored; with `dashIsUnderscore`, a '-' of `text` also stands for '_'.
constexpr bool SameName(std::string_view text, std::string_view name, bool dashIsUnderscore) {
    if (text.size() != name.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = dashIsUnderscore && text[i] == '-' ? '_' : text[i];
        if (LowerAscii(c) != LowerAscii(name[i])) return false;
    }
    return true;
}

} // namespace detail

// The instrument's name of a type; empty for a value outside the table.
inline std::string ConnectionTypeName(std::int32_t type) {
    for (const ConnectionTypeEntry& e : kConnectionTypes)
        if (e.type == type) return e.instrumentName;
    return std::string();
}

// The type `text` names; false (and `type` untouched) when it names none.
constexpr bool ParseConnectionType(std::string_view text, std::int32_t& type,
                                   ConnectionTypeSpelling spelling = ConnectionTypeSpelling::CommandLine) {
    const bool commandLine = spelling == ConnectionTypeSpelling::CommandLine;
    for (const ConnectionTypeEntry& e : kConnectionTypes) {
        if (detail::SameName(text, e.instrumentName, commandLine) ||
            (commandLine && detail::SameName(text, e.optionName, false))) {
            type = e.type;
            return true;
        }
    }
    return false;
}

} // namespace vita49::net
