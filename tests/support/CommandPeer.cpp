#include "support/CommandPeer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

namespace vita49::test {
namespace {

constexpr int kListenBacklog = 8;
constexpr std::size_t kReadChunk = 65536;

bool MakeAddress(const std::string& text, std::uint16_t port, sockaddr_in& address) {
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    return inet_pton(AF_INET, text.c_str(), &address.sin_addr) == 1;
}

void CloseFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

bool WouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK || error == EINTR; }

} // namespace

CommandPeer::CommandPeer(std::string address, std::uint16_t port, int receiveBufferBytes)
    : address_(std::move(address)), port_(port), receiveBufferBytes_(receiveBufferBytes) {}

CommandPeer::~CommandPeer() { Stop(); }

bool CommandPeer::Start() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (thread_.joinable() || stop_) return false;
    sockaddr_in address;
    if (!MakeAddress(address_, port_, address)) return false;
    int wake[2];
    if (::pipe2(wake, O_NONBLOCK | O_CLOEXEC) != 0) return false;
    wakeRead_ = wake[0];
    wakeWrite_ = wake[1];
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    bool ok = listener_ >= 0;
    int one = 1;
    // Earlier runs leave connections of this address in TIME_WAIT.
    if (ok) ok = ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == 0;
    if (ok && receiveBufferBytes_ > 0)
        ok = ::setsockopt(listener_, SOL_SOCKET, SO_RCVBUF, &receiveBufferBytes_, sizeof receiveBufferBytes_) == 0;
    if (ok) ok = ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    if (ok) ok = ::listen(listener_, kListenBacklog) == 0;
    if (!ok) {
        CloseFd(listener_);
        CloseFd(wakeRead_);
        CloseFd(wakeWrite_);
        return false;
    }
    thread_ = std::thread([this] { Run(); });
    return true;
}

void CommandPeer::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!thread_.joinable()) return;
        stop_ = true;
        Wake();
    }
    thread_.join();
    std::lock_guard<std::mutex> lock(mutex_);
    if (client_ >= 0) EndConnectionLocked(End::PeerClosed);
    CloseFd(filler_);
    CloseFd(listener_);
    CloseFd(wakeRead_);
    CloseFd(wakeWrite_);
}

void CommandPeer::SetAnswer(const std::string& line, Answer answer) {
    std::lock_guard<std::mutex> lock(mutex_);
    answers_[line] = std::move(answer);
}

void CommandPeer::ClearAnswer(const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    answers_.erase(line);
}

void CommandPeer::SetResponder(std::function<Answer(const std::string& line)> responder) {
    std::lock_guard<std::mutex> lock(mutex_);
    responder_ = std::move(responder);
}

void CommandPeer::PauseReading() {
    std::lock_guard<std::mutex> lock(mutex_);
    paused_ = true;
    Wake();
}

void CommandPeer::ResumeReading() {
    std::lock_guard<std::mutex> lock(mutex_);
    paused_ = false;
    Wake();
}

void CommandPeer::SetReadPace(std::size_t bytes, Ms interval) {
    std::lock_guard<std::mutex> lock(mutex_);
    paceBytes_ = bytes;
    paceInterval_ = interval;
    Wake();
}

bool CommandPeer::HoldAccepts() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (holding_) return true;
    if (listener_ < 0) return false;
    // From now on the thread accepts nothing. With a backlog of 0 the queue takes exactly one
    // connection, our own; every other connect attempt then goes unanswered.
    holding_ = true;
    if (::listen(listener_, 0) != 0) return false;
    sockaddr_in address;
    MakeAddress(address_, port_, address);
    filler_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (filler_ < 0) return false;
    if (::connect(filler_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return true;
    if (errno != EINPROGRESS) return false;
    pollfd p{filler_, POLLOUT, 0};
    if (::poll(&p, 1, 2000) != 1) return false;
    int error = 0;
    socklen_t length = sizeof error;
    return ::getsockopt(filler_, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
}

void CommandPeer::ReleaseAccepts() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!holding_) return;
    // The filler is the only connection the full queue let in: take it out and drop it.
    int queued = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (queued >= 0) ::close(queued);
    CloseFd(filler_);
    ::listen(listener_, kListenBacklog);
    holding_ = false;
    Wake();
}

void CommandPeer::CloseConnection() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!thread_.joinable()) return;
    closeRequested_ = true;
    Wake();
    changed_.wait(lock, [this] { return !closeRequested_; });
}

std::string CommandPeer::Received() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

std::vector<std::string> CommandPeer::Lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
}

std::size_t CommandPeer::LineCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_.size();
}

std::size_t CommandPeer::Connections() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return connections_;
}

CommandPeer::End CommandPeer::LastEnd() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lastEnd_;
}

bool CommandPeer::WaitForLines(std::size_t count, Ms limit) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return lines_.size() >= count; });
}

bool CommandPeer::WaitForConnections(std::size_t count, Ms limit) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return connections_ >= count; });
}

bool CommandPeer::WaitForEnd(Ms limit) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return connections_ > 0 && lastEnd_ != End::Open; });
}

bool CommandPeer::WaitForAnswersSent(Ms limit) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return outgoing_.empty(); });
}

void CommandPeer::Wake() {
    if (wakeWrite_ < 0) return;
    const char byte = 1;
    // A full pipe already wakes the thread.
    [[maybe_unused]] ssize_t n = ::write(wakeWrite_, &byte, 1);
}

void CommandPeer::Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stop_) {
        if (closeRequested_) {
            if (client_ >= 0) EndConnectionLocked(End::PeerClosed);
            closeRequested_ = false;
            changed_.notify_all();
        }
        if (client_ < 0 && !holding_) AcceptLocked();
        if (client_ >= 0) WriteLocked();
        auto now = Clock::now();
        const bool readNow = client_ >= 0 && !paused_ && now >= nextRead_;
        if (readNow) ReadLocked();

        // Sleep until a socket or the wake pipe needs us, or until the next piece or paced
        // read is due.
        now = Clock::now();
        pollfd fds[3];
        nfds_t count = 0;
        fds[count++] = pollfd{wakeRead_, POLLIN, 0};
        if (client_ < 0 && !holding_) fds[count++] = pollfd{listener_, POLLIN, 0};
        int timeoutMs = -1;
        auto until = [&](Clock::time_point due) {
            auto ms = std::chrono::duration_cast<Ms>(due - now).count() + 1;
            if (ms < 0) ms = 0;
            if (timeoutMs < 0 || ms < timeoutMs) timeoutMs = static_cast<int>(ms);
        };
        if (client_ >= 0) {
            short events = 0;
            if (!paused_) {
                if (now >= nextRead_)
                    events |= POLLIN;
                else
                    until(nextRead_);
            }
            if (!outgoing_.empty()) {
                if (outgoing_.front().due <= now)
                    events |= POLLOUT; // the last send found no room
                else
                    until(outgoing_.front().due);
            }
            // Not even for hang-ups while nothing is wanted: a reset would wake us in a loop.
            if (events != 0) fds[count++] = pollfd{client_, events, 0};
        }
        lock.unlock();
        ::poll(fds, count, timeoutMs);
        char drain[64];
        while (::read(wakeRead_, drain, sizeof drain) > 0) {
        }
        lock.lock();
    }
}

void CommandPeer::AcceptLocked() {
    const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    client_ = fd;
    ++connections_;
    lastEnd_ = End::Open;
    outputEnded_ = false;
    nextRead_ = Clock::now();
    lastDue_ = Clock::now();
    changed_.notify_all();
}

void CommandPeer::ReadLocked() {
    char buffer[kReadChunk];
    const std::size_t want = paceBytes_ > 0 ? std::min(paceBytes_, kReadChunk) : kReadChunk;
    const ssize_t n = ::recv(client_, buffer, want, MSG_DONTWAIT);
    if (n < 0) {
        if (!WouldBlock(errno)) EndConnectionLocked(End::ClientReset);
        return;
    }
    if (n == 0) {
        // The client has ended its side; an instrument closes its own in turn.
        EndConnectionLocked(End::ClientClosed);
        return;
    }
    if (paceBytes_ > 0) nextRead_ = Clock::now() + paceInterval_;
    received_.append(buffer, static_cast<std::size_t>(n));
    partial_.append(buffer, static_cast<std::size_t>(n));
    std::size_t start = 0;
    for (std::size_t end; (end = partial_.find('\n', start)) != std::string::npos; start = end + 1) {
        lines_.push_back(partial_.substr(start, end + 1 - start));
        OnLineLocked(lines_.back());
    }
    partial_.erase(0, start);
    changed_.notify_all();
}

void CommandPeer::OnLineLocked(const std::string& line) {
    Answer answer;
    auto found = answers_.find(line);
    if (found != answers_.end())
        answer = found->second;
    else if (responder_)
        answer = responder_(line);
    if (answer.pieces.empty() && answer.then == Then::KeepOpen) return;
    // An instrument answers in the order it was asked: a later answer never overtakes.
    Clock::time_point due = std::max(Clock::now(), lastDue_);
    for (Piece& piece : answer.pieces) {
        due += piece.delay;
        outgoing_.push_back(Outgoing{due, std::move(piece.bytes), Then::KeepOpen});
    }
    if (answer.then != Then::KeepOpen) outgoing_.push_back(Outgoing{due, std::string(), answer.then});
    lastDue_ = due;
}

void CommandPeer::WriteLocked() {
    while (client_ >= 0 && !outgoing_.empty() && outgoing_.front().due <= Clock::now()) {
        Outgoing& next = outgoing_.front();
        if (!next.bytes.empty() && !outputEnded_) {
            const ssize_t n = ::send(client_, next.bytes.data(), next.bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0) {
                if (!WouldBlock(errno)) EndConnectionLocked(End::ClientReset);
                return;
            }
            next.bytes.erase(0, static_cast<std::size_t>(n));
            if (!next.bytes.empty()) continue;
        }
        const Then then = next.then;
        outgoing_.pop_front();
        changed_.notify_all();
        if (then == Then::EndOutput && !outputEnded_) {
            ::shutdown(client_, SHUT_WR);
            outputEnded_ = true;
        } else if (then == Then::Close) {
            EndConnectionLocked(End::PeerClosed);
        }
    }
}

void CommandPeer::EndConnectionLocked(End end) {
    CloseFd(client_);
    outgoing_.clear();
    partial_.clear();
    outputEnded_ = false;
    lastEnd_ = end;
    changed_.notify_all();
}

} // namespace vita49::test
