#pragma once

// The simulated instrument: a command server on TCP port 5300 of a chosen address and the
// VITA 49 stream it opens on command. Two threads of its own: the command server, which
// executes every line and starts and stops the stream, and the stream thread while a
// stream is open. Every public operation may be called from any thread.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/CommandParser.h"
#include "sim/Replay.h"
#include "sim/StreamGenerator.h"

namespace vita49::sim {

// Faults for tests, on top of those of the packet sequence (0 = off).
struct SimFaults : StreamFaults {
    std::uint32_t disconnectAfterPackets = 0; // the stream ends (connection closed) after N packets
    std::uint32_t answerPieceBytes = 0;       // answers go out in pieces of this many bytes
    std::uint32_t answerPieceDelayMs = 0;     // pause between two pieces
    std::uint32_t answerDelayMs = 0;          // pause before an answer
};

struct SimConfig {
    std::string address = "127.0.0.1";
    std::uint16_t commandPort = 5300;
    // Stream as fast as the transport takes the packets instead of in real time.
    bool fast = false;
    GeneratorConfig generator;
    InstrumentState initialState = DefaultInstrumentState();
    SimFaults faults;
    // With a path: the stream is the capture's packets instead of the generated ones. Tuning
    // commands are still taken but change nothing in the data; the stream faults and `fast`
    // do not apply (the replay has its own rate).
    ReplayConfig replay;
    // Called from the simulator's threads with one line per command and stream event.
    std::function<void(const std::string&)> log;
};

struct SimStats {
    // Packets and bytes that went out, per kind.
    std::uint64_t ifContext = 0, ifData = 0, extContext = 0, extData = 0, foreign = 0, garbage = 0;
    std::uint64_t bytes = 0;
    // Packets dropped on purpose (their counts consumed) and sends that failed.
    std::uint64_t skippedData = 0;
    std::uint64_t sendErrors = 0;
    std::uint64_t commandLines = 0, commandErrors = 0;
    // Controllers disconnected because their answers were not read: the queue was full, or
    // the answers found no room for a while after the controller had stopped sending.
    std::uint64_t controllersDropped = 0;
    std::uint64_t streamRuns = 0;      // stream threads started by OPEN
    std::uint64_t dataConnections = 0; // TCP data connections made or accepted
    std::uint64_t samples = 0;
    // Replay: packets of a type the receiver does not take, and passes through the whole file.
    std::uint64_t otherTypes = 0;
    std::uint64_t replayPasses = 0;
};

class Simulator {
public:
    explicit Simulator(SimConfig config = SimConfig());
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Listens on address:commandPort and starts the command server. False with a reason
    // when the port cannot be had or the replay's file cannot be replayed (it is read through
    // once here).
    bool Start(std::string* error = nullptr);
    // Stops the stream and the command server and closes every socket. Idempotent.
    void Stop();

    SimStats Stats() const;
    InstrumentState State() const;
    IqParams Params() const;
    // Offset of the test tone from the centre frequency at the current CBW.
    double ToneOffsetHz() const;
    // True while a stream is being sent (after its connection is made).
    bool Streaming() const { return streaming_.load(); }
    // Waits until Streaming() equals `streaming`; false on time-out.
    bool WaitStreaming(bool streaming, int timeoutMs) const;
    void SetFaults(const SimFaults& faults);
    // Why the last stream could not be sent ("" when none failed).
    std::string StreamError() const;
    const SimConfig& Config() const { return config_; }
    // What the replay's file holds, once started with one; null without.
    const ReplaySummary* Replay() const { return replay_ ? &replay_->Summary() : nullptr; }

private:
    // One controller on the command port; its answers wait in its own bounded queue, so
    // that one that does not read holds up nobody else.
    struct Client;
    void ServeCommands();
    // The poll wait: short enough for the stop flag and for the next answer that falls due.
    int PollWaitMs(const std::vector<Client>& clients) const;
    void AcceptClient(std::vector<Client>& clients);
    void ReadClient(Client& client, char* buffer, std::size_t size);
    void HandleLine(Client& client, const std::string& line);
    // Queues an answer (in pieces and late, as the faults say); a full queue drops the client.
    void QueueAnswer(Client& client, const std::string& answer);
    // Sends what is due and the socket takes, without waiting.
    void WriteClient(Client& client);
    // `answersUnread`: dropped for not reading (counted in controllersDropped).
    void DropClient(Client& client, const std::string& why, bool answersUnread);
    void StartStream(const StreamSettings& settings);
    void StopStream();

    // The stream thread, step by step.
    struct StreamRun;
    class ReplayLink;
    enum class BlockEnd { Sent, LinkBroken, FaultDisconnect };
    void StreamLoop(StreamSettings settings);
    void GenerateStream(StreamRun& run);
    // The capture, pass after pass, until stopped; a lost TCP application that returns gets
    // it again from the start.
    void ReplayStream(StreamRun& run);
    // After the last pass: holds the connection until stopped (false) or, on TCP, until the
    // application has gone and come back (true).
    bool HoldAfterEnd(StreamRun& run);
    // The stream has ended on its own: `error` recorded, the stream closed for the interpreter.
    void EndStream(const std::string& error);
    // Waits for the stream connection; false when stopped or when it can never be made.
    bool Connect(StreamRun& run);
    // Starts the stream (again) once connected: current parameters, a new time base.
    void Resume(StreamRun& run);
    // Takes the parameters and faults as they are now.
    void Refresh(StreamRun& run);
    bool ParametersChanged(const StreamRun& run) const;
    BlockEnd SendBlock(StreamRun& run);
    static void CountPacket(SimStats& sent, const PacketSpan& span);
    void AddToStats(StreamRun& run, const SimStats& sent);
    void WaitUntilDue(const StreamRun& run);
    void Log(const std::string& line) const;

    SimConfig config_;
    std::unique_ptr<CaptureReplay> replay_; // set by Start, read-only afterwards

    mutable std::mutex mutex_; // interpreter_, faults_, generation_, stats_, streamError_
    CommandInterpreter interpreter_;
    SimFaults faults_;
    std::uint64_t generation_ = 0; // bumped by every parameter or fault change
    SimStats stats_;
    std::string streamError_;

    int listenFd_ = -1;
    std::thread serverThread_;
    std::atomic<bool> stopServer_{false};

    // Used by the stream thread only, while it runs; the server thread joins it first.
    StreamGenerator generator_;
    std::thread streamThread_;
    std::atomic<bool> stopStream_{false};
    std::atomic<bool> streaming_{false};
};

} // namespace vita49::sim
