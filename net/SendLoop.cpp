#include "net/SendLoop.h"

#include <chrono>

namespace vita49::net {
namespace {

using Clock = std::chrono::steady_clock;

std::int32_t MsLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<std::int32_t>(left) : 0;
}

// One wait after the socket had no room for a send that failed with `err`; Done when it is
// worth trying again.
SendEnd WaitForRoom(NativeSocket s, SockError err, Clock::time_point lastProgress, const SendLimits& limits) {
    if (limits.stop != nullptr && limits.stop->load()) return SendEnd::Stopped;
    std::int32_t slice = kStopSliceMs;
    bool lastSlice = false;
    if (limits.stallMs != kNoStallLimit) {
        const std::int32_t left = MsLeft(lastProgress + std::chrono::milliseconds(limits.stallMs));
        if (limits.stop == nullptr || left <= slice) {
            slice = left;
            lastSlice = true;
        }
    }
    if (err == SockError::NoBuffers) {
        // The socket's own buffer has room, so a readiness wait would return at once.
        if (lastSlice && slice == 0) return SendEnd::Stalled;
        SleepMs(1);
        return SendEnd::Done;
    }
    switch (WaitReady(s, true, slice)) {
    case WaitResult::Ready:
        return SendEnd::Done;
    case WaitResult::Timeout:
        return lastSlice ? SendEnd::Stalled : SendEnd::Done;
    default:
        return SendEnd::Failed;
    }
}

// `sendOnce(offset, err)` makes one send of the bytes from `offset` on and returns the count
// taken or -1 with `err` set. A datagram is taken whole or not at all.
template <class SendOnce>
SendProgress SendLoop(NativeSocket s, std::size_t length, bool datagram, const SendLimits& limits,
                      SendOnce sendOnce) {
    SendProgress progress;
    auto lastProgress = Clock::now();
    do {
        SockError err = SockError::None;
        const long n = sendOnce(progress.sent, err);
        if (n >= 0) {
            progress.sent += static_cast<std::size_t>(n);
            if (datagram) return progress;
            if (n > 0) lastProgress = Clock::now();
            continue;
        }
        if (err != SockError::WouldBlock && err != SockError::NoBuffers) {
            progress.end = SendEnd::Failed;
            return progress;
        }
        progress.end = WaitForRoom(s, err, lastProgress, limits);
        if (progress.end != SendEnd::Done) return progress;
    } while (progress.sent < length);
    return progress;
}

} // namespace

SendProgress SendStreamBytes(NativeSocket s, const void* bytes, std::size_t length, const SendLimits& limits) {
    const auto* p = static_cast<const std::uint8_t*>(bytes);
    return SendLoop(s, length, false, limits, [&](std::size_t offset, SockError& err) {
        return SendSome(s, p + offset, length - offset, err);
    });
}

SendProgress SendDatagramTo(NativeSocket s, const void* bytes, std::size_t length, const std::string& address,
                            std::uint16_t port, const SendLimits& limits) {
    return SendLoop(s, length, true, limits, [&](std::size_t, SockError& err) {
        return SendDatagram(s, bytes, length, address, port, err);
    });
}

} // namespace vita49::net
