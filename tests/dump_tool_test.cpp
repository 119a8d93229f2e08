// vita49-dump as a user runs it: the built program on captures written here (pcap and
// pcapng over every link layer it reads, fragments, TCP with a hole, broken files), its
// lines, its JSON, its table of streams, its extracted samples, and tshark's view of the same
// files where tshark is installed.

#ifndef _WIN32

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "sim/PacketWriter.h"
#include "sim/StreamGenerator.h"
#include "support/CaptureWriter.h"
#include "support/ToolRun.h"

namespace {

namespace fs = std::filesystem;
using namespace vita49;
using namespace vita49::test;
using Json = std::map<std::string, std::string>;

// A strict reader of the flat JSON objects the dump writes (one level of nesting, which
// becomes "outer.inner" keys). Strings keep their text, numbers and null their spelling.
class JsonReader {
public:
    static bool Parse(const std::string& text, Json& out) {
        JsonReader r(text);
        return r.Object("", out) && r.pos_ == text.size();
    }

private:
    explicit JsonReader(const std::string& text) : s_(text) {}
    bool Eat(char c) {
        if (pos_ < s_.size() && s_[pos_] == c) return ++pos_, true;
        return false;
    }
    bool String(std::string& out) {
        if (!Eat('"')) return false;
        for (; pos_ < s_.size() && s_[pos_] != '"'; ++pos_) {
            if (static_cast<unsigned char>(s_[pos_]) < 0x20) return false;
            if (s_[pos_] == '\\' && ++pos_ >= s_.size()) return false;
            out += s_[pos_];
        }
        return Eat('"');
    }
    bool Object(const std::string& prefix, Json& out) {
        if (!Eat('{')) return false;
        if (Eat('}')) return true;
        do {
            std::string key, value;
            if (!String(key) || !Eat(':')) return false;
            if (pos_ < s_.size() && s_[pos_] == '{') {
                if (!Object(prefix + key + ".", out)) return false;
                continue;
            }
            if (pos_ < s_.size() && s_[pos_] == '"') {
                if (!String(value)) return false;
            } else {
                const std::size_t end = s_.find_first_of(",}", pos_);
                if (end == std::string::npos) return false;
                value = s_.substr(pos_, end - pos_);
                pos_ = end;
                if (value != "null" && value.find_first_not_of("-+.0123456789e") != std::string::npos) return false;
                if (value.empty()) return false;
            }
            if (!out.emplace(prefix + key, value).second) return false; // duplicate key
        } while (Eat(','));
        return Eat('}');
    }

    const std::string& s_;
    std::size_t pos_ = 0;
};

struct DumpRun : ToolRun {
    std::string err;
};

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::size_t CountOf(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

struct SimPacket {
    Bytes bytes;
    std::string type;
};

// The simulated instrument's stream: IF context, extension context, IF data, traces.
std::vector<SimPacket> SimStream(std::uint32_t streamId, int blocks, std::uint32_t payloadLimit) {
    sim::StreamGenerator generator;
    sim::IqParams params;
    params.payloadLimit = payloadLimit;
    generator.SetParams(params);
    generator.Restart(streamId, static_cast<sim::Picoseconds>(1767225600ull) * 1000000000000ull + 250000000000ull);
    std::vector<SimPacket> packets;
    sim::PacketBlock block;
    static const std::map<sim::PacketKind, std::string> names = {{sim::PacketKind::IfData, "if_data"},
                                                                 {sim::PacketKind::IfContext, "if_context"},
                                                                 {sim::PacketKind::ExtData, "ext_data"},
                                                                 {sim::PacketKind::ExtContext, "ext_context"}};
    for (int b = 0; b < blocks; ++b) {
        block.Clear();
        generator.NextBlock(block);
        for (const auto& span : block.packets) {
            const auto* first = block.bytes.data() + span.offset;
            packets.push_back({Bytes(first, first + span.length), names.at(span.kind)});
        }
    }
    return packets;
}

Bytes DataPacket(std::uint32_t streamId, std::uint8_t count, std::size_t payloadBytes = 64) {
    sim::PacketHeader h;
    h.type = 1;
    h.streamId = streamId;
    h.count = count;
    h.tsi = 1;
    h.intTimestamp = 1767225600u + count;
    h.trailer = true;
    h.trailerWord = sim::MakeTrailer(sim::TrailerBits{});
    Bytes payload(payloadBytes);
    for (std::size_t i = 0; i < payloadBytes; ++i) payload[i] = static_cast<std::uint8_t>(i * 7 + count);
    Bytes out;
    sim::AppendPacket(out, h, payload.data(), payload.size());
    return out;
}

Bytes ContextPacket(std::uint32_t streamId, std::uint8_t count) {
    sim::ContextValues v;
    v.hasBandwidth = true;
    v.bandwidthHz = 1e6;
    v.hasSampleRate = true;
    v.sampleRateHz = 1.25e6;
    v.hasPayloadFormat = true;
    v.itemBits = 16;
    const Bytes section = sim::ContextSection(v);
    sim::PacketHeader h;
    h.type = 4;
    h.streamId = streamId;
    h.count = count;
    Bytes out;
    sim::AppendPacket(out, h, section.data(), section.size());
    return out;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

constexpr double kT0 = 1767225600.0;

class DumpToolTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!fs::exists(binary_)) GTEST_SKIP() << "vita49-dump is not built (libpcap missing?): " << binary_;
        ASSERT_TRUE(dir_.Made());
    }

    std::string Path(const std::string& name) const { return dir_.Path(name); }
    std::string Save(const CaptureWriter& w, const std::string& name) const {
        EXPECT_TRUE(w.Save(Path(name)));
        return Path(name);
    }
    std::string SaveBytes(const Bytes& bytes, const std::string& name) const { return dir_.Write(bytes, name); }

    // `command` with its standard error kept apart from its output.
    DumpRun Shell(const std::string& command) const {
        DumpRun r;
        static_cast<ToolRun&>(r) = RunShell(command + " 2>'" + Path("stderr.txt") + "'");
        std::ifstream in(Path("stderr.txt"));
        r.err.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        return r;
    }
    DumpRun Dump(const std::string& args) const { return Shell("'" + binary_ + "' " + args); }

    // Every stdout line as a JSON object; a line that is not one fails the test.
    static std::vector<Json> JsonLines(const std::string& out) {
        std::vector<Json> objects;
        for (const std::string& line : Lines(out)) {
            Json j;
            EXPECT_TRUE(JsonReader::Parse(line, j)) << "not a JSON object: " << line;
            objects.push_back(j);
        }
        return objects;
    }

    const std::string binary_ = BuiltProgram("tools/dump/vita49-dump");
    const ScratchDir dir_{"vita49-dump-test"};
};

// --- Link layers, IP versions, fragments -------------------------------------------------

struct LinkCase {
    const char* name;
    Link link;
    bool pcapng;
    bool ipv6;
    std::size_t mtu; // IPv4 packets above it are fragmented
};

class DumpLinkTest : public DumpToolTest, public ::testing::WithParamInterface<LinkCase> {};

TEST_P(DumpLinkTest, EveryPacketOfTheStreamIsShownOnceInCaptureOrder) {
    const LinkCase& c = GetParam();
    const std::vector<SimPacket> packets = SimStream(7, 10, 2048);
    const IpEndpoint src{c.ipv6 ? "fd00::10" : "192.0.2.10", 40000};
    const IpEndpoint dst{c.ipv6 ? "fd00::20" : "192.0.2.20", 5001};
    CaptureWriter w(LinkTypeOf(c.link), c.pcapng);
    std::size_t fragmented = 0;
    for (std::size_t i = 0; i < packets.size(); ++i) {
        const double t = kT0 + 0.001 * static_cast<double>(i);
        const Bytes ip = UdpPacket(src, dst, packets[i].bytes, static_cast<std::uint16_t>(100 + i));
        if (c.ipv6 || ip.size() <= c.mtu) {
            w.Add(Frame(c.link, ip), t);
            continue;
        }
        // Fragments out of order every other datagram, and a repeated one every third.
        std::vector<Bytes> pieces = Fragments(ip, c.mtu);
        if (i % 2) std::reverse(pieces.begin(), pieces.end());
        if (i % 3 == 0) pieces.insert(pieces.begin() + 1, pieces.front());
        for (const Bytes& piece : pieces) w.Add(Frame(c.link, piece), t);
        ++fragmented;
    }
    if (c.mtu < 2000) {
        ASSERT_GT(fragmented, 5u);
    }
    const std::string file = Save(w, std::string(c.name) + (c.pcapng ? ".pcapng" : ".pcap"));

    const DumpRun run = Dump("--json '" + file + "'");
    ASSERT_EQ(run.status, 0) << run.err;
    const std::vector<Json> lines = JsonLines(run.out);
    ASSERT_EQ(lines.size(), packets.size()) << run.out;
    const std::string srcText = c.ipv6 ? "[fd00::10]:40000" : "192.0.2.10:40000";
    const std::string dstText = c.ipv6 ? "[fd00::20]:5001" : "192.0.2.20:5001";
    for (std::size_t i = 0; i < packets.size(); ++i) {
        const Json& j = lines[i];
        SCOPED_TRACE("packet " + std::to_string(i));
        EXPECT_EQ(j.at("type"), packets[i].type);
        EXPECT_EQ(j.at("stream_id"), "7");
        EXPECT_EQ(j.at("count"), std::to_string(packets[i].bytes[1] & 0x0F));
        EXPECT_EQ(j.at("size"), std::to_string(packets[i].bytes.size()));
        EXPECT_EQ(j.at("src"), srcText);
        EXPECT_EQ(j.at("dst"), dstText);
        EXPECT_NEAR(std::stod(j.at("time")), kT0 + 0.001 * static_cast<double>(i), 2e-6);
        EXPECT_EQ(j.at("class_oui"), std::to_string(sim::StreamGenerator::kClassOui));
        EXPECT_EQ(j.count("error"), 0u);
    }
    EXPECT_EQ(lines[0].at("sample_rate_hz"), "1250000");
    EXPECT_EQ(lines[0].at("item_bits"), "16");

    const DumpRun summary = Dump("--summary --json '" + file + "'");
    ASSERT_EQ(summary.status, 0) << summary.err;
    const std::vector<Json> rows = JsonLines(summary.out);
    ASSERT_EQ(rows.size(), 1u) << summary.out;
    for (const char* kind : {"if_data", "if_context", "ext_data", "ext_context"}) {
        const auto expected = std::count_if(packets.begin(), packets.end(), [&](const SimPacket& p) { return p.type == kind; });
        EXPECT_EQ(rows[0].at(std::string("packets.") + kind), std::to_string(expected)) << kind;
    }
    EXPECT_EQ(rows[0].at("packets.other"), "0");
    EXPECT_EQ(rows[0].at("missing"), "0");
    EXPECT_EQ(rows[0].at("discontinuities"), "0");
}

INSTANTIATE_TEST_SUITE_P(
    LinkLayers, DumpLinkTest,
    ::testing::Values(LinkCase{"ethernet_fragments", Link::kEthernet, false, false, 1500},
                      LinkCase{"vlan_pcapng_fragments", Link::kVlan, true, false, 1500},
                      LinkCase{"linux_cooked", Link::kLinuxSll, false, false, 65535},
                      LinkCase{"linux_cooked_v2_fragments", Link::kLinuxSll2, true, false, 576},
                      LinkCase{"raw_ip", Link::kRawIp, false, false, 65535},
                      LinkCase{"ipv6", Link::kEthernet, true, true, 65535}),
    [](const ::testing::TestParamInfo<LinkCase>& info) { return std::string(info.param.name); });

// --- Streams, losses, filters -----------------------------------------------------------

TEST_F(DumpToolTest, StreamsAreCountedApartWithDiscontinuitiesAndMissingPackets) {
    CaptureWriter w(LinkTypeOf(Link::kEthernet));
    const IpEndpoint src{"192.0.2.1", 50000}, port1{"192.0.2.2", 5001}, port2{"192.0.2.2", 5002};
    double t = kT0;
    auto add = [&](const IpEndpoint& dst, const Bytes& packet) {
        w.Add(Frame(Link::kEthernet, UdpPacket(src, dst, packet)), t);
        t += 0.01;
    };
    add(port1, ContextPacket(1, 0));
    for (std::uint8_t count : {0, 1, 2, 3, 7, 8}) add(port1, DataPacket(1, count)); // 3 -> 7: three missing
    add(port1, DataPacket(2, 0));
    add(port1, DataPacket(2, 1));
    add(port1, ContextPacket(1, 1));
    add(port2, DataPacket(1, 0));
    add(port2, DataPacket(1, 2));
    const std::string file = Save(w, "streams.pcap");

    const std::vector<Json> rows = JsonLines(Dump("--summary --json '" + file + "'").out);
    ASSERT_EQ(rows.size(), 3u);
    const struct {
        const char* dst;
        const char* id;
        const char* data;
        const char* context;
        const char* discontinuities;
        const char* missing;
    } expected[] = {{"192.0.2.2:5001", "1", "6", "2", "1", "3"},
                    {"192.0.2.2:5001", "2", "2", "0", "0", "0"},
                    {"192.0.2.2:5002", "1", "2", "0", "1", "1"}};
    for (std::size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(rows[i].at("src"), "192.0.2.1:50000");
        EXPECT_EQ(rows[i].at("dst"), expected[i].dst);
        EXPECT_EQ(rows[i].at("stream_id"), expected[i].id);
        EXPECT_EQ(rows[i].at("packets.if_data"), expected[i].data);
        EXPECT_EQ(rows[i].at("packets.if_context"), expected[i].context);
        EXPECT_EQ(rows[i].at("discontinuities"), expected[i].discontinuities);
        EXPECT_EQ(rows[i].at("missing"), expected[i].missing);
    }
    EXPECT_EQ(rows[0].at("bytes"), std::to_string(6 * DataPacket(1, 0).size() + 2 * ContextPacket(1, 0).size()));
    EXPECT_NEAR(std::stod(rows[0].at("first_time")), kT0, 1e-6);
    EXPECT_NEAR(std::stod(rows[0].at("last_time")), kT0 + 0.09, 1e-6);

    // Filters: by stream identifier, by port, both.
    EXPECT_EQ(JsonLines(Dump("--summary --json --stream-id 2 '" + file + "'").out).size(), 1u);
    EXPECT_EQ(JsonLines(Dump("--summary --json --port 5002 '" + file + "'").out).size(), 1u);
    const std::vector<Json> both = JsonLines(Dump("--json --stream-id 0x1 --port 5001 '" + file + "'").out);
    ASSERT_EQ(both.size(), 8u);
    for (const Json& j : both) EXPECT_EQ(j.at("stream_id"), "1");

    const DumpRun text = Dump("--summary '" + file + "'");
    EXPECT_NE(text.out.find("udp 192.0.2.1:50000 -> 192.0.2.2:5001 0x00000001        6          2"),
              std::string::npos)
        << text.out;
}

// --- TCP --------------------------------------------------------------------------------

TEST_F(DumpToolTest, TcpStreamIsReadInSequenceOrderAndResumesAfterAMissingSegment) {
    std::vector<Bytes> packets{ContextPacket(9, 0)};
    for (std::uint8_t i = 0; i < 14; ++i) packets.push_back(DataPacket(9, i, 1000));
    std::vector<std::size_t> starts;
    Bytes stream;
    for (const Bytes& p : packets) {
        starts.push_back(stream.size());
        stream.insert(stream.end(), p.begin(), p.end());
    }
    const std::size_t segment = 1400, missing = 6;
    const std::size_t holeBegin = missing * segment, holeEnd = holeBegin + segment;

    CaptureWriter w(LinkTypeOf(Link::kLinuxSll2));
    const IpEndpoint instrument{"192.0.2.5", 5000}, app{"192.0.2.6", 40001};
    double t = kT0;
    auto add = [&](std::uint32_t seq, std::uint8_t flags, const Bytes& payload) {
        w.Add(Frame(Link::kLinuxSll2, TcpPacket(instrument, app, seq, flags, payload)), t);
        t += 0.001;
    };
    const std::uint32_t isn = 0xFFFFF000u; // the sequence numbers wrap inside the stream
    add(isn, kSyn, {});
    const std::size_t segments = (stream.size() + segment - 1) / segment;
    std::vector<std::size_t> order;
    for (std::size_t s = 0; s < segments; ++s) order.push_back(s);
    std::swap(order[2], order[3]);                  // out of order
    order.insert(order.begin() + 4, 2);             // and sent twice
    order.erase(std::find(order.begin(), order.end(), missing)); // never captured
    for (std::size_t s : order) {
        const std::size_t from = s * segment, to = std::min(stream.size(), from + segment);
        add(isn + 1 + static_cast<std::uint32_t>(from), kAck | kPsh,
            Bytes(stream.begin() + static_cast<std::ptrdiff_t>(from), stream.begin() + static_cast<std::ptrdiff_t>(to)));
    }
    add(isn + 1 + static_cast<std::uint32_t>(stream.size()), kFin | kAck, {});
    const std::string file = Save(w, "tcp_hole.pcap");

    const DumpRun run = Dump("'" + file + "'");
    ASSERT_EQ(run.status, 0) << run.err;
    // Whole packets outside the hole are decoded, each once; the ones it touches are not.
    std::size_t lostData = 0;
    for (std::size_t i = 0; i < packets.size(); ++i) {
        const bool lost = starts[i] < holeEnd && starts[i] + packets[i].size() > holeBegin;
        const std::string type = i == 0 ? " if_context " : " if_data ";
        const std::string needle = type + "id=0x00000009 count=" + std::to_string(packets[i][1] & 0x0F) + " ";
        EXPECT_EQ(CountOf(run.out, needle), lost ? 0u : 1u) << "packet " << i << "\n" << run.out;
        if (lost) ++lostData;
    }
    ASSERT_GE(lostData, 1u);
    EXPECT_EQ(CountOf(run.out, "TCP: 1400 bytes missing from the capture"), 1u) << run.out;
    EXPECT_EQ(CountOf(run.out, "packet cut by a gap in the stream"), 1u) << run.out;
    EXPECT_EQ(CountOf(run.out, "skipped (after a gap in the stream)"), 1u) << run.out;
    EXPECT_NE(run.out.find("tcp 192.0.2.5:5000 -> 192.0.2.6:40001 if_data"), std::string::npos);

    const std::vector<Json> rows = JsonLines(Dump("--summary --json '" + file + "'").out);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].at("packets.if_data"), std::to_string(14 - lostData));
    EXPECT_EQ(rows[0].at("missing"), std::to_string(lostData));
    EXPECT_EQ(rows[0].at("discontinuities"), "1");
}

// --- Raw files --------------------------------------------------------------------------

TEST_F(DumpToolTest, RawFileOfPacketsResynchronisesAfterBytesThatAreNoPacket) {
    const Bytes garbage(37, 0xEE);
    const Bytes last = DataPacket(3, 4);
    const Bytes file = Concat({ContextPacket(3, 0), DataPacket(3, 0), DataPacket(3, 1), garbage, DataPacket(3, 2),
                               DataPacket(3, 3), Bytes(last.begin(), last.begin() + 30)});
    for (const std::string& name : {std::string("stream.vrt"), std::string("stream.dat --raw")}) {
        const std::string path = SaveBytes(file, name.substr(0, name.find(' ')));
        const DumpRun run = Dump("'" + path + "'" + name.substr(std::min(name.size(), name.find(' '))));
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(CountOf(run.out, " if_data id=0x00000003"), 4u) << run.out;
        EXPECT_EQ(CountOf(run.out, "37 bytes that start no packet, skipped (a header of packet type 14)"), 1u)
            << run.out;
        EXPECT_EQ(CountOf(run.out, "the stream ends inside a packet: 30 of " + std::to_string(last.size()) + " bytes"),
                  1u)
            << run.out;
        EXPECT_EQ(CountOf(run.out, "[ee ee ee"), 1u) << run.out;
    }
}

TEST_F(DumpToolTest, StreamThatBeginsInsideAPacketIsNotTakenForOneThatLooksLikeAHeader) {
    // The tail of a packet whose samples hold what looks like the header of a packet of
    // another stream (type 1, 16 words, stream 7), as a capture begun mid-connection has.
    Bytes tail(40, 0x55);
    const Bytes fake{0x10, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x07};
    std::copy(fake.begin(), fake.end(), tail.begin() + 4);
    const Bytes file = Concat({tail, DataPacket(3, 5), DataPacket(3, 6), DataPacket(3, 7)});
    const DumpRun run = Dump("--raw '" + SaveBytes(file, "mid.bin") + "'");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(CountOf(run.out, " if_data id=0x00000003"), 3u) << run.out;
    EXPECT_EQ(CountOf(run.out, "id=0x00000007"), 0u) << run.out;
    EXPECT_EQ(CountOf(run.out, "40 bytes that start no packet, skipped (before the first packet of the stream)"), 1u)
        << run.out;
}

// --- Bad input --------------------------------------------------------------------------

struct BadCase {
    const char* name;
    Bytes (*contents)();
    int status;
    const char* output; // expected in stdout (or stderr with status 1)
    std::size_t packets; // lines of decoded packets
};

Bytes CaptureOf(const std::vector<Bytes>& packets, std::size_t lastCaptured = ~std::size_t{0}) {
    CaptureWriter w(LinkTypeOf(Link::kEthernet));
    for (std::size_t i = 0; i < packets.size(); ++i)
        w.Add(Frame(Link::kEthernet, UdpPacket({"192.0.2.1", 1}, {"192.0.2.2", 5001}, packets[i])), kT0 + i,
              i + 1 == packets.size() ? lastCaptured : ~std::size_t{0});
    return w.Contents();
}

const BadCase kBadCases[] = {
    {"text_file", [] { return Bytes{'n', 'o', 't', ' ', 'a', ' ', 'c', 'a', 'p', 't', 'u', 'r', 'e', '\n'}; }, 1,
     "not a pcap or pcapng capture", 0},
    {"header_only", [] { return CaptureOf({}); }, 0, "", 0},
    {"cut_mid_record",
     [] {
         Bytes b = CaptureOf({DataPacket(1, 0), DataPacket(1, 1), DataPacket(1, 2), DataPacket(1, 3)});
         b.resize(b.size() - 50);
         return b;
     },
     0, "the capture breaks off after 3 records", 3},
    {"size_field_lies",
     [] {
         Bytes p = DataPacket(1, 1);
         p[2] = 0x03; // 1,000-odd words announced
         return CaptureOf({DataPacket(1, 0), p, DataPacket(1, 2)});
     },
     0, "packet size field says 3152 bytes, the datagram holds 80 [14 41 03 14 00 00 00 01", 2},
    {"snap_length", [] { return CaptureOf({DataPacket(1, 0), DataPacket(1, 1, 1000)}, 100); }, 0,
     "UDP payload of 1016 bytes captured short (100 of 1058 frame bytes)", 1},
    {"not_vita", [] { return CaptureOf({{'G', 'E', 'T', ' ', '/', ' ', 'H', 'T', 'T', 'P'}, DataPacket(1, 0)}); }, 0,
     "packet size field says 86144 bytes, the datagram holds 10 [47 45 54 20", 1},
    {"unknown_link_type",
     [] {
         Bytes b = CaptureOf({DataPacket(1, 0)});
         b[20] = 147; // a private link type
         return b;
     },
     1, "link type 147", 0},
};

class DumpBadInputTest : public DumpToolTest, public ::testing::WithParamInterface<BadCase> {};

TEST_P(DumpBadInputTest, ReportsWhatIsBrokenAndDecodesTheRest) {
    const BadCase& c = GetParam();
    const std::string path = SaveBytes(c.contents(), std::string(c.name) + ".pcap");
    const DumpRun run = Dump("'" + path + "'");
    EXPECT_EQ(run.status, c.status) << run.out << run.err;
    const std::string& where = c.status == 1 ? run.err : run.out + run.err;
    EXPECT_NE(where.find(c.output), std::string::npos) << run.out << run.err;
    if (c.status == 1) {
        EXPECT_EQ(Lines(run.err).size(), 1u) << run.err;
    }
    EXPECT_EQ(CountOf(run.out, " if_data id="), c.packets) << run.out;
}

INSTANTIATE_TEST_SUITE_P(Files, DumpBadInputTest, ::testing::ValuesIn(kBadCases),
                         [](const ::testing::TestParamInfo<BadCase>& info) { return std::string(info.param.name); });

TEST_F(DumpToolTest, BrokenFragmentsAreReportedWithTheirFlow) {
    CaptureWriter w(LinkTypeOf(Link::kEthernet));
    const IpEndpoint src{"192.0.2.1", 50000}, dst{"192.0.2.2", 5001};
    // Overlapping fragments that disagree: the first bytes are kept and the datagram decodes.
    std::vector<Bytes> a = Fragments(UdpPacket(src, dst, DataPacket(4, 0, 1400), 1), 600);
    ASSERT_EQ(a.size(), 3u);
    Bytes altered = a[1];
    altered.back() ^= 0xFF;
    for (const Bytes& f : {a[0], altered, a[1], a[2]}) w.Add(Frame(Link::kEthernet, f), kT0);
    // A datagram whose middle fragment never comes.
    const std::vector<Bytes> b = Fragments(UdpPacket(src, dst, DataPacket(4, 1, 1400), 2), 600);
    w.Add(Frame(Link::kEthernet, b[0]), kT0 + 1);
    w.Add(Frame(Link::kEthernet, b[2]), kT0 + 1);
    w.Add(Frame(Link::kEthernet, UdpPacket(src, dst, DataPacket(4, 2), 3)), kT0 + 2);
    const std::string file = Save(w, "fragments.pcap");

    const DumpRun run = Dump("'" + file + "'");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(CountOf(run.out, " if_data id=0x00000004"), 2u) << run.out;
    EXPECT_EQ(CountOf(run.out, "overlapping fragments with different bytes: the first ones were kept"), 1u)
        << run.out;
    const std::size_t whole = b[0].size() - 20 + b[1].size() - 20 + b[2].size() - 20;
    const std::size_t arrived = whole - (b[1].size() - 20);
    EXPECT_NE(run.out.find("udp 192.0.2.1:50000 -> 192.0.2.2:5001 other size=" + std::to_string(arrived) +
                           ": incomplete IP datagram (identification 2): " + std::to_string(arrived) + " of " +
                           std::to_string(whole) + " bytes arrived"),
              std::string::npos)
        << run.out;
    const std::vector<Json> rows = JsonLines(Dump("--summary --json '" + file + "'").out);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].at("missing"), "1");
    EXPECT_EQ(rows[0].at("packets.other"), "1");
}

// --- Context with a CIF1 word -----------------------------------------------------------

TEST_F(DumpToolTest, ContextPacketWithACif1WordDecodesItsFields) {
    sim::ContextValues v;
    v.hasBandwidth = true;
    v.bandwidthHz = 40e6;
    v.hasSampleRate = true;
    v.sampleRateHz = 50e6;
    v.hasPayloadFormat = true;
    v.itemBits = 16;
    Bytes section = sim::ContextSection(v);
    section[3] |= 0x02; // CIF0 bit 1: a CIF1 word follows CIF0
    const Bytes cif1{0x00, 0x00, 0x00, 0x00};
    section.insert(section.begin() + 4, cif1.begin(), cif1.end());
    sim::PacketHeader h;
    h.type = 4;
    h.streamId = 0x11;
    h.classId = true;
    h.classOui = 0x0012A2;
    h.classCodes = 0x00050006;
    Bytes packet;
    sim::AppendPacket(packet, h, section.data(), section.size());
    CaptureWriter w(LinkTypeOf(Link::kRawIp));
    w.Add(UdpPacket({"192.0.2.1", 1}, {"192.0.2.2", 4991}, packet), kT0);
    const std::string file = Save(w, "cif1.pcap");

    const std::vector<Json> lines = JsonLines(Dump("--json '" + file + "'").out);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].at("type"), "if_context");
    EXPECT_EQ(lines[0].at("bandwidth_hz"), "40000000");
    EXPECT_EQ(lines[0].at("sample_rate_hz"), "50000000");
    EXPECT_EQ(lines[0].at("item_bits"), "16");
    EXPECT_EQ(lines[0].at("class_oui"), std::to_string(0x12A2));
    EXPECT_EQ(lines[0].at("class_icc"), "5");
    EXPECT_EQ(lines[0].at("class_pcc"), "6");
}

// --- Extraction -------------------------------------------------------------------------

TEST_F(DumpToolTest, ExtractsTheSamplesOfOneStreamThroughTheDecodersRecordings) {
    CaptureWriter w(LinkTypeOf(Link::kEthernet));
    Bytes expectedIq;
    double t = kT0;
    for (std::uint32_t id : {1u, 2u, 3u}) {
        if (id != 3) // stream 3 has no context: its samples cannot be recorded
            w.Add(Frame(Link::kEthernet, UdpPacket({"192.0.2.1", 1}, {"192.0.2.2", 5001}, ContextPacket(id, 0))), t++);
        for (std::uint8_t count = 0; count < 3; ++count) {
            const Bytes p = DataPacket(id, count, 256);
            w.Add(Frame(Link::kEthernet, UdpPacket({"192.0.2.1", 1}, {"192.0.2.2", 5001}, p)), t++);
            if (id != 2) continue;
            for (std::size_t i = 0; i < 256; i += 2) { // I16Q16 items, little-endian in the file
                expectedIq.push_back(p[12 + i + 1]);
                expectedIq.push_back(p[12 + i]);
            }
        }
    }
    const std::string file = Save(w, "two_streams.pcap");

    const DumpRun ambiguous = Dump("--wav '" + Path("x.wav") + "' '" + file + "'");
    EXPECT_EQ(ambiguous.status, 1);
    EXPECT_NE(ambiguous.err.find("3 streams carry IF data; choose one with --stream-id"), std::string::npos)
        << ambiguous.err;
    const DumpRun noContext = Dump("--stream-id 3 --iq '" + Path("y.iq") + "' '" + file + "'");
    EXPECT_EQ(noContext.status, 1);
    EXPECT_NE(noContext.err.find("no samples of udp 192.0.2.1 -> 192.0.2.2:5001 id 0x00000003 recorded"),
              std::string::npos)
        << noContext.err;

    const DumpRun run = Dump("--summary --stream-id 2 --wav '" + Path("x.wav") + "' --iq '" + Path("x.iq") + "' '" +
                             file + "'");
    ASSERT_EQ(run.status, 0) << run.err;
    std::ifstream iqFile(Path("x.iq"), std::ios::binary);
    const Bytes iq((std::istreambuf_iterator<char>(iqFile)), std::istreambuf_iterator<char>());
    EXPECT_EQ(iq, expectedIq);
    std::ifstream wavFile(Path("x.wav"), std::ios::binary);
    const Bytes wav((std::istreambuf_iterator<char>(wavFile)), std::istreambuf_iterator<char>());
    ASSERT_EQ(wav.size(), 44 + expectedIq.size());
    EXPECT_EQ(std::memcmp(wav.data(), "RIFF", 4), 0);
    EXPECT_EQ(wav[24] | (wav[25] << 8) | (wav[26] << 16), 1250000); // sample rate from the context
    EXPECT_TRUE(std::equal(expectedIq.begin(), expectedIq.end(), wav.begin() + 44));
}

// --- tshark -----------------------------------------------------------------------------

TEST_F(DumpToolTest, AgreesWithTsharkOnPacketsStreamsCountsAndTimestamps) {
    if (Shell("command -v tshark").status != 0) GTEST_SKIP() << "tshark is not installed";
    const std::vector<SimPacket> packets = SimStream(0x2A, 12, 4096);
    CaptureWriter w(LinkTypeOf(Link::kEthernet));
    for (std::size_t i = 0; i < packets.size(); ++i) {
        const Bytes ip = UdpPacket({"192.0.2.10", 40000}, {"192.0.2.20", 5001}, packets[i].bytes,
                                   static_cast<std::uint16_t>(i + 1));
        for (const Bytes& f : Fragments(ip, 1500)) w.Add(Frame(Link::kEthernet, f), kT0 + 0.001 * i);
    }
    const std::string file = Save(w, "tshark.pcap");
    const DumpRun theirs =
        Shell("tshark -r '" + file + "' -d udp.port==5001,vrt -Y vrt -T fields -E separator=' ' -e vrt.type -e vrt.sid" +
              " -e vrt.seq -e vrt.ts_int -e vrt.ts_frac_picosecond -e vrt.len");
    ASSERT_EQ(theirs.status, 0) << theirs.err;
    const DumpRun ours = Dump("'" + file + "'");
    ASSERT_EQ(ours.status, 0) << ours.err;
    const std::vector<std::string> theirLines = Lines(theirs.out), ourLines = Lines(ours.out);
    ASSERT_EQ(theirLines.size(), packets.size()) << theirs.out;
    ASSERT_EQ(ourLines.size(), packets.size()) << ours.out;
    const std::map<std::string, std::string> typeNames = {
        {"1", "if_data"}, {"3", "ext_data"}, {"4", "if_context"}, {"5", "ext_context"}};
    for (std::size_t i = 0; i < packets.size(); ++i) {
        std::istringstream fields(theirLines[i]);
        std::string type, sid, seq, tsInt, tsFrac, words;
        fields >> type >> sid >> seq >> tsInt >> tsFrac >> words;
        SCOPED_TRACE(theirLines[i] + "\n" + ourLines[i]);
        const std::string& line = ourLines[i];
        EXPECT_NE(line.find(" " + typeNames.at(type) + " id=" + sid + " count=" + seq + " size=" +
                            std::to_string(4 * std::stoul(words)) + " "),
                  std::string::npos);
        EXPECT_NE(line.find(" tsi=utc:" + tsInt + " tsf=real_time:" + tsFrac), std::string::npos);
    }
}

} // namespace

#endif // _WIN32
