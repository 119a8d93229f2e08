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
    RETURN_CODE SendValue(const char* prefix, unsigned long value, const char* suffix);
    // Sends one command line, which already ends in "\n", with its exact length.
    RETURN_CODE SendCommand(const std::string& line);
    // One receive of at most 1024 bytes within 3000 ms; the text ends at its first NUL.
    RETURN_CODE ReadResponse(std::string& text, std::size_t& received);

    Vita49_Base_Settings settings{};
    vita49::net::SocketConnection connection;
};
