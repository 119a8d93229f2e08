// The simulated instrument's command port with controllers that misbehave: one that sends
// queries and never reads the answers must not hold up another, is disconnected once its
// answers fill their queue, and does not keep the built vita49-sim from ending on SIGINT.
// Loopback addresses 127.0.42.16x.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "support/SimSession.h"
#include "support/ToolRun.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;

// A controller on port 5300, as raw as a test needs it.
class Controller {
public:
    // `receiveBuffer` > 0 shrinks what the system takes for us before we read.
    explicit Controller(const std::string& address, int receiveBuffer = 0) {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        if (receiveBuffer > 0) setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(5300);
        inet_pton(AF_INET, address.c_str(), &a.sin_addr);
        connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~Controller() {
        if (fd_ >= 0) close(fd_);
    }
    Controller(const Controller&) = delete;
    Controller& operator=(const Controller&) = delete;

    bool Connected() const { return connected_; }

    // Sends `line` over and over, never reading, until the instrument drops the connection
    // (true), `stop` is set or `limit` bytes went out (false).
    bool FloodUntilDropped(const std::string& line, std::size_t limit, const std::atomic<bool>& stop) {
        std::string chunk;
        while (chunk.size() < 4096) chunk += line;
        while (sent_ < limit && !stop.load()) {
            const ssize_t n = send(fd_, chunk.data(), chunk.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                sent_ += static_cast<std::size_t>(n);
            } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
                pollfd p{fd_, POLLOUT, 0};
                poll(&p, 1, 50);
            } else {
                return true;
            }
        }
        return false;
    }
    std::size_t Sent() const { return sent_; }

    bool SendBytes(const std::string& bytes) {
        return send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    }
    // Ends our sending direction; the instrument may still answer.
    bool EndSending() { return shutdown(fd_, SHUT_WR) == 0; }
    // Everything until the instrument closes, or `limit`.
    std::string ReadToEnd(Ms limit, bool& closed) {
        std::string text;
        closed = false;
        const auto end = Clock::now() + limit;
        for (;;) {
            const auto left = std::chrono::duration_cast<Ms>(end - Clock::now()).count();
            if (left <= 0) return text;
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
            char buffer[256];
            const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
            if (n <= 0) {
                closed = n == 0;
                return text;
            }
            text.append(buffer, static_cast<std::size_t>(n));
        }
    }

    // Sends `line` and reads until "\r\n" within `limit`.
    std::string Query(const std::string& line, Ms limit = Ms(3000)) {
        if (send(fd_, line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size())) return "send failed";
        std::string text;
        const auto end = Clock::now() + limit;
        while (text.size() < 2 || text.compare(text.size() - 2, 2, "\r\n") != 0) {
            const auto left = std::chrono::duration_cast<Ms>(end - Clock::now()).count();
            if (left <= 0) return text + "(no answer in time)";
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
            char buffer[256];
            const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
            if (n <= 0) return text + "(connection ended)";
            text.append(buffer, static_cast<std::size_t>(n));
        }
        return text;
    }

private:
    int fd_ = -1;
    bool connected_ = false;
    std::size_t sent_ = 0;
};

constexpr std::size_t kFloodLimit = 64u << 20;

using ControllerTest = vita49::test::SimSession;

TEST_F(ControllerTest, OneThatNeverReadsHoldsUpNoOtherAndIsDisconnected) {
    StartSim("127.0.42.160");
    Controller reader(address);
    ASSERT_TRUE(reader.Connected());
    const std::string identity = reader.Query("*IDN?\n");
    ASSERT_EQ(identity, sim->State().identity + "\r\n");

    Controller flooder(address, 4096);
    ASSERT_TRUE(flooder.Connected());
    std::atomic<bool> stop{false};
    std::atomic<bool> dropped{false};
    std::atomic<std::size_t> sent{0};
    std::thread flood([&] {
        dropped = flooder.FloodUntilDropped("*IDN?\n", kFloodLimit, stop);
        sent = flooder.Sent();
    });
    // While the flood runs (and after it), every query of the other controller is answered.
    for (int i = 0; i < 20; ++i) EXPECT_EQ(reader.Query("*IDN?\n"), identity) << "query " << i;
    flood.join();
    stop = true;
    EXPECT_TRUE(dropped) << "the flooder sent " << sent << " bytes and is still connected";
    EXPECT_EQ(sim->Stats().controllersDropped, 1u);
    EXPECT_EQ(reader.Query("SYSTem:ERRor?\n"), "0,\"No error\"\r\n");
    std::printf("[ figures  ] the flooder sent %zu bytes of *IDN? before it was disconnected\n", sent.load());
}

TEST_F(ControllerTest, AnswersOfAControllerThatStopsSendingStillGoOut) {
    StartSim("127.0.42.161");
    Controller controller(address);
    ASSERT_TRUE(controller.Connected());
    // The queries and the end of sending arrive together: the answers go out, then the
    // instrument closes its side.
    ASSERT_TRUE(controller.SendBytes("*IDN?\nIQST:CBW?\nSYST:ERR?"));
    ASSERT_TRUE(controller.EndSending());
    bool closed = false;
    EXPECT_EQ(controller.ReadToEnd(Ms(3000), closed), sim->State().identity + "\r\n1000000\r\n");
    EXPECT_TRUE(closed);
    EXPECT_EQ(sim->Stats().controllersDropped, 0u);
}

// --- The built program ------------------------------------------------------------------------

struct SimProcess {
    pid_t pid = -1;
    bool Start(const std::string& address) {
        const std::string program = vita49::test::BuiltProgram("tools/sim/vita49-sim");
        posix_spawn_file_actions_t files;
        posix_spawn_file_actions_init(&files);
        posix_spawn_file_actions_addopen(&files, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&files, 2, "/dev/null", O_WRONLY, 0);
        std::string addressOption = "--address";
        std::string addressText = address;
        char* argv[] = {const_cast<char*>(program.c_str()), addressOption.data(), addressText.data(), nullptr};
        const int rc = posix_spawn(&pid, program.c_str(), &files, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&files);
        return rc == 0;
    }
    // The exit status once it has ended within `limit`; -1 when it has not.
    int WaitExit(Ms limit) {
        const auto end = Clock::now() + limit;
        while (Clock::now() < end) {
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) == pid) {
                pid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(Ms(5));
        }
        return -1;
    }
    ~SimProcess() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
};

TEST(SimProgramTest, SigintEndsItWhileAControllerFloodsWithoutReading) {
    const std::string address = "127.0.42.162";
    SimProcess sim;
    ASSERT_TRUE(sim.Start(address)) << "cannot start " << vita49::test::BuiltProgram("tools/sim/vita49-sim");
    std::unique_ptr<Controller> flooder;
    for (int attempt = 0; attempt < 200; ++attempt) {
        flooder = std::make_unique<Controller>(address, 4096);
        if (flooder->Connected()) break;
        std::this_thread::sleep_for(Ms(25));
    }
    ASSERT_TRUE(flooder->Connected()) << "vita49-sim does not listen on " << address;
    // Another one leaves a line unfinished and waits.
    Controller halfLine(address);
    ASSERT_TRUE(halfLine.Connected());
    ASSERT_TRUE(halfLine.SendBytes("IQSTream:CBW 5"));

    std::atomic<bool> stop{false};
    std::thread flood([&] { flooder->FloodUntilDropped("*IDN?\n", kFloodLimit, stop); });
    std::this_thread::sleep_for(Ms(300)); // the flood under way
    const auto signalled = Clock::now();
    ASSERT_EQ(kill(sim.pid, SIGINT), 0);
    const int status = sim.WaitExit(Ms(5000));
    const auto tookMs = std::chrono::duration_cast<Ms>(Clock::now() - signalled).count();
    stop = true;
    flood.join();
    EXPECT_EQ(status, 0) << "vita49-sim did not end within 5 s of SIGINT";
    std::printf("[ figures  ] vita49-sim ended %lld ms after SIGINT\n", static_cast<long long>(tookMs));
}

} // namespace
