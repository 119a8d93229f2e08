#include "receiver/Vita49ReceiverImpl.h"

#include <chrono>
#include <cstring>

#include "net/Platform.h"
#include "net/SocketLibrary.h"

namespace {

// The settings' texts up to their first NUL, even when the caller filled every byte.
template <std::size_t N>
struct Text {
    explicit Text(const char (&source)[N]) {
        std::memcpy(chars, source, N);
        chars[N] = '\0';
    }
    char chars[N + 1];
};

} // namespace

Vita49Receiver::Vita49ReceiverImpl::Vita49ReceiverImpl() { vita49::net::AcquireSocketLibrary(); }

Vita49Receiver::Vita49ReceiverImpl::~Vita49ReceiverImpl() {
    // An open receiver is closed first: destroying a running std::thread would end the process.
    if (thread || connection.open) Close();
    decoder.CloseRecordings();
    vita49::net::ReleaseSocketLibrary();
}

void Vita49Receiver::Vita49ReceiverImpl::Init(const Vita49_Base_Settings& base,
                                              const Vita49_Receiver_Settings& receiver) {
    baseSettings = base;
    receiverSettings = receiver;
}

RETURN_CODE Vita49Receiver::Vita49ReceiverImpl::Open() {
    const Vita49_Base_Settings& b = baseSettings;
    const Text<sizeof b.remoteAddress> remote(b.remoteAddress);
    const Text<sizeof b.localAddress> local(b.localAddress);
    const bool udp = b.connectionType == UDP_SINGLECAST || b.connectionType == UDP_MULTICAST;
    RETURN_CODE rc = udp ? connection.Open(b.connectionType, 0, remote.chars, b.udpPort, local.chars)
                         : connection.Open(b.connectionType, b.tcpPort, remote.chars, 0, "");
    if (rc != RC_OK) return rc;

    decoder.Configure(b.streamId, receiverSettings, connection.IsTcp());
    decoder.OpenRecordings();
    decoder.ResetRecords();
    connection.Connect(kFirstConnectMs);
    stop.store(false);
    thread = std::make_unique<std::thread>(&Vita49ReceiverImpl::ReceiveLoop, this);
    return RC_OK;
}

RETURN_CODE Vita49Receiver::Vita49ReceiverImpl::Close() {
    if (thread) {
        stop.store(true);
        thread->join();
        thread.reset();
    }
    RETURN_CODE rc = RC_OK;
    if (connection.open) rc = connection.Close();
    decoder.CloseRecordings();
    return rc;
}

void Vita49Receiver::Vita49ReceiverImpl::PaceFailedAttempt(std::chrono::steady_clock::time_point cycleStart) {
    const auto end = cycleStart + std::chrono::milliseconds(kCycleMs);
    while (!stop.load() && std::chrono::steady_clock::now() < end) vita49::net::SleepMs(10);
}

void Vita49Receiver::Vita49ReceiverImpl::ReceiveLoop() {
    vita49::net::RaiseThreadPriority();
    decoder.StartRun();
    while (!stop.load()) {
        if (!connection.connected) {
            const auto start = std::chrono::steady_clock::now();
            const RETURN_CODE rc = connection.Connect(kCycleMs);
            if (rc != RC_OK && rc != RC_TIMEOUT) PaceFailedAttempt(start);
            continue;
        }
        std::int32_t length = static_cast<std::int32_t>(decoder.FreeBytes());
        RETURN_CODE rc = connection.Receive(decoder.FreeSpace(), length, kCycleMs);
        if (rc == RC_OK && connection.datagramTruncated) {
            decoder.OnDatagramTruncated();
            continue;
        }
        if (rc == RC_OK && length == 0 && connection.IsTcp()) {
            // Nothing arrived although the socket was readable: the peer may have gone. A
            // one-byte probe finds out (it fails once the peer has reset the connection).
            const std::uint8_t probe = 0;
            std::int32_t one = 1;
            const bool ended = connection.peerClosed;
            rc = connection.Send(&probe, one);
            // A peer that only ended its sending direction takes the probe, yet no byte can
            // follow; each receive would find that end at once, and the loop would spin.
            if (rc == RC_OK && ended) rc = RC_SOCKET_ERROR;
        }
        if (rc == RC_TIMEOUT) {
            decoder.OnReceiveTimeout();
            continue;
        }
        if (rc != RC_OK) {
            decoder.OnConnectionLost();
            stop.store(true);
            if (decoder.callbacks.connectionError) decoder.callbacks.connectionError();
            continue;
        }
        decoder.Commit(static_cast<std::uint32_t>(length));
    }
}
