#pragma once

// The one send loop for non-blocking sockets, shared by the connection classes and the
// simulated instrument: bytes are handed to the socket until it has taken them all, and
// whenever it has no room the loop waits for room instead of spinning. A wait ends at the
// caller's stall limit (so long without progress) or, for senders that run until told to
// stop, when the caller's stop flag is set.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "net/Platform.h"

namespace vita49::net {

// No stall limit: wait for room as long as it takes (or until the stop flag is set).
constexpr std::int32_t kNoStallLimit = -1;
// The longest wait before a stop flag is looked at again.
constexpr std::int32_t kStopSliceMs = 50;

struct SendLimits {
    // Longest wait for room since the last byte was taken; kNoStallLimit for none.
    std::int32_t stallMs = kNoStallLimit;
    // When given, looked at before every wait: a set flag ends the send.
    const std::atomic<bool>* stop = nullptr;
};

enum class SendEnd {
    Done,    // every byte was taken
    Stalled, // the stall limit passed without progress
    Stopped, // the stop flag was set while the socket had no room
    Failed,  // the socket reported an error; for a datagram: this datagram is lost
};

struct SendProgress {
    SendEnd end = SendEnd::Done;
    std::size_t sent = 0; // bytes the socket took, also when the send did not end Done
};

// Every byte on a connected stream socket. A length of 0 makes one empty send.
SendProgress SendStreamBytes(NativeSocket s, const void* bytes, std::size_t length, const SendLimits& limits);
// One datagram to the dotted IPv4 address and port.
SendProgress SendDatagramTo(NativeSocket s, const void* bytes, std::size_t length, const std::string& address,
                            std::uint16_t port, const SendLimits& limits);

} // namespace vita49::net
