#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "net/SocketConnection.h"
#include "receiver/StreamDecoder.h"
#include "vita49/Vita49Receiver.h"

// The receiver's implementation: the settings, the data connection, the receive thread and
// the stream decoder that owns the buffer, the records, the recordings and the callbacks.
class VITA49_LOCAL Vita49Receiver::Vita49ReceiverImpl {
public:
    // Time-outs of the first connection attempt (caller's thread) and of each receive cycle.
    static constexpr std::int32_t kFirstConnectMs = 100;
    static constexpr std::int32_t kCycleMs = 500;

    Vita49ReceiverImpl();
    virtual ~Vita49ReceiverImpl();
    Vita49ReceiverImpl(const Vita49ReceiverImpl&) = delete;
    Vita49ReceiverImpl& operator=(const Vita49ReceiverImpl&) = delete;

    void Init(const Vita49_Base_Settings& base, const Vita49_Receiver_Settings& receiver);
    RETURN_CODE Open();
    RETURN_CODE Close();
    // Body of the receive thread.
    void ReceiveLoop();

    Vita49_Base_Settings baseSettings{};
    Vita49_Receiver_Settings receiverSettings{};
    std::atomic<bool> stop{false};
    std::unique_ptr<std::thread> thread;
    vita49::net::Vita49_IO connection;
    vita49::StreamDecoder decoder;

private:
    // Waits out the rest of a cycle after a connection attempt that failed at once, so that
    // a refused peer is retried twice a second instead of in a busy loop.
    void PaceFailedAttempt(std::chrono::steady_clock::time_point cycleStart);
    // The connection is gone: the held bytes are dropped, the loop ends, and the application
    // hears of it once.
    void LoseConnection();
};
