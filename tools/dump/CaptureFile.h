#pragma once

// Reading a whole capture: a pcap or pcapng file through libpcap (frames through a
// CaptureReader), or a raw file of VITA 49 packets back to back (one byte stream without
// addresses or time). This is the interface for everything that wants the VITA 49 payloads
// of a file: for each payload its capture time, source, destination, transport and bytes.

#include <cstdint>
#include <cstdio>
#include <string>

#include "dump/CaptureReader.h"
#include "dump/CaptureTypes.h"

namespace vita49::capture {

enum class FileFormat {
    kAuto, // raw for the extensions .vrt and .bin, else pcap or pcapng
    kPcap,
    kRaw,
};

struct ReadReport {
    std::string format;   // "pcap/pcapng (link type 1)", "raw"
    CaptureCounts counts; // pcap only
    std::uint64_t rawBytes = 0;
    bool brokeOff = false; // the file ended or failed in the middle of a record (reported)
};

// Reads the file at `path` into `sink`. Returns false, with a one-line `error`, when the
// file cannot be read at all (missing, not a capture, a link type that is not read); nothing
// was delivered then. A file that breaks off later is read up to there and the break is
// reported to the sink as a Problem of kind kFile.
bool ReadCaptureFile(const std::string& path, FileFormat format, CaptureSink& sink, const ReassemblyLimits& limits,
                     ReadReport& report, std::string& error);

// The same for a file already open (fmemopen, a pipe); takes ownership of `file`. A raw
// file is delivered in payloads of `chunkBytes`.
bool ReadPcapStream(std::FILE* file, const std::string& name, CaptureSink& sink, const ReassemblyLimits& limits,
                    ReadReport& report, std::string& error);
bool ReadRawStream(std::FILE* file, const std::string& name, CaptureSink& sink, ReadReport& report,
                   std::string& error, std::size_t chunkBytes = std::size_t{1} << 20);

// Whether a file name says "raw packets" (.vrt, .bin).
bool HasRawExtension(const std::string& path);

} // namespace vita49::capture
