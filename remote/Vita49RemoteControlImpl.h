#pragma once

#include <string>

#include "net/SocketConnection.h"
#include "vita49/Vita49RemoteControl.h"

// The remote control's implementation: a copy of the settings and the command connection.
class VITA49_LOCAL Vita49RemoteControl::Vita49RemoteControlImpl {
public:
    static constexpr std::uint16_t kCommandPort = 5300;
    static constexpr std::int32_t kConnectMs = 100;
    static constexpr std::int32_t kResponseMs = 3000;
    static constexpr std::int32_t kResponseBytes = 1024;
    // How long Close waits for the instrument to take the last commands and close its side.
    static constexpr std::int32_t kCloseLingerMs = 200;

    Vita49RemoteControlImpl();
    virtual ~Vita49RemoteControlImpl();
    Vita49RemoteControlImpl(const Vita49RemoteControlImpl&) = delete;
    Vita49RemoteControlImpl& operator=(const Vita49RemoteControlImpl&) = delete;

    RETURN_CODE Open();
    RETURN_CODE Close();

    RETURN_CODE InitVita49Streaming();
    // A 32-bit command field: RC_INVALID_ARGUMENT, sending nothing, for a wider value.
    RETURN_CODE SendValue(const char* prefix, unsigned long value, const char* suffix);
    // The full decimal value.
    RETURN_CODE SendDecimal(const char* prefix, std::uint64_t value, const char* suffix);
    // Sends one command line, which already ends in "\n", with its exact length.
    RETURN_CODE SendCommand(const std::string& line);
    // One receive of at most 1024 bytes within `timeoutMs`; the text ends at its first NUL.
    vita49::net::Received ReadResponse(std::string& text, std::size_t& received, std::int32_t timeoutMs = kResponseMs);
    // A query whose answer is one line (*IDN?, SYSTem:ERRor?): the answers still owed to
    // earlier queries are read and dropped first, then the answer's first line is taken,
    // without its line end.
    RETURN_CODE AskLine(const std::string& query, std::string& line);

    Vita49_Base_Settings settings{};
    vita49::net::SocketConnection connection;

private:
    // Answer lines the instrument owes: one per query sent, less the line ends read since.
    // The add queries of the set-up are sent without reading their answers, and a list read
    // may take an earlier answer instead of its own; the one-line queries must not.
    std::size_t answersOwed_ = 0;
};
