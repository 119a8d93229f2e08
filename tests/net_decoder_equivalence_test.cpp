// The same bytes reach a Vita49Receiver over loopback and a Vita49Decoder through its push
// calls: every callback, every record and every recording must come out the same. The stream
// holds what the receive path has rules for: packets before the first context, count gaps,
// a trailer, another stream, spectrum packets, a tuning change and bytes that are no packet.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/LoopbackPeer.h"
#include "support/Recorder.h"
#include "support/SpectrumHelpers.h"
#include "support/StreamBuilder.h"
#include "support/StreamPeer.h"
#include "vita49/Vita49Decoder.h"
#include "vita49/Vita49Receiver.h"

namespace vita49::test {
namespace {

constexpr std::uint32_t kStream = 0x00A1B2C3;
using Kind = CallbackRecorder::Kind;

// Every field of the common prologue, then the record's own, as text: a difference shows
// which field it is in.
template <class Record>
void Prologue(std::ostream& o, const Record& r) {
    o << "rx=" << r.packetsReceived << " lost=" << r.packetsLost << " count=" << int{r.packetCount}
      << " sid=" << r.streamIdValid << '/' << r.streamId << " tsi=" << r.intTimestampValid << '/' << r.intTimestamp
      << " tsf=" << r.fracTimestampValid << '/' << r.fracTimestamp << " payload=" << r.payloadValid << '/'
      << r.payloadOffset << '/' << r.payloadSize;
}

// Bytes received count whole receives, so on a byte stream they depend on where the
// transport split it; the rest may not.
std::string Describe(const Vita49_Info& i, bool withBytesReceived) {
    std::ostringstream o;
    if (withBytesReceived) o << i.bytesReceived;
    o << ' ' << i.dataBytes << ' ' << i.contextBytes << ' ' << i.dataErrors << ' ' << i.contextErrors;
    return o.str();
}

std::string Describe(const Vita49_Context& c, bool) {
    std::ostringstream o;
    o.precision(17);
    Prologue(o, c);
    o << " bw=" << c.bandwidthValid << '/' << c.bandwidthHz << " ref=" << c.referenceLevelValid << '/'
      << c.referenceLevelDbm << " rate=" << c.sampleRateValid << '/' << c.sampleRateHz
      << " rf=" << c.rfReferenceFrequencyValid << '/' << c.rfReferenceFrequencyHz << " fmt=" << c.payloadFormatValid
      << '/' << int{c.itemPackingFieldSize} << '/' << int{c.dataItemSize} << " gps=" << c.gpsValid;
    return o.str();
}

std::string Describe(const Vita49_Data& d, bool) {
    std::ostringstream o;
    Prologue(o, d);
    o << " cal=" << d.calibratedTimeEnabled << d.calibratedTime << " valid=" << d.validDataEnabled << d.validData << '/'
      << d.invalidDataPackets << " over=" << d.overRangeEnabled << d.overRange << '/' << d.overRangePackets
      << " lock=" << d.referenceLockEnabled << d.referenceLock << '/' << d.unlockedPackets
      << " loss=" << d.sampleLossEnabled << d.sampleLoss << '/' << d.sampleLossPackets
      << " ctx=" << d.contextCountEnabled << int{d.contextCount} << '/' << d.contextCountPackets;
    return o.str();
}

std::string Describe(const Vita49_FFTContext& c, bool) {
    std::ostringstream o;
    o.precision(17);
    Prologue(o, c);
    o << " p=" << c.spectrumParam1Valid << c.spectrumParam1Hz << '/' << c.spectrumParam2Hz << '/' << c.spectrumParam3Hz
      << '/' << c.spectrumParam4;
    return o.str();
}

std::string Describe(const Vita49_FFTData& d, bool) {
    std::ostringstream o;
    Prologue(o, d);
    o << " loss=" << d.sampleLossPackets << " invalid=" << d.invalidDataPackets;
    return o.str();
}

// Every call in order, with every record it was handed, as lines.
std::vector<std::string> Transcript(const CallbackRecorder& r, bool withBytesReceived) {
    const auto Text = [withBytesReceived](const auto& record) { return Describe(record, withBytesReceived); };
    std::vector<std::string> lines;
    std::size_t next[6] = {};
    for (Kind kind : r.order) {
        const std::size_t i = next[static_cast<int>(kind)]++;
        std::ostringstream o;
        switch (kind) {
            case Kind::Info:
                o << "info " << Text(r.infos[i]);
                break;
            case Kind::Context:
                o << "context " << Text(r.contexts[i].info) << " | " << Text(r.contexts[i].context);
                break;
            case Kind::Data: {
                const auto& call = r.data[i];
                o << "data " << Text(call.info) << " | " << Text(call.context) << " | " << Text(call.data) << " | "
                  << call.samples.size() << " bytes ";
                for (std::uint8_t b : call.samples) o << int{b} << ',';
                break;
            }
            case Kind::FftContext:
                o << "fftcontext " << Text(r.fftContexts[i].info) << " | " << Text(r.fftContexts[i].context);
                break;
            case Kind::FftData: {
                const auto& call = r.fftData[i];
                o << "fftdata " << Text(call.info) << " | " << Text(call.context) << " | " << Text(call.data) << " | ";
                for (float v : call.values) o << v << ',';
                break;
            }
            case Kind::ConnectionError:
                o << "connection error";
                break;
        }
        lines.push_back(o.str());
    }
    return lines;
}

sim::ContextValues Tuned(double rfHz) {
    sim::ContextValues v;
    v.hasBandwidth = v.hasRfReferenceFrequency = v.hasReferenceLevel = v.hasSampleRate = v.hasPayloadFormat = true;
    v.bandwidthHz = 800e3;
    v.rfReferenceFrequencyHz = rfHz;
    v.referenceLevelDbm = -12.5;
    v.sampleRateHz = 1.25e6;
    v.itemBits = 16;
    return v;
}

// The stream, one packet or stray piece per span; `stray` adds bytes that are no packet.
StreamBuilder MakeStream(bool stray) {
    StreamBuilder s(kStream);
    s.Data(0, 64); // before any context: neither recorded nor swapped
    s.Context(0, Tuned(100e6));
    for (std::uint8_t c = 1; c <= 4; ++c) s.Data(c, 256);
    s.Data(9, 256); // four packets missing
    sim::PacketHeader h = Header(1, kStream, 10);
    h.tsi = 1;
    h.intTimestamp = 1760000000;
    h.tsf = 2;
    h.fracTimestamp = 123456789012ull;
    h.trailer = true;
    sim::TrailerBits bits;
    bits.sampleLoss = true;
    bits.contextCount = 3;
    h.trailerWord = sim::MakeTrailer(bits);
    s.Packet(h, Ramp(128, 7));
    s.Packet(Header(1, kStream + 1, 0), Ramp(64)); // another stream
    if (stray) s.Raw({0xDE, 0xAD, 0xBE, 0xEF, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19});
    s.ExtContext(0, 1e6, 2e6, 3e6, 42);
    s.ExtData(0, 1, {1.5f, -2.25f, 3.0f});
    s.Context(1, Tuned(101e6));
    for (std::uint8_t c = 11; c < 16; ++c) s.Data(c, 512);
    return s;
}

struct Paths {
    std::string raw, wav;
};

Vita49_Receiver_Settings Recordings(const Paths& p) {
    Vita49_Receiver_Settings rx = ReceiverSettings(p.raw, p.wav);
    rx.convertDataByteOrder = 1;
    rx.dataBigEndian = 0;
    rx.wavIntegerSamples = 1;
    return rx;
}

class DecoderEquivalence : public ::testing::TestWithParam<CONNECTION_TYPE> {
protected:
    bool Udp() const { return GetParam() == UDP_SINGLECAST; }

    // What a Vita49Receiver makes of the stream sent over loopback.
    void Receive(const StreamBuilder& s) {
        const std::string local = Udp() ? "127.0.12.1" : "127.0.12.2";
        Fd listener = Udp() ? Fd() : TcpListener(local, 0);
        const std::uint16_t tcpPort = Udp() ? 0 : LocalPort(listener.Get());
        const std::uint16_t udpPort = Udp() ? FreeUdpPort(local) : 0;
        Vita49Receiver receiver;
        receiver.Init(BaseSettings(GetParam(), local, tcpPort, udpPort, local, kStream),
                      Recordings({dir.File("rx.raw"), dir.File("rx.wav")}));
        received.Attach(receiver);
        ASSERT_EQ(receiver.Open(), RC_OK);
        if (Udp()) {
            Fd out = UdpSocket("127.0.0.1", 0);
            for (std::size_t i = 0; i < s.Spans().size(); ++i) SendDatagram(out.Get(), local, udpPort, s.SpanBytes(i));
        } else {
            Fd peer = AcceptWithin(listener.Get(), 3000);
            ASSERT_TRUE(peer.Valid());
            // Pieces that do not follow the packets, so that the receiver cuts across receives.
            for (std::size_t at = 0; at < s.Size(); at += 333) {
                const std::size_t n = std::min<std::size_t>(333, s.Size() - at);
                ASSERT_TRUE(SendAll(peer.Get(), s.Bytes().data() + at, n));
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            ASSERT_TRUE(received.WaitForCount(Kind::Data, expectedData));
            receiver.Close(); // before the peer goes, which would be a connection error
            return;
        }
        ASSERT_TRUE(received.WaitForCount(Kind::Data, expectedData));
        receiver.Close();
    }

    static void SendDatagram(int fd, const std::string& address, std::uint16_t port,
                             const std::vector<std::uint8_t>& bytes) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        ::inet_pton(AF_INET, address.c_str(), &to.sin_addr);
        ::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
        // Paced, so that loopback drops nothing.
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }

    // What a Vita49Decoder makes of the same bytes pushed in.
    void Decode(const StreamBuilder& s) {
        Vita49Decoder decoder;
        decoder.Init(BaseSettings(GetParam(), "", 0, 0, "", kStream),
                     Recordings({dir.File("dec.raw"), dir.File("dec.wav")}));
        decoded.Attach(decoder);
        ASSERT_EQ(decoder.Open(), RC_OK);
        if (Udp()) {
            for (std::size_t i = 0; i < s.Spans().size(); ++i) {
                const auto bytes = s.SpanBytes(i);
                ASSERT_EQ(decoder.PushDatagram(bytes.data(), bytes.size()), RC_OK);
            }
            EXPECT_EQ(decoder.PushBytes(s.Bytes().data(), 4), RC_INVALID_ARGUMENT);
        } else {
            // Other pieces than the receiver got: the framing must not depend on them.
            for (std::size_t at = 0; at < s.Size(); at += 71)
                ASSERT_EQ(decoder.PushBytes(s.Bytes().data() + at, std::min<std::size_t>(71, s.Size() - at)), RC_OK);
            EXPECT_EQ(decoder.PushDatagram(s.Bytes().data(), 4), RC_INVALID_ARGUMENT);
        }
        EXPECT_EQ(decoder.Close(), RC_OK);
        EXPECT_EQ(decoder.RecordingError(), "");
    }

    spectest::TempDir dir;
    CallbackRecorder received, decoded;
    std::size_t expectedData = 12;
};

TEST_P(DecoderEquivalence, SameCallbacksRecordsAndRecordings) {
    ASSERT_TRUE(dir.Valid());
    const StreamBuilder s = MakeStream(true);
    Receive(s);
    Decode(s);
    ASSERT_FALSE(received.data.empty());
    EXPECT_EQ(received.data.back().info.bytesReceived, s.Size());
    EXPECT_EQ(decoded.data.back().info.bytesReceived, s.Size());
    const auto want = Transcript(received, Udp());
    const auto got = Transcript(decoded, Udp());
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) EXPECT_EQ(got[i], want[i]) << "call " << i;
    ASSERT_EQ(decoded.data.size(), expectedData);
    // One count gap, and six packets counted for sample loss: the trailer's indicator stays
    // stored for the packets without a trailer that follow it.
    EXPECT_EQ(decoded.data.back().info.dataErrors, 7u);
    const auto raw = spectest::ReadFile(dir.File("dec.raw"));
    EXPECT_FALSE(raw.empty());
    EXPECT_EQ(raw, spectest::ReadFile(dir.File("rx.raw")));
    EXPECT_EQ(spectest::ReadFile(dir.File("dec.wav")), spectest::ReadFile(dir.File("rx.wav")));
}

INSTANTIATE_TEST_SUITE_P(Framings, DecoderEquivalence, ::testing::Values(TCP_CLIENT, UDP_SINGLECAST),
                         ConnectionTypeTestName<::testing::TestParamInfo<CONNECTION_TYPE>>);

// --- Datagrams that end inside a packet. IP hands over whole datagrams, so the rest of such a
// packet never arrives: its bytes go at once with one info callback, and the next datagram
// starts from an empty buffer. Each case goes to a receiver over loopback and to a decoder
// through PushDatagram; both must deliver the same, and exactly what the case expects.

using Bytes = std::vector<std::uint8_t>;
constexpr std::uint32_t kOtherStream = kStream + 7;

// The first `keep` bytes of a packet of `stream` announcing `length` bytes.
Bytes CutPacket(std::uint32_t stream, std::size_t length, std::size_t keep, std::uint8_t seed) {
    Bytes packet = DataPacket(stream, 0, length - 8, seed);
    packet.resize(keep);
    return packet;
}

struct CutCase {
    std::string name;
    std::string address;
    std::vector<Bytes> datagrams;
    std::vector<Bytes> payloads; // what the data callbacks must see, in order
    std::size_t infos = 0;       // one per cut or foreign datagram
};

void PrintTo(const CutCase& c, std::ostream* os) { *os << c.name; }

std::vector<CutCase> CutCases() {
    std::vector<CutCase> cases;
    const auto own = [](std::uint8_t count, std::size_t payload, std::uint8_t seed) {
        return DataPacket(kStream, count, payload, seed);
    };
    const auto payloadOf = [](const Bytes& packet) { return Bytes(packet.begin() + 8, packet.end()); };
    {
        // 1,000 bytes of a 2,012-byte packet, then another stream's packet of just the size that
        // would complete it, then one of ours: no payload may mix the two streams.
        CutCase c{"CutThenForeignDatagram", "127.0.40.1", {}, {}, 2};
        c.datagrams = {CutPacket(kStream, 2012, 1000, 0x10), DataPacket(kOtherStream, 0, 1004, 0x80), own(1, 64, 0x20)};
        c.payloads = {payloadOf(c.datagrams[2])};
        cases.push_back(c);
    }
    {
        // A cut datagram, then two packets that each fill a datagram of 65,012 bytes: neither
        // may be lost for want of room beside bytes kept from the cut one.
        CutCase c{"CutThenTwoLargestPackets", "127.0.40.2", {}, {}, 1};
        c.datagrams = {CutPacket(kStream, 65012, 1000, 0x30), own(0, 65004, 1), own(1, 65004, 2)};
        c.payloads = {payloadOf(c.datagrams[1]), payloadOf(c.datagrams[2])};
        cases.push_back(c);
    }
    {
        // 1,000 valid packets, each after one to three junk datagrams that start like a cut
        // packet: of this stream or another one, announcing a little more than they hold, or
        // a packet longer than the buffer.
        CutCase c{"JunkBetweenAThousandPackets", "127.0.40.3", {}, {}, 0};
        std::size_t junk = 0;
        for (int i = 0; i < 1000; ++i) {
            const std::uint8_t seed = static_cast<std::uint8_t>(i);
            for (int k = 0; k <= i % 3; ++k, ++junk) {
                const std::uint32_t stream = junk % 2 ? kOtherStream : kStream;
                const std::size_t length = junk % 7 == 6 ? 65536 + 4 * (junk % 40) : 1204 + 4 * (junk % 5);
                c.datagrams.push_back(CutPacket(stream, length, 1000 - 4 * (junk % 3), seed));
            }
            c.datagrams.push_back(own(static_cast<std::uint8_t>(i & 15), 2004, seed));
            c.payloads.push_back(payloadOf(c.datagrams.back()));
        }
        c.infos = junk;
        cases.push_back(c);
    }
    return cases;
}

class CutDatagrams : public ::testing::TestWithParam<CutCase> {
protected:
    // Every datagram of these cases calls one callback. They are sent a few ahead of what the
    // receiver has handled, so that loopback has room for all of them whatever the load.
    void Receive() {
        const CutCase& c = GetParam();
        Vita49Receiver receiver;
        received.Attach(receiver);
        StreamPeer peer;
        ASSERT_TRUE(peer.Open(receiver, UDP_SINGLECAST, c.address, kStream));
        for (std::size_t i = 0; i < c.datagrams.size(); ++i) {
            ASSERT_TRUE(peer.Send(c.datagrams[i]));
            const auto handled = [&] { return received.Count(Kind::Data) + received.Count(Kind::Info) > i; };
            // A receiver that breaks the rule stops here; the checks below say how.
            if (i % 16 == 15 && !WaitUntil(handled, std::chrono::milliseconds(2000))) break;
        }
        received.WaitForCount(Kind::Data, c.payloads.size(), std::chrono::milliseconds(2000));
        received.WaitForCount(Kind::Info, c.infos, std::chrono::milliseconds(2000));
        EXPECT_EQ(receiver.Close(), RC_OK);
    }

    void Decode() {
        Vita49Decoder decoder;
        decoder.Init(BaseSettings(UDP_SINGLECAST, "", 0, 0, "", kStream), ReceiverSettings());
        decoded.Attach(decoder);
        ASSERT_EQ(decoder.Open(), RC_OK);
        for (const Bytes& d : GetParam().datagrams) ASSERT_EQ(decoder.PushDatagram(d.data(), d.size()), RC_OK);
        EXPECT_EQ(decoder.Close(), RC_OK);
    }

    // What the data callbacks saw, and how many info callbacks came.
    static void Expect(const CallbackRecorder& r, const CutCase& c, const char* who) {
        SCOPED_TRACE(who);
        ASSERT_EQ(r.data.size(), c.payloads.size());
        for (std::size_t i = 0; i < c.payloads.size(); ++i) {
            EXPECT_EQ(r.data[i].data.payloadValid, 1u);
            EXPECT_TRUE(r.data[i].samples == c.payloads[i]) << "payload of data callback " << i;
        }
        EXPECT_EQ(r.infos.size(), c.infos);
        std::uint64_t sent = 0;
        for (const Bytes& d : c.datagrams) sent += d.size();
        const Vita49_Info& last = r.order.back() == Kind::Info ? r.infos.back() : r.data.back().info;
        EXPECT_EQ(last.bytesReceived, sent) << "every datagram was counted";
    }

    CallbackRecorder received, decoded;
};

TEST_P(CutDatagrams, CutBytesGoAtOnceAndNothingElseIsLost) {
    ASSERT_NO_FATAL_FAILURE(Receive());
    ASSERT_NO_FATAL_FAILURE(Decode());
    Expect(received, GetParam(), "receiver");
    Expect(decoded, GetParam(), "decoder");
    EXPECT_TRUE(Transcript(received, true) == Transcript(decoded, true)) << "receiver and decoder differ";
}

INSTANTIATE_TEST_SUITE_P(Cases, CutDatagrams, ::testing::ValuesIn(CutCases()),
                         [](const auto& info) { return info.param.name; });

// --- A TCP stream that ends inside a packet: the held bytes go with one info callback,
// whether the peer closes or the application does, and for the decoder at its Close.
enum class StreamEnd { PeerCloses, ReceiverCloses };

class HeldBytesAtTheEnd : public ::testing::TestWithParam<StreamEnd> {};

TEST_P(HeldBytesAtTheEnd, AreReportedOnce) {
    const bool peerCloses = GetParam() == StreamEnd::PeerCloses;
    const Bytes first = DataPacket(kStream, 0, 64, 1);
    const Bytes cut = CutPacket(kStream, 2012, 700, 2);
    Bytes both = first;
    both.insert(both.end(), cut.begin(), cut.end());
    CallbackRecorder received;
    {
        Vita49Receiver receiver;
        received.Attach(receiver);
        StreamPeer peer;
        ASSERT_TRUE(peer.Open(receiver, TCP_CLIENT, peerCloses ? "127.0.40.4" : "127.0.40.5", kStream));
        // One write of a few hundred bytes: loopback hands it to one receive, which holds the
        // 700 bytes once the first packet's callback has run.
        ASSERT_TRUE(peer.Send(both));
        ASSERT_TRUE(received.WaitForCount(Kind::Data, 1));
        ASSERT_EQ(received.WithLock([&] { return received.data[0].info.bytesReceived; }), both.size());
        if (peerCloses) {
            peer.Close();
            ASSERT_TRUE(received.WaitForCount(Kind::ConnectionError, 1));
        }
        EXPECT_EQ(receiver.Close(), RC_OK);
        if (!peerCloses) peer.Close();
    }
    const std::vector<Kind> expected = peerCloses ? std::vector<Kind>{Kind::Data, Kind::Info, Kind::ConnectionError}
                                                  : std::vector<Kind>{Kind::Data, Kind::Info};
    EXPECT_EQ(received.order, expected);
    ASSERT_EQ(received.infos.size(), 1u);
    EXPECT_EQ(received.infos[0].bytesReceived, both.size());

    // The decoder's Close is the end of its run.
    CallbackRecorder decoded;
    Vita49Decoder decoder;
    decoder.Init(BaseSettings(TCP_CLIENT, "", 0, 0, "", kStream), ReceiverSettings());
    decoded.Attach(decoder);
    ASSERT_EQ(decoder.Open(), RC_OK);
    ASSERT_EQ(decoder.PushBytes(first.data(), first.size()), RC_OK);
    ASSERT_EQ(decoder.PushBytes(cut.data(), cut.size()), RC_OK);
    EXPECT_EQ(decoded.order, std::vector<Kind>{Kind::Data});
    EXPECT_EQ(decoder.Close(), RC_OK);
    EXPECT_EQ(decoded.order, (std::vector<Kind>{Kind::Data, Kind::Info}));
}

INSTANTIATE_TEST_SUITE_P(Ends, HeldBytesAtTheEnd, ::testing::Values(StreamEnd::PeerCloses, StreamEnd::ReceiverCloses),
                         [](const auto& info) {
                             return std::string(info.param == StreamEnd::PeerCloses ? "PeerCloses" : "ReceiverCloses");
                         });

TEST(Decoder, RefusesPushesOutsideItsOpenStateAndUnknownTypes) {
    Vita49Decoder decoder;
    const std::uint8_t byte = 0;
    EXPECT_EQ(decoder.PushDatagram(&byte, 1), RC_INVALID_ARGUMENT) << "before Open";
    decoder.Init(BaseSettings(static_cast<CONNECTION_TYPE>(4), "", 0, 0, "", kStream), ReceiverSettings());
    EXPECT_EQ(decoder.Open(), RC_INVALID_ARGUMENT);
    decoder.Init(BaseSettings(UDP_MULTICAST, "", 0, 0, "", kStream), ReceiverSettings());
    ASSERT_EQ(decoder.Open(), RC_OK);
    EXPECT_EQ(decoder.Open(), RC_CONNECTION_ERROR);
    EXPECT_EQ(decoder.PushDatagram(nullptr, 4), RC_INVALID_ARGUMENT);
    EXPECT_EQ(decoder.PushDatagram(nullptr, 0), RC_OK);
    EXPECT_EQ(decoder.Close(), RC_OK);
    EXPECT_EQ(decoder.PushDatagram(&byte, 1), RC_INVALID_ARGUMENT) << "after Close";
    EXPECT_EQ(decoder.Close(), RC_OK);
}

} // namespace
} // namespace vita49::test
