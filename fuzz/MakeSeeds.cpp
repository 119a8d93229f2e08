// Writes the seed corpora of the fuzz targets: packets as the simulated instrument encodes
// them, streams of such packets with garbage between them, list answers, and small captures
// of such packets.
//   fuzz_make_seeds DIR      writes DIR/<target>/<seed>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "sim/PacketWriter.h"
#include "support/CaptureWriter.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using namespace vita49::sim;

constexpr std::uint32_t kStream = 1; // the stream identifier the stream targets accept

void Write(const fs::path& dir, const std::string& name, const Bytes& bytes) {
    fs::create_directories(dir);
    std::ofstream out(dir / name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

Bytes Packet(const PacketHeader& h, const Bytes& payload) {
    Bytes out;
    AppendPacket(out, h, payload.data(), payload.size());
    return out;
}

PacketHeader Header(std::uint8_t type, std::uint8_t count, std::uint32_t stream = kStream) {
    PacketHeader h;
    h.type = type;
    h.count = count;
    h.streamId = stream;
    h.tsi = 1;
    h.intTimestamp = 1700000000;
    h.tsf = 2;
    h.fracTimestamp = 123456789;
    return h;
}

Bytes DataPacket(std::uint8_t count, bool trailer, bool classId, std::size_t samples = 16) {
    PacketHeader h = Header(1, count);
    h.classId = classId;
    h.classOui = 0x00123456;
    h.classCodes = 0x00010002;
    h.trailer = trailer;
    TrailerBits bits;
    bits.contextCount = count;
    h.trailerWord = MakeTrailer(bits);
    Bytes payload(samples * 4);
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<std::uint8_t>(i * 7);
    return Packet(h, payload);
}

Bytes ContextPacket(std::uint8_t count, std::uint8_t itemBits, bool gps) {
    ContextValues v;
    v.hasBandwidth = v.hasRfReferenceFrequency = v.hasReferenceLevel = v.hasSampleRate = true;
    v.bandwidthHz = 10e6;
    v.rfReferenceFrequencyHz = 1.5e9;
    v.referenceLevelDbm = -10.5;
    v.sampleRateHz = 12.5e6;
    v.hasPayloadFormat = true;
    v.itemBits = itemBits;
    v.hasGps = gps;
    v.gps.latitudeDeg = 48.1;
    v.gps.longitudeDeg = 11.6;
    v.gps.altitudeM = 520;
    return Packet(Header(4, count), ContextSection(v));
}

Bytes SpectrumContext(std::uint8_t count) {
    return Packet(Header(5, count), SpectrumContextPayload(1e9, 2e6, 1e3, 1001));
}

Bytes SpectrumData(std::uint8_t count, std::uint16_t trace, std::size_t n) {
    std::vector<float> values(n);
    for (std::size_t i = 0; i < n; ++i) values[i] = -90.0f + static_cast<float>(i);
    return Packet(Header(3, count), SpectrumDataPayload(trace, values.data(), values.size()));
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// Stream target input: settings byte, chunk list, then the stream.
Bytes TcpInput(std::uint8_t flags, const Bytes& chunks, const Bytes& stream) {
    Bytes out{flags, static_cast<std::uint8_t>(chunks.size())};
    out.insert(out.end(), chunks.begin(), chunks.end());
    out.insert(out.end(), stream.begin(), stream.end());
    return out;
}

// UDP target input: settings byte, then one datagram operation per part.
Bytes UdpInput(std::uint8_t flags, std::initializer_list<Bytes> datagrams) {
    Bytes out{flags};
    for (const auto& d : datagrams) {
        out.push_back(0); // a datagram
        out.push_back(static_cast<std::uint8_t>(d.size() >> 8));
        out.push_back(static_cast<std::uint8_t>(d.size()));
        out.insert(out.end(), d.begin(), d.end());
    }
    return out;
}

// Capture target input: mode byte, limits byte, then the capture (mode 0: a file; mode 1:
// a link-type index and frame records; mode 2: a chunk-size byte and a raw file).
Bytes CaptureInput(std::uint8_t mode, std::uint8_t limits, const Bytes& rest) {
    Bytes out{mode, limits};
    out.insert(out.end(), rest.begin(), rest.end());
    return out;
}

void FrameRecord(Bytes& out, std::uint8_t timeStep, const Bytes& frame, std::size_t captured) {
    captured = std::min(captured, frame.size());
    out.insert(out.end(), {timeStep, static_cast<std::uint8_t>(captured >> 8), static_cast<std::uint8_t>(captured),
                           static_cast<std::uint8_t>(frame.size() >> 8), static_cast<std::uint8_t>(frame.size())});
    out.insert(out.end(), frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(captured));
}

void CaptureSeeds(const fs::path& dir, const Bytes& context, const Bytes& data, const Bytes& garbage) {
    using namespace vita49::test;
    const IpEndpoint from{"192.0.2.1", 50000}, to{"192.0.2.2", 5001};
    const Bytes big = DataPacket(7, true, true, 300);

    CaptureWriter fragments(LinkTypeOf(Link::kEthernet));
    fragments.Add(Frame(Link::kEthernet, UdpPacket(from, to, context, 1)), 1.0);
    const std::vector<Bytes> pieces = Fragments(UdpPacket(from, to, big, 2), 576);
    for (auto it = pieces.rbegin(); it != pieces.rend(); ++it) fragments.Add(Frame(Link::kEthernet, *it), 1.1);
    fragments.Add(Frame(Link::kEthernet, UdpPacket(from, to, Concat({data, garbage}), 3)), 1.2);
    Write(dir, "pcap_fragments", CaptureInput(0, 0x00, fragments.Contents()));

    CaptureWriter tcp(LinkTypeOf(Link::kVlan), true);
    const Bytes stream = Concat({context, data, big, data, big});
    tcp.Add(Frame(Link::kVlan, TcpPacket(from, to, 1000, kSyn, {})), 2.0);
    const std::size_t segment = 500;
    for (std::size_t at = 0, n = 0; at < stream.size(); at += segment, ++n) {
        if (n == 2) continue; // never captured
        const Bytes part(stream.begin() + static_cast<std::ptrdiff_t>(at),
                         stream.begin() + static_cast<std::ptrdiff_t>(std::min(stream.size(), at + segment)));
        tcp.Add(Frame(Link::kVlan, TcpPacket(from, to, 1001 + static_cast<std::uint32_t>(at), kAck, part)), 2.1);
    }
    tcp.Add(Frame(Link::kVlan, TcpPacket(from, to, 1001 + static_cast<std::uint32_t>(stream.size()), kFin, {})), 2.2);
    Write(dir, "pcapng_vlan_tcp_hole", CaptureInput(0, 0x40, tcp.Contents()));

    Bytes frames{2}; // Linux cooked v2
    const IpEndpoint from6{"fd00::1", 50000}, to6{"fd00::2", 5001};
    FrameRecord(frames, 1, Frame(Link::kLinuxSll2, UdpPacket(from6, to6, context)), 4096);
    FrameRecord(frames, 1, Frame(Link::kLinuxSll2, UdpPacket(from6, to6, data)), 70);
    FrameRecord(frames, 9, Frame(Link::kLinuxSll2, UdpPacket(from, to, Concat({data, data}))), 4096);
    Write(dir, "frames_ipv6_cut", CaptureInput(1, 0x85, frames));

    Bytes evict{0}; // Ethernet
    const std::vector<Bytes> a = Fragments(UdpPacket(from, to, big, 10), 300);
    const std::vector<Bytes> b = Fragments(UdpPacket(from, to, big, 11), 300);
    for (std::size_t i = 0; i < a.size(); ++i) {
        FrameRecord(evict, 0, Frame(Link::kEthernet, a[i]), 4096);
        FrameRecord(evict, 0, Frame(Link::kEthernet, b[i]), 4096);
    }
    Write(dir, "frames_fragment_eviction", CaptureInput(1, 0x00, evict));

    Write(dir, "raw_stream",
          CaptureInput(2, 0, Concat({{0x20}, context, data, garbage, big, Bytes(big.begin(), big.begin() + 40)})));
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s CORPUS_DIR\n", argv[0]);
        return 2;
    }
    const fs::path root = argv[1];
    const Bytes garbage{0xDE, 0xAD, 0xBE, 0xEF, 0x00, 0x11, 0x7F, 0xFF, 0x42};
    const Bytes zeroSize{0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01};
    const Bytes context16 = ContextPacket(0, 16, true);
    const Bytes context32 = ContextPacket(0, 32, false);
    const Bytes foreign = Packet(Header(1, 0, 77), Bytes(32, 0x33));

    const fs::path decoders = root / "packet_decoders";
    Write(decoders, "if_data_trailer", DataPacket(3, true, false));
    Write(decoders, "if_data_class_id", DataPacket(4, false, true));
    Write(decoders, "if_context_gps", context16);
    Write(decoders, "if_context_i32", context32);
    Write(decoders, "ext_context", SpectrumContext(1));
    Write(decoders, "ext_data", SpectrumData(2, 1, 24));

    const Bytes mixed = Concat({context16, DataPacket(0, true, false), SpectrumContext(0), SpectrumData(0, 1, 8),
                                DataPacket(1, false, false), SpectrumData(1, 2, 8)});
    const fs::path tcp = root / "stream_tcp";
    Write(tcp, "mixed_whole", TcpInput(0x00, {0x7F}, mixed));
    Write(tcp, "mixed_bytewise", TcpInput(0x01, {}, mixed));
    Write(tcp, "garbage_between", TcpInput(0x0C, {0x13, 0x85, 0x40},
                                           Concat({context32, DataPacket(0, true, false), garbage,
                                                   DataPacket(1, true, false), zeroSize, DataPacket(2, false, false)})));
    Write(tcp, "foreign_between", TcpInput(0x02, {0x21}, Concat({context16, foreign, DataPacket(0, false, false),
                                                                  foreign, DataPacket(1, true, true)})));

    const fs::path udp = root / "stream_udp";
    Write(udp, "one_per_datagram", UdpInput(0x0D, {context16, DataPacket(0, true, false), SpectrumContext(0),
                                                   SpectrumData(0, 1, 16), DataPacket(1, true, false)}));
    Write(udp, "several_per_datagram", UdpInput(0x00, {mixed, Concat({context32, DataPacket(5, true, true)})}));
    Bytes withLoss = UdpInput(0x04, {context16, DataPacket(0, false, false)});
    withLoss.push_back(2); // a datagram too long for the buffer
    withLoss.push_back(3); // another displayed trace
    withLoss.push_back(2);
    const Bytes after = UdpInput(0x00, {SpectrumData(0, 2, 4), garbage, DataPacket(1, false, false)});
    withLoss.insert(withLoss.end(), after.begin() + 1, after.end());
    Write(udp, "truncated_datagram", withLoss);

    CaptureSeeds(root / "capture", context16, DataPacket(0, true, false), garbage);

    const fs::path lists = root / "list_rules";
    auto text = [](const std::string& s) { return Bytes(s.begin(), s.end()); };
    Write(lists, "task_list", text("\"RT_STREAMING\",\"Stream A\",\"SPECTRUM\",\"Analyzer 1\"\n"));
    Write(lists, "task_list_last", text("\"IQ\",\"x\",\"RT_STREAMING\",\"RT\"\n"));
    Write(lists, "view_list", text("\"VITA49_IQ\",3,\"OTHER\",4\n"));
    Write(lists, "view_list_last", text("\"OTHER\",4,\"VITA49_IQ\",12\r\n"));
    Write(lists, "both_lists", text("\"RT_STREAMING\",\"A\"\n\"VITA49_IQ\",1\n"));

    const fs::path commands = root / "sim_commands";
    Write(commands, "set_up", text("TASK:LIST?\nTASK:ADD? \"RT_STREAMING\"\nTASK:LIST?\nTASK:SELect \"Stream A\"\n"
                                   "VIEW:LIST?\nSTReam:ADD? \"VITA49_IQ\"\nVIEW:LIST?\nVIEW:SELect 2\n"
                                   "STReam:Select 1\nSTReam:Connection:IDN 1\nSTReam:CONNection:TYPE UDP_SINGLECAST\n"
                                   "STReam:CONNection:ADDRess '127.0.0.1'\nSTReam:CONNection:PORT 5001\n"
                                   "STReam:CONNection:OPEN\nSTReam:CONNection:STATe?\nSTReam:CONNection:CLOSE\n"));
    Write(commands, "parameters", text("IQSTream:FREQuency:TUNE 2400000000Hz\nIQSTream:CBW 20000000Hz\n"
                                       "IQSTream:OVERsampling OFF\nIQSTream:PAYLoad:LIMit 1024\n"
                                       "IQSTream:PAYLoad:FORMat I32Q32\nIQSTream:SRATe?\niqstream:freq:tune 1.5 GHz\r\n"
                                       "IQSTR:CBW 10 kHz\nIQSTream:CBW?\n*IDN?\nSYSTem:ERRor?\n"));
    Write(commands, "refused", text("IQSTream:CBW -5Hz\nIQSTream:FREQuency:TUNE 1e30\nTASK:SELect \"nope\"\n"
                                    "VIEW:SELect 99\nSTReam:Select 0\nBOGUS\n\n:::\nSYST:ERR?\n"));
    return 0;
}
