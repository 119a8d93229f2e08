#include "dump/CaptureFile.h"

#ifndef VITA49_CAPTURE_NO_PCAP
#include <pcap/pcap.h>
#endif

#include <cctype>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

namespace vita49::capture {

namespace {

#ifndef VITA49_CAPTURE_NO_PCAP
struct PcapCloser {
    void operator()(pcap_t* p) const { pcap_close(p); }
};

std::string LinkTypeName(int linkType) {
    const char* name = pcap_datalink_val_to_name(linkType);
    return std::to_string(linkType) + (name ? std::string(" (") + name + ")" : std::string());
}
#endif

void ReportBreak(CaptureSink& sink, const CaptureTime& time, const std::string& what) {
    Problem p;
    p.kind = ProblemKind::kFile;
    p.time = time;
    p.what = what;
    sink.OnProblem(p);
}

} // namespace

bool HasRawExtension(const std::string& path) {
    auto endsWith = [&path](const char* suffix) {
        const std::size_t n = std::strlen(suffix);
        if (path.size() < n) return false;
        for (std::size_t i = 0; i < n; ++i)
            if (std::tolower(static_cast<unsigned char>(path[path.size() - n + i])) != suffix[i]) return false;
        return true;
    };
    return endsWith(".vrt") || endsWith(".bin");
}

bool ReadCaptureFile(const std::string& path, FileFormat format, CaptureSink& sink, const ReassemblyLimits& limits,
                     ReadReport& report, std::string& error) {
    std::FILE* file = path == "-" ? stdin : std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    // Records are read one by one: a large buffer saves system calls (glibc takes the size
    // only with a buffer). It outlives the file, which the readers close.
    const std::size_t bufferBytes = std::size_t{1} << 20;
    const std::unique_ptr<char[]> buffer(new char[bufferBytes]);
    std::setvbuf(file, buffer.get(), _IOFBF, bufferBytes);
    if (format == FileFormat::kRaw || (format == FileFormat::kAuto && HasRawExtension(path)))
        return ReadRawStream(file, path, sink, report, error);
    return ReadPcapStream(file, path, sink, limits, report, error);
}

bool ReadPcapStream(std::FILE* file, const std::string& name, CaptureSink& sink, const ReassemblyLimits& limits,
                    ReadReport& report, std::string& error) {
#ifdef VITA49_CAPTURE_NO_PCAP
    // Built without libpcap: raw files are still read.
    (void)sink;
    (void)limits;
    (void)report;
    std::fclose(file);
    error = name + ": reading pcap and pcapng captures needs libpcap, which this build lacks (apt-get install " +
            "libpcap-dev and build again); a raw file of VITA 49 packets (.vrt, .bin) can be read";
    return false;
#else
    char message[PCAP_ERRBUF_SIZE] = "";
    std::unique_ptr<pcap_t, PcapCloser> pcap(pcap_fopen_offline(file, message));
    if (!pcap) {
        std::fclose(file);
        error = name + ": not a pcap or pcapng capture (" + message +
                "); a file of VITA 49 packets back to back is read with --raw";
        return false;
    }
    const int linkType = pcap_datalink(pcap.get());
    if (!CaptureReader::LinkTypeSupported(linkType)) {
        error = name + ": link type " + LinkTypeName(linkType) +
                " is not read (Ethernet, Linux cooked v1/v2, raw IP and BSD loopback are)";
        return false;
    }
    report.format = "pcap/pcapng, link type " + LinkTypeName(linkType);
    CaptureReader reader(sink, limits);
    CaptureTime time;
    while (sink.WantsMore()) {
        pcap_pkthdr* header = nullptr;
        const u_char* bytes = nullptr;
        const int rc = pcap_next_ex(pcap.get(), &header, &bytes);
        if (rc == 1) {
            time.valid = true;
            time.seconds = static_cast<double>(header->ts.tv_sec) + 1e-6 * static_cast<double>(header->ts.tv_usec);
            reader.Frame(linkType, bytes, header->caplen, header->len, time);
            continue;
        }
        if (rc != PCAP_ERROR_BREAK) {
            report.brokeOff = true;
            ReportBreak(sink, time,
                        "the capture breaks off after " + std::to_string(reader.Counts().frames) +
                            " records: " + pcap_geterr(pcap.get()));
        }
        break;
    }
    reader.Finish();
    report.counts = reader.Counts();
    return true;
#endif
}

bool ReadRawStream(std::FILE* file, const std::string& name, CaptureSink& sink, ReadReport& report,
                   std::string& error, std::size_t chunkBytes) {
    report.format = "raw VITA 49 packets";
    static const Flow rawFlow{};
    std::vector<std::uint8_t> chunk(chunkBytes > 0 ? chunkBytes : 1);
    const CaptureTime noTime;
    while (sink.WantsMore()) {
        const std::size_t n = std::fread(chunk.data(), 1, chunk.size(), file);
        if (n > 0) {
            report.rawBytes += n;
            Payload p;
            p.time = noTime;
            p.flow = &rawFlow;
            p.bytes = chunk.data();
            p.size = n;
            sink.OnPayload(p);
        }
        if (n < chunk.size()) break;
    }
    if (std::ferror(file)) {
        if (report.rawBytes == 0) {
            error = name + ": " + std::strerror(errno);
            std::fclose(file);
            return false;
        }
        report.brokeOff = true;
        ReportBreak(sink, noTime, name + ": read error after " + std::to_string(report.rawBytes) + " bytes");
    }
    std::fclose(file);
    sink.OnStreamEnd(rawFlow, noTime);
    return true;
}

} // namespace vita49::capture
