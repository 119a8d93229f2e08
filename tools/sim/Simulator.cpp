#include "sim/Simulator.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <vector>

#include "sim/DataLink.h"

namespace vita49::sim {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kPollMs = 50;
constexpr std::size_t kMaxClients = 8;
// A line longer than this is no command: it is dropped whole (and counted once).
constexpr std::size_t kMaxLineBytes = 4096;
// Answer bytes one controller may leave unread before it is disconnected: far more than a
// controller that reads its answers ever has waiting.
constexpr std::size_t kMaxQueuedAnswerBytes = 65536;
// How long the answers of a controller that has stopped sending may wait for room.
constexpr auto kLingerAfterInput = std::chrono::seconds(2);

std::string Printable(const std::string& line) {
    std::string out;
    for (char c : line) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u < 0x7F) {
            out.push_back(c);
        } else if (c != '\n') {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", u);
            out += hex;
        }
    }
    return out;
}

} // namespace

struct Simulator::Client {
    // A part of an answer and the time it may leave (the answer faults delay it).
    struct Piece {
        Clock::time_point due;
        std::string bytes;
    };

    int fd = -1;
    std::string pending;
    bool discarding = false; // inside an over-long line, up to its end
    std::deque<Piece> out;
    std::size_t outBytes = 0;   // bytes in `out` not yet sent
    std::size_t frontSent = 0;  // bytes of out.front() already sent
    Clock::time_point lastDue;  // when the last queued piece may leave: answers keep their order
    bool inputEnded = false;    // the controller has ended its sending direction
    Clock::time_point endedAt;

    bool HasDue(Clock::time_point now) const { return !out.empty() && out.front().due <= now; }
};

Simulator::Simulator(SimConfig config)
    : config_(std::move(config)),
      interpreter_(config_.initialState),
      faults_(config_.faults),
      generator_(config_.generator) {}

Simulator::~Simulator() { Stop(); }

void Simulator::Log(const std::string& line) const {
    if (config_.log) config_.log(line);
}

bool Simulator::Start(std::string* error) {
    if (serverThread_.joinable()) return true;
    if (!config_.replay.path.empty() && !replay_) {
        auto replay = std::make_unique<CaptureReplay>(config_.replay);
        std::string why;
        if (!replay->Check(why)) {
            if (error) *error = "cannot replay: " + why;
            return false;
        }
        replay_ = std::move(replay);
    }
    sockaddr_in own;
    std::memset(&own, 0, sizeof own);
    own.sin_family = AF_INET;
    own.sin_port = htons(config_.commandPort);
    if (inet_pton(AF_INET, config_.address.c_str(), &own.sin_addr) != 1) {
        if (error) *error = "not an IPv4 address: " + config_.address;
        return false;
    }
    listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const int one = 1;
    if (listenFd_ >= 0) setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (listenFd_ < 0 || bind(listenFd_, reinterpret_cast<const sockaddr*>(&own), sizeof own) != 0 ||
        listen(listenFd_, 8) != 0) {
        if (error)
            *error = "cannot listen on " + config_.address + ":" + std::to_string(config_.commandPort) + ": " +
                     std::strerror(errno);
        if (listenFd_ >= 0) close(listenFd_);
        listenFd_ = -1;
        return false;
    }
    stopServer_.store(false);
    serverThread_ = std::thread(&Simulator::ServeCommands, this);
    return true;
}

void Simulator::Stop() {
    stopServer_.store(true);
    if (serverThread_.joinable()) serverThread_.join();
    StopStream();
    if (listenFd_ >= 0) close(listenFd_);
    listenFd_ = -1;
}

SimStats Simulator::Stats() const {
    std::lock_guard<std::mutex> lock(mutex_);
    SimStats s = stats_;
    s.commandErrors = interpreter_.ErrorCount();
    return s;
}

InstrumentState Simulator::State() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return interpreter_.State();
}

IqParams Simulator::Params() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return interpreter_.State().iq;
}

double Simulator::ToneOffsetHz() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return config_.generator.toneFraction * interpreter_.State().iq.cbwHz;
}

bool Simulator::WaitStreaming(bool streaming, int timeoutMs) const {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (streaming_.load() != streaming) {
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

void Simulator::SetFaults(const SimFaults& faults) {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_ = faults;
    ++generation_;
}

std::string Simulator::StreamError() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return streamError_;
}

void Simulator::ServeCommands() {
    std::vector<Client> clients;
    std::vector<pollfd> fds;
    char buffer[4096];
    while (!stopServer_.load()) {
        const Clock::time_point now = Clock::now();
        fds.clear();
        fds.push_back({listenFd_, POLLIN, 0});
        for (const Client& c : clients) {
            short events = c.inputEnded ? 0 : POLLIN;
            if (c.HasDue(now)) events |= POLLOUT;
            fds.push_back({c.fd, events, 0});
        }
        if (poll(fds.data(), fds.size(), PollWaitMs(clients)) < 0) continue;

        if (fds[0].revents & POLLIN) AcceptClient(clients);
        // Clients were only appended above, so fds[i + 1] still belongs to clients[i]. One
        // read per controller and round: a flood on one channel delays no other by more.
        for (std::size_t i = 0; i + 1 < fds.size(); ++i) {
            Client& c = clients[i];
            if (c.fd >= 0 && !c.inputEnded && (fds[i + 1].revents & (POLLIN | POLLHUP | POLLERR)))
                ReadClient(c, buffer, sizeof buffer);
            if (c.fd >= 0) WriteClient(c);
        }
        std::vector<Client> alive;
        for (Client& c : clients)
            if (c.fd >= 0) alive.push_back(std::move(c));
        clients.swap(alive);
    }
    for (Client& c : clients) close(c.fd);
}

int Simulator::PollWaitMs(const std::vector<Client>& clients) const {
    const Clock::time_point now = Clock::now();
    auto wait = std::chrono::milliseconds(kPollMs);
    for (const Client& c : clients) {
        if (c.out.empty() || c.HasDue(now)) continue; // due ones are polled for room
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(c.out.front().due - now) +
                          std::chrono::milliseconds(1);
        wait = std::min(wait, left);
    }
    return static_cast<int>(wait.count());
}

void Simulator::AcceptClient(std::vector<Client>& clients) {
    const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) return;
    if (clients.size() >= kMaxClients) {
        close(fd); // busy: as many controllers as the instrument serves
        return;
    }
    // Answers leave at once, not held back until the previous one is acknowledged.
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    Client c;
    c.fd = fd;
    clients.push_back(std::move(c));
    Log("command connection opened");
}

void Simulator::ReadClient(Client& c, char* buffer, std::size_t size) {
    const ssize_t n = recv(c.fd, buffer, size, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
    if (n < 0) {
        DropClient(c, std::string("command connection failed: ") + std::strerror(errno), false);
        return;
    }
    if (n == 0) {
        // A line without its end when the controller leaves is not executed. The answers
        // already queued still go out; then the connection closes (WriteClient).
        c.inputEnded = true;
        c.endedAt = Clock::now();
        return;
    }
    for (ssize_t k = 0; k < n && c.fd >= 0; ++k) {
        const char ch = buffer[k];
        if (c.discarding) {
            if (ch == '\n') c.discarding = false;
            continue;
        }
        c.pending.push_back(ch);
        if (ch == '\n') {
            HandleLine(c, c.pending);
            c.pending.clear();
        } else if (c.pending.size() > kMaxLineBytes) {
            c.pending.clear();
            c.discarding = true;
            std::lock_guard<std::mutex> lock(mutex_);
            interpreter_.CountMalformed(scpi::kTooMuchData, "line too long");
            ++stats_.commandLines;
        }
    }
}

void Simulator::HandleLine(Client& client, const std::string& line) {
    CommandResult result;
    StreamSettings stream;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        result = interpreter_.Execute(line);
        ++stats_.commandLines;
        if (result.effect == Effect::ParametersChanged) ++generation_;
        if (result.effect == Effect::OpenStream) {
            const InstrumentState& s = interpreter_.State();
            stream = s.streams[static_cast<std::size_t>(s.openStream)];
        }
    }
    Log((result.accepted ? "> " : "! ") + Printable(line) + (result.accepted ? "" : "   (refused: " + result.error + ")"));
    if (result.effect == Effect::OpenStream) StartStream(stream);
    if (result.effect == Effect::CloseStream) StopStream();
    if (!result.answer.empty()) QueueAnswer(client, result.answer);
}

void Simulator::QueueAnswer(Client& client, const std::string& answer) {
    if (client.outBytes + answer.size() > kMaxQueuedAnswerBytes) {
        DropClient(client, "command connection closed: " + std::to_string(client.outBytes) +
                               " answer bytes not read (the controller does not read its answers)",
                   true);
        return;
    }
    SimFaults faults;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        faults = faults_;
    }
    Clock::time_point due = std::max(Clock::now(), client.lastDue) + std::chrono::milliseconds(faults.answerDelayMs);
    const std::size_t piece = faults.answerPieceBytes ? faults.answerPieceBytes : answer.size();
    for (std::size_t at = 0; at < answer.size(); at += piece) {
        if (at > 0) due += std::chrono::milliseconds(faults.answerPieceDelayMs);
        client.out.push_back(Client::Piece{due, answer.substr(at, piece)});
    }
    client.lastDue = due;
    client.outBytes += answer.size();
}

void Simulator::WriteClient(Client& c) {
    const Clock::time_point now = Clock::now();
    while (c.HasDue(now)) {
        const std::string& bytes = c.out.front().bytes;
        const ssize_t n = send(c.fd, bytes.data() + c.frontSent, bytes.size() - c.frontSent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) break;
        if (n <= 0) {
            DropClient(c, "command connection closed: the controller is gone", false);
            return;
        }
        c.frontSent += static_cast<std::size_t>(n);
        c.outBytes -= static_cast<std::size_t>(n);
        if (c.frontSent == bytes.size()) {
            c.out.pop_front();
            c.frontSent = 0;
        }
    }
    if (!c.inputEnded) return;
    if (c.out.empty()) {
        close(c.fd);
        c.fd = -1;
        Log("command connection closed");
    } else if (now - c.endedAt > kLingerAfterInput) {
        DropClient(c, "command connection closed: " + std::to_string(c.outBytes) +
                          " answer bytes not read after the controller stopped sending",
                   true);
    }
}

void Simulator::DropClient(Client& c, const std::string& why, bool answersUnread) {
    if (c.fd < 0) return;
    // Counted before the close, which is what the controller sees.
    if (answersUnread) {
        std::lock_guard<std::mutex> lock(mutex_);
        ++stats_.controllersDropped;
    }
    Log(why);
    close(c.fd);
    c.fd = -1;
    c.out.clear();
    c.outBytes = 0;
}

void Simulator::StartStream(const StreamSettings& settings) {
    StopStream(); // a stream that ended on its own leaves a thread to join
    stopStream_.store(false);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++stats_.streamRuns;
        streamError_.clear();
    }
    streamThread_ = std::thread(&Simulator::StreamLoop, this, settings);
}

void Simulator::StopStream() {
    stopStream_.store(true);
    if (streamThread_.joinable()) streamThread_.join();
}

// What one stream thread carries from block to block.
struct Simulator::StreamRun {
    StreamRun(const StreamSettings& s, const std::string& ownAddress) : settings(s), link(s, ownAddress) {}

    StreamSettings settings;
    DataLink link;
    SimFaults faults;             // as of the last refresh
    std::uint64_t generation = 0; // generation_ at the last refresh
    std::uint64_t sentPackets = 0;
    PacketBlock block;
    GeneratorCounts countsBefore; // the generator's counts already added to stats_
    Clock::time_point paceStart;
};

void Simulator::StreamLoop(StreamSettings settings) {
    StreamRun run(settings, config_.address);
    Log("stream: opening " + LinkTypeName(settings.type) + " " + settings.address + ":" +
        std::to_string(settings.port));
    if (!Connect(run)) return;
    if (replay_) {
        ReplayStream(run);
    } else {
        GenerateStream(run);
    }
    run.link.Close();
    streaming_.store(false);
    Log("stream: closed");
}

void Simulator::GenerateStream(StreamRun& run) {
    Resume(run);
    run.countsBefore = generator_.Counts();
    while (!stopStream_.load()) {
        if (ParametersChanged(run)) Refresh(run);
        const BlockEnd end = SendBlock(run);
        if (end == BlockEnd::FaultDisconnect) {
            Log("stream: disconnecting after " + std::to_string(run.sentPackets) + " packets (fault)");
            run.link.Close();
            std::lock_guard<std::mutex> lock(mutex_);
            interpreter_.MarkStreamClosed();
            return;
        }
        if (end == BlockEnd::LinkBroken) {
            // The application went away; wait for it as at the start.
            streaming_.store(false);
            Log("stream: connection lost, waiting for the application");
            if (!Connect(run)) return;
            Resume(run);
            continue;
        }
        if (!config_.fast) WaitUntilDue(run);
    }
}

// A pass's packets onto the stream's link, counted as they go.
class Simulator::ReplayLink : public ReplayOutput {
public:
    ReplayLink(Simulator& sim, StreamRun& run) : sim_(sim), run_(run) {}

    bool Send(const std::uint8_t* packet, std::size_t size) override {
        bool failed = false;
        if (run_.link.Send(packet, size, sim_.stopStream_, failed) != DataLink::Result::Ok) return false;
        ReplayCounts one;
        if (!failed) one.Count(packet, size);
        failedSends_ += failed ? 1 : 0;
        std::lock_guard<std::mutex> lock(sim_.mutex_);
        SimStats& s = sim_.stats_;
        s.sendErrors += failed ? 1 : 0;
        s.ifData += one.ifData;
        s.ifContext += one.ifContext;
        s.extData += one.extData;
        s.extContext += one.extContext;
        s.otherTypes += one.otherTypes;
        s.bytes += one.bytes;
        return true;
    }
    std::uint64_t FailedSends() const { return failedSends_; }

private:
    Simulator& sim_;
    StreamRun& run_;
    std::uint64_t failedSends_ = 0;
};

void Simulator::ReplayStream(StreamRun& run) {
    for (;;) {
        if (run.link.IsTcp()) {
            std::lock_guard<std::mutex> lock(mutex_);
            ++stats_.dataConnections;
        }
        streaming_.store(true);
        ReplayLink link(*this, run);
        ReplayCounts sent;
        std::string error;
        const CaptureReplay::PassEnd end = replay_->Pass(run.settings.streamId, link, stopStream_, sent, error);
        if (stopStream_.load()) return;
        if (end == CaptureReplay::PassEnd::kFailed) return EndStream("replay: " + error);
        if (end == CaptureReplay::PassEnd::kInterrupted) {
            // Not stopped: the application went away. It gets the capture from its start (and
            // so its context first) when it returns.
            streaming_.store(false);
            Log("stream: connection lost, waiting for the application to replay the capture again");
            if (!Connect(run)) return;
            continue;
        }
        std::uint64_t passes = 0;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            passes = ++stats_.replayPasses;
        }
        Log("stream: replay pass " + std::to_string(passes) + ": " + std::to_string(sent.Packets()) + " packets (" +
            std::to_string(link.FailedSends()) + " lost by failed sends, " + std::to_string(sent.rewritten) +
            " with the stream identifier rewritten)");
        if (sent.Packets() == 0 && link.FailedSends() == 0)
            return EndStream("replay: " + config_.replay.path + " held no packet this time");
        if (config_.replay.loop) continue;
        if (!HoldAfterEnd(run)) return;
    }
}

bool Simulator::HoldAfterEnd(StreamRun& run) {
    Log("stream: end of the capture; nothing more is sent until CLOSE");
    while (!stopStream_.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
        if (run.link.Watch() != DataLink::Result::Broken) continue;
        streaming_.store(false);
        Log("stream: connection lost, waiting for the application to replay the capture again");
        return Connect(run);
    }
    return false;
}

void Simulator::EndStream(const std::string& error) {
    Log("stream: " + error);
    std::lock_guard<std::mutex> lock(mutex_);
    streamError_ = error;
    interpreter_.MarkStreamClosed();
}

bool Simulator::Connect(StreamRun& run) {
    std::string error;
    const DataLink::Result r = run.link.Establish(stopStream_, error);
    if (r == DataLink::Result::Broken) EndStream(error);
    return r == DataLink::Result::Ok;
}

void Simulator::Resume(StreamRun& run) {
    if (run.link.IsTcp()) {
        std::lock_guard<std::mutex> lock(mutex_);
        ++stats_.dataConnections;
    }
    Refresh(run);
    // The time base restarts at the connection, so that a stream resumed after a loss is not
    // sent in a burst to catch up.
    generator_.Restart(run.settings.streamId, StreamGenerator::WallClockPs());
    streaming_.store(true);
    run.paceStart = Clock::now();
}

void Simulator::Refresh(StreamRun& run) {
    std::lock_guard<std::mutex> lock(mutex_);
    generator_.SetParams(interpreter_.State().iq);
    run.faults = faults_;
    generator_.SetFaults(run.faults);
    run.generation = generation_;
}

bool Simulator::ParametersChanged(const StreamRun& run) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return run.generation != generation_;
}

Simulator::BlockEnd Simulator::SendBlock(StreamRun& run) {
    run.block.Clear();
    generator_.NextBlock(run.block);
    const std::uint32_t disconnectAfter = run.faults.disconnectAfterPackets;
    bool broken = false;
    SimStats sent;
    for (const PacketSpan& span : run.block.packets) {
        bool failed = false;
        const DataLink::Result r =
            run.link.Send(run.block.bytes.data() + span.offset, span.length, stopStream_, failed);
        if (r != DataLink::Result::Ok) {
            broken = r == DataLink::Result::Broken;
            break;
        }
        if (failed) {
            ++sent.sendErrors;
            continue;
        }
        CountPacket(sent, span);
        if (disconnectAfter != 0 && ++run.sentPackets >= disconnectAfter) {
            stopStream_.store(true);
            break;
        }
    }
    AddToStats(run, sent);
    if (disconnectAfter != 0 && run.sentPackets >= disconnectAfter) return BlockEnd::FaultDisconnect;
    return broken ? BlockEnd::LinkBroken : BlockEnd::Sent;
}

void Simulator::CountPacket(SimStats& sent, const PacketSpan& span) {
    sent.bytes += span.length;
    switch (span.kind) {
    case PacketKind::IfContext:
        ++sent.ifContext;
        break;
    case PacketKind::IfData:
        ++sent.ifData;
        break;
    case PacketKind::ExtContext:
        ++sent.extContext;
        break;
    case PacketKind::ExtData:
        ++sent.extData;
        break;
    case PacketKind::Foreign:
        ++sent.foreign;
        break;
    case PacketKind::Garbage:
        ++sent.garbage;
        break;
    }
}

void Simulator::AddToStats(StreamRun& run, const SimStats& sent) {
    std::lock_guard<std::mutex> lock(mutex_);
    stats_.ifContext += sent.ifContext;
    stats_.ifData += sent.ifData;
    stats_.extContext += sent.extContext;
    stats_.extData += sent.extData;
    stats_.foreign += sent.foreign;
    stats_.garbage += sent.garbage;
    stats_.bytes += sent.bytes;
    stats_.sendErrors += sent.sendErrors;
    const GeneratorCounts& now = generator_.Counts();
    stats_.skippedData += now.skippedData - run.countsBefore.skippedData;
    stats_.samples += now.samples - run.countsBefore.samples;
    run.countsBefore = now;
}

void Simulator::WaitUntilDue(const StreamRun& run) {
    // Real time: each block leaves when its samples would have been taken. A parameter change
    // cuts the wait short so that its context packet goes out at once.
    const auto due = run.paceStart + std::chrono::duration_cast<Clock::duration>(
                                         std::chrono::duration<double>(generator_.StreamSeconds()));
    while (!stopStream_.load() && Clock::now() < due && !ParametersChanged(run)) {
        const auto left = due - Clock::now();
        std::this_thread::sleep_for(std::min<Clock::duration>(left, std::chrono::milliseconds(10)));
    }
}

} // namespace vita49::sim
