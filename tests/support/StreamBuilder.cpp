#include "support/StreamBuilder.h"

#include <algorithm>

namespace vita49::test {

std::vector<std::uint8_t> Ramp(std::size_t n, std::uint8_t seed) {
    std::vector<std::uint8_t> out(n);
    for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(seed + i);
    return out;
}

std::size_t StreamBuilder::Add(const std::vector<std::uint8_t>& bytes, bool packet) {
    spans_.push_back({bytes_.size(), bytes.size(), packet});
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
    return spans_.size() - 1;
}

std::size_t StreamBuilder::Packet(const sim::PacketHeader& header, const std::vector<std::uint8_t>& payload) {
    return Add(BuildPacket(header, payload).bytes, true);
}

std::size_t StreamBuilder::Data(std::uint8_t count, const std::vector<std::uint8_t>& payload) {
    return Packet(Header(1, streamId_, count), payload);
}

std::size_t StreamBuilder::Context(std::uint8_t count, const sim::ContextValues& values) {
    return Packet(Header(4, streamId_, count), sim::ContextSection(values));
}

std::size_t StreamBuilder::ExtContext(std::uint8_t count, double p1Hz, double p2Hz, double p3Hz, std::uint32_t p4) {
    return Packet(Header(5, streamId_, count), sim::SpectrumContextPayload(p1Hz, p2Hz, p3Hz, p4));
}

std::size_t StreamBuilder::ExtData(std::uint8_t count, std::uint16_t traceId, const std::vector<float>& values) {
    return Packet(Header(3, streamId_, count), sim::SpectrumDataPayload(traceId, values.data(), values.size()));
}

std::size_t StreamBuilder::Raw(const std::vector<std::uint8_t>& bytes) { return Add(bytes, false); }

std::vector<std::uint8_t> StreamBuilder::SpanBytes(std::size_t index) const {
    const Span& s = spans_.at(index);
    return std::vector<std::uint8_t>(bytes_.begin() + static_cast<std::ptrdiff_t>(s.offset),
                                     bytes_.begin() + static_cast<std::ptrdiff_t>(s.offset + s.length));
}

std::unique_ptr<StreamDecoder> MakeDecoder(std::uint32_t streamId, bool tcp, const Vita49_Receiver_Settings& settings) {
    auto decoder = std::make_unique<StreamDecoder>();
    decoder->Configure(streamId, settings, tcp ? Framing::ByteStream : Framing::Datagram);
    decoder->ResetRecords();
    decoder->StartRun();
    return decoder;
}

void Deliver(StreamDecoder& decoder, const std::vector<std::uint8_t>& bytes) {
    decoder.Deliver(bytes.data(), bytes.size());
}

void DeliverSplit(StreamDecoder& decoder, const std::vector<std::uint8_t>& bytes,
                  const std::vector<std::size_t>& cuts) {
    std::size_t at = 0;
    for (std::size_t cut : cuts) {
        cut = std::min(cut, bytes.size());
        if (cut <= at) continue;
        decoder.Deliver(bytes.data() + at, cut - at);
        at = cut;
    }
    if (at < bytes.size()) decoder.Deliver(bytes.data() + at, bytes.size() - at);
}

void DeliverInChunks(StreamDecoder& decoder, const std::vector<std::uint8_t>& bytes, std::size_t chunk) {
    for (std::size_t at = 0; at < bytes.size(); at += chunk)
        decoder.Deliver(bytes.data() + at, std::min(chunk, bytes.size() - at));
}

} // namespace vita49::test
