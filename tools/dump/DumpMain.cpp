// vita49-dump: what is in a capture. Reads a pcap/pcapng file (or raw VITA 49 packets), and
// writes one line per packet, or the table of streams, and optionally the samples of one
// stream, through the library's own decoder and recordings.

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "dump/CaptureFile.h"
#include "dump/DumpOptions.h"
#include "dump/DumpOutput.h"
#include "dump/Dumper.h"

namespace {

using namespace vita49;
using namespace vita49::dump;

std::string StreamText(const StreamKey& key) {
    char id[16];
    std::snprintf(id, sizeof id, "0x%08" PRIx32, key.streamId);
    return std::string(capture::TransportName(key.flow.transport)) + " " + capture::EndpointText(key.flow.src) +
           " -> " + capture::EndpointText(key.flow.dst) + " id " + id;
}

// Reads the whole file into `dumper`; false (message printed) when it cannot be read.
bool Read(const DumpOptions& options, Dumper& dumper, capture::ReadReport& report) {
    std::string error;
    if (!capture::ReadCaptureFile(options.path, options.format, dumper, capture::ReassemblyLimits(), report, error)) {
        std::fprintf(stderr, "vita49-dump: %s\n", error.c_str());
        return false;
    }
    dumper.Finish();
    return true;
}

// The one stream whose samples are extracted: chosen by the filters among those with IF data.
bool ChooseRecordedStream(const DumpOptions& options, StreamKey& chosen) {
    Dumper scan(options, nullptr, nullptr);
    capture::ReadReport report;
    if (!Read(options, scan, report)) return false;
    const std::vector<StreamKey> candidates = scan.DataStreams();
    if (candidates.size() == 1) {
        chosen = candidates.front();
        return true;
    }
    if (candidates.empty()) {
        std::fprintf(stderr, "vita49-dump: %s: no IF data packets%s to extract samples from\n", options.path.c_str(),
                     options.hasStreamId || options.hasPort ? " of the selected stream" : "");
        return false;
    }
    std::fprintf(stderr, "vita49-dump: %s: %zu streams carry IF data; choose one with --stream-id (and --port):\n",
                 options.path.c_str(), candidates.size());
    for (const StreamKey& key : candidates) std::fprintf(stderr, "  %s\n", StreamText(key).c_str());
    return false;
}

// The files of an extraction must be writable before the capture is read through.
bool OutputsWritable(const DumpOptions& options) {
    const std::string sigmf = options.sigmfBase.empty() ? std::string() : options.sigmfBase + ".sigmf-data";
    for (const std::string* path : {&options.wavPath, &options.iqPath, &sigmf}) {
        if (path->empty()) continue;
        std::FILE* f = std::fopen(path->c_str(), "ab");
        if (f == nullptr) {
            std::fprintf(stderr, "vita49-dump: %s: %s\n", path->c_str(), std::strerror(errno));
            return false;
        }
        std::fclose(f);
    }
    return true;
}

void Footer(std::FILE* out, const capture::ReadReport& report, const Dumper& dumper) {
    const capture::CaptureCounts& c = report.counts;
    if (report.format.rfind("raw", 0) == 0) {
        std::fprintf(out, "file: %s, %" PRIu64 " bytes\n", report.format.c_str(), report.rawBytes);
    } else {
        std::fprintf(out,
                     "file: %s: %" PRIu64 " frames, %" PRIu64 " bytes; %" PRIu64 " UDP datagrams, %" PRIu64
                     " TCP segments\n",
                     report.format.c_str(), c.frames, c.frameBytes, c.udpDatagrams, c.tcpSegments);
    }
    if (c.cutFrames > 0) std::fprintf(out, "frames captured shorter than sent: %" PRIu64 "\n", c.cutFrames);
    if (c.fragments > 0 || c.incompleteDatagrams > 0)
        std::fprintf(out, "IP fragments: %" PRIu64 ", reassembled into %" PRIu64 " datagrams; %" PRIu64
                     " incomplete datagrams dropped\n",
                     c.fragments, c.reassembled, c.incompleteDatagrams);
    if (c.tcpGaps > 0)
        std::fprintf(out, "TCP gaps: %" PRIu64 ", %" PRIu64 " bytes missing from the capture\n", c.tcpGaps,
                     c.tcpGapBytes);
    if (dumper.UnattributedItems() > 0)
        std::fprintf(out, "not part of any stream: %" PRIu64 " items, %" PRIu64 " bytes\n", dumper.UnattributedItems(),
                     dumper.UnattributedBytes());
    if (dumper.StreamsRefused() > 0)
        std::fprintf(out, "packets of streams beyond the first %zu, not decoded: %" PRIu64 "\n", Dumper::kMaxStreams,
                     dumper.StreamsRefused());
}

} // namespace

int main(int argc, char** argv) {
    DumpOptions options;
    std::string error;
    if (!ParseDumpOptions(argc, argv, options, error)) {
        std::fprintf(stderr, "vita49-dump: %s (--help lists the options)\n", error.c_str());
        return 2;
    }
    if (options.help) {
        std::fputs(DumpUsage().c_str(), stdout);
        return 0;
    }
    static char buffer[1 << 20];
    std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);

    StreamKey recorded;
    if (options.Extracting()) {
        if (options.path == "-") {
            std::fprintf(stderr, "vita49-dump: extraction reads the capture twice: give a file, not standard input\n");
            return 2;
        }
        if (!ChooseRecordedStream(options, recorded) || !OutputsWritable(options)) return 1;
    }

    DumpOutput output(stdout, options.json);
    Dumper dumper(options, &output, options.Extracting() ? &recorded : nullptr);
    capture::ReadReport report;
    if (!Read(options, dumper, report)) return 1;
    if (options.summary) {
        output.WriteSummary(dumper.Summaries());
        // JSON keeps stdout to one object per stream; the rest goes beside it.
        Footer(options.json ? stderr : stdout, report, dumper);
    }
    std::fflush(stdout);
    for (const std::string& problem : dumper.FileProblems())
        std::fprintf(stderr, "vita49-dump: %s: %s\n", options.path.c_str(), problem.c_str());
    if (!dumper.Error().empty()) {
        std::fprintf(stderr, "vita49-dump: %s\n", dumper.Error().c_str());
        return 1;
    }
    if (options.Extracting()) {
        if (dumper.RecordedSamples() == 0) {
            std::fprintf(stderr,
                         "vita49-dump: no samples of %s recorded: no IF context with a data item size came before "
                         "its IF data\n",
                         StreamText(recorded).c_str());
            return 1;
        }
        std::fprintf(stderr, "vita49-dump: %" PRIu64 " samples of %s written\n", dumper.RecordedSamples(),
                     StreamText(recorded).c_str());
    }
    return 0;
}
