#pragma once

// Checks on a SocketConnection that several test programs share. No socket call of its own,
// so the Windows build uses it too.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>

#include "net/SocketConnection.h"

namespace vita49::test {

// A connected connection with nothing to deliver: a receive without a time-out returns at
// once with no bytes, one with a time-out waits that long and reports it, a negative
// capacity is refused, and none of it changes the connection's state.
inline void ExpectQuietReceiveWaitsOnlyAsLongAsAsked(net::SocketConnection& c, std::int32_t timeoutMs = 500) {
    using Clock = std::chrono::steady_clock;
    const auto ms = [](Clock::time_point start) {
        return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    };
    std::uint8_t buffer[64];
    auto start = Clock::now();
    net::Received r = c.Receive(buffer, sizeof buffer, 0);
    EXPECT_EQ(r.status, net::ReceiveStatus::Data);
    EXPECT_EQ(r.code, RC_OK);
    EXPECT_EQ(r.bytes, 0);
    EXPECT_LT(ms(start), 1000) << "a receive without time-out waited";

    start = Clock::now();
    r = c.Receive(buffer, sizeof buffer, timeoutMs);
    EXPECT_EQ(r.status, net::ReceiveStatus::Timeout);
    EXPECT_EQ(r.code, RC_TIMEOUT);
    EXPECT_EQ(r.bytes, 0);
    EXPECT_GE(ms(start), timeoutMs - timeoutMs / 10);

    r = c.Receive(buffer, -5, 0);
    EXPECT_EQ(r.status, net::ReceiveStatus::Refused);
    EXPECT_EQ(r.code, RC_INVALID_ARGUMENT);
    EXPECT_EQ(r.bytes, 0);
    EXPECT_TRUE(c.Connected());
    EXPECT_FALSE(c.Broken());
}

} // namespace vita49::test
