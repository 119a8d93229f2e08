#include "net/SocketLibrary.h"

#include <mutex>

#include "net/Platform.h"

namespace vita49::net {
namespace {

// A lock costs nothing here and keeps the count right for applications that create
// receivers from several threads.
std::mutex& CountLock() {
    static std::mutex lock;
    return lock;
}
std::uint16_t users = 0;
std::uint32_t startups = 0;
std::uint32_t cleanups = 0;

} // namespace

void AcquireSocketLibrary() {
    std::lock_guard<std::mutex> guard(CountLock());
    if (users == 0) {
        StartSocketLibrary();
        ++startups;
    }
    ++users;
}

void ReleaseSocketLibrary() {
    std::lock_guard<std::mutex> guard(CountLock());
    if (users == 1) {
        StopSocketLibrary();
        ++cleanups;
    }
    if (users > 0) --users;
}

std::uint16_t SocketLibraryUsers() {
    std::lock_guard<std::mutex> guard(CountLock());
    return users;
}
std::uint32_t SocketLibraryStartups() {
    std::lock_guard<std::mutex> guard(CountLock());
    return startups;
}
std::uint32_t SocketLibraryCleanups() {
    std::lock_guard<std::mutex> guard(CountLock());
    return cleanups;
}

} // namespace vita49::net
