#pragma once

// The only place that knows the operating system's socket interface. One source file per
// platform implements it (PlatformPosix.cpp, PlatformWindows.cpp); everything above speaks
// in these neutral terms, so the socket classes carry no #ifdef.

#include <cstddef>
#include <cstdint>
#include <string>

namespace vita49::net {

using NativeSocket = std::uintptr_t;
constexpr NativeSocket kInvalidSocket = ~NativeSocket{0};

// Socket types as the connection classes record them. Every socket is IPv4: addresses are
// resolved to dotted IPv4 text before any socket is made.
constexpr std::int32_t kTypeNone = 0;
constexpr std::int32_t kTypeStream = 1;
constexpr std::int32_t kTypeDatagram = 2;

// The few meanings of a failed call that the socket code tells apart.
enum class SockError {
    None,
    WouldBlock,     // nothing to do now; for connect: an attempt was started
    Already,        // a connect attempt is still in progress
    IsConnected,    // the attempt of an earlier call has completed
    MessageTooLong, // a datagram did not fit the receive buffer (its bytes are lost)
    NoBuffers,      // the system is short of buffers for the moment: try again a little later
    Other,
};

enum class WaitResult { Ready, Timeout, Error };

// Socket library start-up and clean-up (WSAStartup/WSACleanup; nothing on POSIX).
void StartSocketLibrary();
void StopSocketLibrary();

// Creates a close-on-exec IPv4 socket of the given type; kInvalidSocket on failure.
NativeSocket CreateSocket(std::int32_t type);
bool CloseSocket(NativeSocket s);
bool MakeNonBlocking(NativeSocket s);
// Loopback fast path; succeeds without effect where the platform has none.
bool EnableFastLoopback(NativeSocket s);
// Asks for a receive buffer of `bytes`; a size capped by the system is not a failure.
bool SetReceiveBuffer(NativeSocket s, int bytes);
// Binds to `address` (empty: any address) and `port` (0: system's choice).
bool BindAddress(NativeSocket s, const std::string& address, std::uint16_t port);
bool ListenOn(NativeSocket s, int backlog);
// Lets a listening port be bound again while closed connections linger; never lets two
// live listeners share it. A no-op where the platform's reuse option would allow that.
void ReuseListenAddress(NativeSocket s);
// Before binding a multicast receiver: lets other sockets on this host bind the same address
// and port, so that several receivers of one group each get every datagram. Best effort: a
// socket that cannot share still receives alone.
void ShareDatagramAddress(NativeSocket s);
// Takes one pending client as a non-blocking, close-on-exec socket; the peer's numeric
// address goes to `peer`. kInvalidSocket with `err` set when none was taken.
NativeSocket AcceptClient(NativeSocket listener, std::string& peer, SockError& err);
// Starts or continues a connect; true when connected, else `err` tells why.
bool ConnectAddress(NativeSocket s, const std::string& address, std::uint16_t port, SockError& err);
// After writability: false when the pending connect attempt has failed.
bool ConnectSucceeded(NativeSocket s);
// Waits up to timeoutMs (0: poll once) for the socket to become readable or writable.
WaitResult WaitReady(NativeSocket s, bool forWrite, std::int32_t timeoutMs);
// One send/sendto/recv/recvfrom; returns the count or -1 with `err` set. Sends never raise
// a signal when the peer has gone.
long SendSome(NativeSocket s, const void* data, std::size_t len, SockError& err);
long SendDatagram(NativeSocket s, const void* data, std::size_t len, const std::string& address,
                  std::uint16_t port, SockError& err);
long ReceiveSome(NativeSocket s, void* buffer, std::size_t len, bool datagram, SockError& err);
// Joins a multicast group on the default interface.
bool JoinGroup(NativeSocket s, const std::string& group);
// Shuts the sending direction (a normal end of stream follows the bytes already sent).
bool ShutdownSend(NativeSocket s);

// Name resolution to a dotted IPv4 text; false leaves `text` unchanged.
bool ResolveIPv4(std::string& text);

// True for a path that names a pipe nobody reads from: opening it for writing would wait
// until someone does. False where pipes have no names in the file system.
bool IsPipeWithoutReader(const char* path);

// --- Recording files: opened and written without ever waiting for a reader for ever.
using NativeFile = std::intptr_t;
constexpr NativeFile kInvalidFile = -1;

// Creates or truncates `path` for writing, close-on-exec. Never waits: a pipe that nobody reads
// is refused. On failure `error` says why (the system's text). `isPipe`: a pipe or socket,
// whose writes may have to wait for its reader and which cannot seek.
NativeFile OpenOutputFile(const char* path, bool& isPipe, std::string& error);
// One write of at most `len` bytes: the count taken (0 with `wouldBlock` when a pipe is full
// for now), or -1 with `error` set. On a pipe (`isPipe` of the opening) whose reader has gone
// the write fails with an error instead of raising a signal.
long WriteFileSome(NativeFile f, const void* data, std::size_t len, bool isPipe, bool& wouldBlock,
                   std::string& error);
// Writes all of `len` bytes at `offset` of a regular file, leaving the append position alone.
bool WriteFileAt(NativeFile f, std::uint64_t offset, const void* data, std::size_t len, std::string& error);
// Cuts (or extends) the file to `size` bytes; later writes go to its new end.
bool TruncateFile(NativeFile f, std::uint64_t size, std::string& error);
// Waits up to timeoutMs for a pipe to take bytes again (Ready at once where writes never wait).
WaitResult WaitFileWritable(NativeFile f, std::int32_t timeoutMs);
bool CloseFile(NativeFile f, std::string& error);

// Gives the rest of the time slice to other threads / sleeps.
void SleepMs(std::int32_t ms);
// Raises the calling thread's priority where permitted; a refusal is ignored.
void RaiseThreadPriority();

} // namespace vita49::net
