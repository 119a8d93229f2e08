#pragma once

#include <cstdint>

namespace vita49::net {

// The process-wide count of live socket users (receivers and remote controls). The first
// user starts the platform's socket library and the last one stops it.
void AcquireSocketLibrary();
void ReleaseSocketLibrary();

// Observability for tests: the current count and how often start-up and clean-up ran.
std::uint16_t SocketLibraryUsers();
std::uint32_t SocketLibraryStartups();
std::uint32_t SocketLibraryCleanups();

} // namespace vita49::net
