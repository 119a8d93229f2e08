#pragma once

// A scripted stand-in for the instrument's command channel: a TCP server on one loopback
// address (port 5300 unless told otherwise) that records every byte and every line it
// receives and answers chosen lines with scripted texts.
//
// It serves one connection at a time, on its own thread; the next queued client is accepted
// when the current one has ended. Answers go out in the order of the lines that asked for
// them, each piece after its own delay, so a test can make an answer arrive in parts, late,
// longer than the client's buffer, or not at all. The peer can also stop or slow its reading
// (to fill the client's send buffer, or to keep commands waiting in its own receive queue),
// close the connection, and hold back new connections altogether.
//
// Every operation may be called from any thread while the peer runs. The responder callback
// runs on the peer's thread with the peer locked: it must not call the peer.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vita49::test {

class CommandPeer {
public:
    using Ms = std::chrono::milliseconds;

    static constexpr std::uint16_t kCommandPort = 5300;

    // One part of an answer, sent `delay` after the previous part was sent (for the first part:
    // after the asking line arrived, or after the previous answer, whichever is later).
    struct Piece {
        Ms delay{0};
        std::string bytes;
    };

    // What the peer does after the last piece of an answer.
    enum class Then {
        KeepOpen,
        EndOutput, // ends its sending direction: the client's reads then find the end of stream
        Close,     // closes the connection
    };

    // The reply to one line. No pieces and KeepOpen: no answer at all.
    struct Answer {
        std::vector<Piece> pieces;
        Then then = Then::KeepOpen;

        static Answer Text(std::string bytes) { return Answer{{Piece{Ms(0), std::move(bytes)}}, Then::KeepOpen}; }
        static Answer None() { return Answer{}; }
    };

    // How a connection ended, as the peer saw it.
    enum class End {
        Open,         // not ended yet (or no connection so far)
        ClientClosed, // orderly end of stream from the client
        ClientReset,  // the client reset the connection (unread commands may be lost)
        PeerClosed,   // the peer closed it (CloseConnection, Then::Close, Stop)
    };

    // `receiveBufferBytes` > 0 shrinks the receive buffer of the listening socket and so of
    // every accepted connection; with PauseReading the client's send buffer then fills fast.
    explicit CommandPeer(std::string address, std::uint16_t port = kCommandPort, int receiveBufferBytes = 0);
    ~CommandPeer();
    CommandPeer(const CommandPeer&) = delete;
    CommandPeer& operator=(const CommandPeer&) = delete;

    // Binds, listens and starts the thread. False when the address cannot be bound.
    bool Start();
    // Closes the connection and the listener and joins the thread. Safe to call twice.
    void Stop();

    // The reply to exactly `line` (with its "\n"). Replaces an earlier answer for the line.
    void SetAnswer(const std::string& line, Answer answer);
    void ClearAnswer(const std::string& line);
    // Asked for every line without an answer of its own (see the note at the top).
    void SetResponder(std::function<Answer(const std::string& line)> responder);

    // Stops taking bytes from the connection; they queue up in the peer's receive buffer, then
    // in the client's send buffer.
    void PauseReading();
    void ResumeReading();
    // Takes at most `bytes` per read, one read per `interval`; 0 bytes: as fast as they come.
    void SetReadPace(std::size_t bytes, Ms interval);

    // Lets no new client in: the listen queue is filled, so a connect gets no answer at all.
    // Returns when in force.
    bool HoldAccepts();
    void ReleaseAccepts();
    // Closes the current connection (orderly) and waits until it is closed.
    void CloseConnection();

    // Everything received, in order, over all connections.
    std::string Received() const;
    // Every complete line received, each with its "\n", over all connections.
    std::vector<std::string> Lines() const;
    std::size_t LineCount() const;
    std::size_t Connections() const;
    // How the current or last connection ended.
    End LastEnd() const;

    bool WaitForLines(std::size_t count, Ms limit = Ms(5000)) const;
    bool WaitForConnections(std::size_t count, Ms limit = Ms(5000)) const;
    // Waits until the current connection has ended (any way).
    bool WaitForEnd(Ms limit = Ms(5000)) const;
    // Waits until every scheduled answer piece has been sent.
    bool WaitForAnswersSent(Ms limit = Ms(5000)) const;

private:
    using Clock = std::chrono::steady_clock;

    struct Outgoing {
        Clock::time_point due;
        std::string bytes;
        Then then = Then::KeepOpen;
    };

    void Run();
    void Wake();
    // The helpers below run on the peer's thread with `mutex_` held.
    void AcceptLocked();
    void ReadLocked();
    void WriteLocked();
    void OnLineLocked(const std::string& line);
    void EndConnectionLocked(End end);

    const std::string address_;
    const std::uint16_t port_;
    const int receiveBufferBytes_;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::thread thread_;
    int listener_ = -1;
    int client_ = -1;
    int filler_ = -1; // our own connection that fills the listen queue while accepts are held
    int wakeRead_ = -1;
    int wakeWrite_ = -1;
    bool stop_ = false;
    bool holding_ = false;
    bool closeRequested_ = false;
    bool paused_ = false;
    bool outputEnded_ = false;
    std::size_t paceBytes_ = 0;
    Ms paceInterval_{0};
    Clock::time_point nextRead_{};
    std::map<std::string, Answer> answers_;
    std::function<Answer(const std::string&)> responder_;
    std::deque<Outgoing> outgoing_;
    Clock::time_point lastDue_{};
    std::string partial_;
    std::string received_;
    std::vector<std::string> lines_;
    std::size_t connections_ = 0;
    End lastEnd_ = End::Open;
};

} // namespace vita49::test
