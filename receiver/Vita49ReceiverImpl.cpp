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
    if (thread || connection.IsOpen()) Close();
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

    decoder.Configure(b.streamId, receiverSettings, vita49::FramingOf(b.connectionType), b.connectionType);
    // The receive thread hands the recordings' bytes to a writer thread and never waits for a file.
    decoder.OpenRecordings(true);
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
    if (connection.IsOpen()) rc = connection.Close();
    decoder.CloseRecordings();
    return rc;
}

void Vita49Receiver::Vita49ReceiverImpl::PaceFailedAttempt(std::chrono::steady_clock::time_point cycleStart) {
    const auto end = cycleStart + std::chrono::milliseconds(kCycleMs);
    while (!stop.load() && std::chrono::steady_clock::now() < end) vita49::net::SleepMs(10);
}

void Vita49Receiver::Vita49ReceiverImpl::LoseConnection() {
    decoder.OnConnectionLost();
    stop.store(true);
    if (decoder.callbacks.connectionError) decoder.callbacks.connectionError();
}

void Vita49Receiver::Vita49ReceiverImpl::ReceiveLoop() {
    using vita49::net::ReceiveStatus;
    vita49::net::RaiseThreadPriority();
    decoder.StartRun();
    while (!stop.load()) {
        if (!connection.Connected()) {
            const auto start = std::chrono::steady_clock::now();
            const RETURN_CODE rc = connection.Connect(kCycleMs);
            if (rc != RC_OK && rc != RC_TIMEOUT) PaceFailedAttempt(start);
            continue;
        }
        const vita49::net::Received r =
            connection.Receive(decoder.FreeSpace(), static_cast<std::int32_t>(decoder.FreeBytes()), kCycleMs);
        switch (r.status) {
        case ReceiveStatus::Data:
            decoder.Commit(static_cast<std::uint32_t>(r.bytes));
            break;
        case ReceiveStatus::Timeout:
            decoder.OnReceiveTimeout();
            break;
        case ReceiveStatus::DatagramTooLong:
            decoder.OnDatagramTruncated();
            break;
        default:
            // Broken, or a TCP peer that ended its sending direction: no byte can follow.
            LoseConnection();
            break;
        }
    }
    // Stopped by Close with part of a TCP packet held: those bytes can never complete.
    decoder.EndRun();
}
