#pragma once

// Command-line options of vita49-dump.

#include <cstdint>
#include <string>

#include "dump/CaptureFile.h"

namespace vita49::dump {

struct DumpOptions {
    std::string path;
    capture::FileFormat format = capture::FileFormat::kAuto;
    bool summary = false;
    bool json = false;
    bool hasPort = false;
    std::uint16_t port = 0;
    bool hasStreamId = false;
    std::uint32_t streamId = 0;
    std::string wavPath;
    std::string iqPath;
    std::string sigmfBase;
    bool help = false;

    bool Extracting() const { return !wavPath.empty() || !iqPath.empty() || !sigmfBase.empty(); }
};

// Parses argv; false with a message naming the option when one is unknown, lacks its value
// or has a value out of range, or when the file is missing.
bool ParseDumpOptions(int argc, char** argv, DumpOptions& options, std::string& error);
std::string DumpUsage();

} // namespace vita49::dump
