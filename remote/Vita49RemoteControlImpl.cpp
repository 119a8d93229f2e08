#include "remote/Vita49RemoteControlImpl.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "net/SocketLibrary.h"
#include "remote/CommandSequences.h"

namespace {

// A settings text up to its first NUL, even when every byte is filled.
template <std::size_t N>
std::string TextOf(const char (&chars)[N]) {
    return std::string(chars, strnlen(chars, N));
}

// A query's header ends in '?': "TASK:ADD? \"RT_STREAMING\"\n".
bool IsQuery(const std::string& line) {
    const std::size_t end = line.find_first_of(" \r\n");
    return end != 0 && end != std::string::npos && line[end - 1] == '?';
}

} // namespace

Vita49RemoteControl::Vita49RemoteControlImpl::Vita49RemoteControlImpl() { vita49::net::AcquireSocketLibrary(); }

Vita49RemoteControl::Vita49RemoteControlImpl::~Vita49RemoteControlImpl() {
    if (connection.IsOpen()) Close();
    vita49::net::ReleaseSocketLibrary();
}

RETURN_CODE Vita49RemoteControl::Vita49RemoteControlImpl::Open() {
    answersOwed_ = 0;
    const std::string remote = TextOf(settings.remoteAddress);
    RETURN_CODE rc = connection.Open(TCP_CLIENT, kCommandPort, remote.c_str(), 0, "");
    if (rc != RC_OK) return rc;
    return connection.Connect(kConnectMs);
}

RETURN_CODE Vita49RemoteControl::Vita49RemoteControlImpl::Close() {
    // Closing with unread answers in the receive queue (those of the "ADD?" queries) would
    // reset the connection, and the instrument could drop commands it has not read yet.
    connection.DrainBeforeClose(kCloseLingerMs);
    return connection.Close();
}

RETURN_CODE Vita49RemoteControl::Vita49RemoteControlImpl::SendCommand(const std::string& line) {
    const RETURN_CODE rc = connection.Send(line.data(), static_cast<std::int32_t>(line.size())).code;
    if (rc == RC_OK && IsQuery(line)) ++answersOwed_;
    return rc;
}

vita49::net::Received Vita49RemoteControl::Vita49RemoteControlImpl::ReadResponse(std::string& text,
                                                                                 std::size_t& received,
                                                                                 std::int32_t timeoutMs) {
    char buffer[kResponseBytes] = {};
    // A peer that closed gives no bytes and no error, as a quiet one would.
    const vita49::net::Received r = connection.Receive(buffer, kResponseBytes, timeoutMs);
    received = static_cast<std::size_t>(r.bytes);
    text.assign(buffer, strnlen(buffer, received));
    const auto lineEnds = static_cast<std::size_t>(std::count(buffer, buffer + received, '\n'));
    answersOwed_ -= std::min(answersOwed_, lineEnds);
    // What was not answered in time is taken as never to be answered.
    if (r.code == RC_TIMEOUT) answersOwed_ = 0;
    return r;
}

RETURN_CODE Vita49RemoteControl::Vita49RemoteControlImpl::AskLine(const std::string& query, std::string& line) {
    using vita49::net::ReceiveStatus;
    std::string text;
    std::size_t received = 0;
    // Earlier answers come first on the channel; one response time-out bounds the wait for
    // all of them, and one that does not come is forgiven (ReadResponse).
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kResponseMs);
    while (answersOwed_ > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            answersOwed_ = 0;
            break;
        }
        const vita49::net::Received r = ReadResponse(text, received, static_cast<std::int32_t>(left.count()));
        if (r.code == RC_TIMEOUT) break;
        if (r.code != RC_OK) return r.code;
        if (r.status == ReceiveStatus::PeerClosed) return RC_CONNECTION_ERROR;
    }
    // Whatever else has arrived answers nothing still asked (a late answer after a time-out);
    // the bound keeps a chattering peer from holding the call.
    for (int i = 0; i < 64; ++i) {
        const vita49::net::Received stale = ReadResponse(text, received, 0);
        if (stale.status != ReceiveStatus::Data || received == 0) break;
    }
    answersOwed_ = 0;
    RETURN_CODE rc = SendCommand(query);
    if (rc != RC_OK) return rc;
    const vita49::net::Received r = ReadResponse(text, received);
    if (r.code != RC_OK) return r.code;
    // The instrument has ended its sending direction: no answer can follow. Not a time-out,
    // which says that the instrument does not know the query.
    if (r.status == ReceiveStatus::PeerClosed) return RC_CONNECTION_ERROR;
    line = text.substr(0, text.find_first_of("\r\n"));
    return RC_OK;
}

RETURN_CODE Vita49RemoteControl::Vita49RemoteControlImpl::SendValue(const char* prefix, unsigned long value,
                                                                    const char* suffix) {
    // The command field is a 32-bit decimal: a wider value would tune somewhere else.
    if (!vita49::remote::FitsIn32(value)) return RC_INVALID_ARGUMENT;
    return SendDecimal(prefix, value, suffix);
}

RETURN_CODE Vita49RemoteControl::Vita49RemoteControlImpl::SendDecimal(const char* prefix, std::uint64_t value,
                                                                      const char* suffix) {
    return SendCommand(prefix + std::to_string(value) + suffix);
}

RETURN_CODE Vita49RemoteControl::Vita49RemoteControlImpl::InitVita49Streaming() {
    using namespace vita49::remote;
    const std::string localAddress = TextOf(settings.localAddress);
    if (!SafeQuotedText(localAddress)) return RC_INVALID_ARGUMENT;

    RETURN_CODE rc = SendCommand("TASK:LIST?\n");
    std::string list;
    std::size_t received = 0;
    if (rc == RC_OK) rc = ReadResponse(list, received).code;
    if (rc != RC_OK) return rc;
    std::string name;
    rc = FindTaskName(list, name) ? SendCommand("TASK:SELect \"" + name + "\"\n")
                                  : SendCommand("TASK:ADD? \"RT_STREAMING\"\n");
    if (rc == RC_OK) rc = SendCommand("VIEW:LIST?\n");
    if (rc == RC_OK) rc = ReadResponse(list, received).code;
    if (rc != RC_OK) return rc;
    std::string view;
    rc = FindViewId(list, received, view) ? SendCommand("VIEW:SELect " + view + "\n")
                                          : SendCommand("STReam:ADD? \"VITA49_IQ\"\n");
    if (rc == RC_OK) rc = SendCommand("STReam:Select 1\n");
    if (rc == RC_OK) rc = SendCommand("STReam:Connection:IDN " + std::to_string(settings.streamId) + "\n");
    if (rc == RC_OK) rc = SendCommand("STReam:CONNection:TYPE " + ConnectionTypeName(settings.connectionType) + "\n");
    if (rc == RC_OK) rc = SendCommand("STReam:CONNection:ADDRess '" + localAddress + "'\n");
    if (rc != RC_OK) return rc;
    const bool tcp = static_cast<std::uint32_t>(settings.connectionType) < 2;
    const std::uint16_t port = tcp ? settings.tcpPort : settings.udpPort;
    return SendCommand("STReam:CONNection:PORT " + std::to_string(port) + "\n");
}
