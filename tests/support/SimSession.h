#pragma once

// An application's whole road against the simulated instrument: a Simulator on its own
// loopback address, a Vita49RemoteControl that sets the stream up and a Vita49Receiver with
// a callback recorder, as the loopback end-to-end tests use them.

#ifndef _WIN32

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "sim/Simulator.h"
#include "support/Recorder.h"
#include "vita49/Vita49Receiver.h"
#include "vita49/Vita49RemoteControl.h"

namespace vita49::test {

class SimSession : public ::testing::Test {
protected:
    void TearDown() override;

    // Starts the simulator on `address` (port 5300).
    void StartSim(const std::string& address, sim::SimConfig config = sim::SimConfig());

    // Settings of one stream: the instrument is the simulator, the UDP destination (and the
    // address sent as the stream's destination) is `local`, defaulting to the simulator's.
    Vita49_Base_Settings Settings(std::int32_t type, std::uint16_t tcpPort, std::uint16_t udpPort,
                                  const std::string& local = std::string(), std::uint32_t streamId = 1) const;

    // Init, Open and InitVita49Streaming of the remote control; each must succeed.
    void SetUpStream(const Vita49_Base_Settings& settings);
    // Init, callbacks and Open of the receiver, with little-endian samples at the callback.
    void OpenReceiver(const Vita49_Base_Settings& settings);

    // Stops the stream and waits until the simulator has ended it and every IF data packet it
    // sent has reached the data callback (lost ones excepted).
    void StopAndDrain();
    // Waits until `done()` holds; false after `limit`.
    template <class Condition>
    static bool WaitFor(Condition done, std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (!done()) {
            if (std::chrono::steady_clock::now() > end) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }

    // The tone of the recorded samples (little-endian at the callback), in Hz from the centre.
    double RecordedToneHz() const;

    std::unique_ptr<sim::Simulator> sim;
    Vita49RemoteControl control;
    Vita49Receiver receiver;
    CallbackRecorder recorder;
    std::string address;
};

} // namespace vita49::test

#endif
