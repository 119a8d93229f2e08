// The SoapySDR module: the instrument as one RX channel of a SoapySDR device. The command
// channel (Vita49RemoteControl) is opened by make and stays open; a stream is a
// Vita49Receiver whose callbacks fill a Vita49SampleReader, which readStream empties.

#include <SoapySDR/Device.hpp>
#include <SoapySDR/Formats.hpp>
#include <SoapySDR/Logger.hpp>
#include <SoapySDR/Registry.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "vita49/Vita49Receiver.h"
#include "vita49/Vita49RemoteControl.h"
#include "vita49/Vita49SampleReader.h"

namespace {

constexpr const char* kDriver = "vita49";
constexpr double kMaxHz = 18446744073709551615.0; // what the 64-bit commands carry
constexpr double kOversamplingFactor = 1.25;
constexpr double kReadWaitS = 0.005; // how much of the stream a read waits for, at most its size

std::string Describe(const char* what, RETURN_CODE rc) {
    return std::string("vita49: ") + what + " failed: " + Vita49ReturnCodeName(rc);
}

void Check(const char* what, RETURN_CODE rc) {
    if (rc != RC_OK) throw std::runtime_error(Describe(what, rc));
}

SoapySDR::ArgInfo Info(const char* key, const char* name, const char* description, SoapySDR::ArgInfo::Type type,
                       const char* units = "") {
    SoapySDR::ArgInfo info;
    info.key = key;
    info.name = name;
    info.description = description;
    info.type = type;
    info.units = units;
    return info;
}

std::string Arg(const SoapySDR::Kwargs& args, const char* key, const std::string& fallback = "") {
    const auto it = args.find(key);
    return it == args.end() ? fallback : it->second;
}

unsigned long Number(const SoapySDR::Kwargs& args, const char* key, unsigned long fallback, unsigned long max) {
    const std::string text = Arg(args, key);
    if (text.empty()) return fallback;
    std::size_t used = 0;
    unsigned long value = 0;
    try {
        value = std::stoul(text, &used, 0);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used != text.size() || text[0] == '-' || value > max)
        throw std::runtime_error(std::string("vita49: ") + key + "=" + text + ": not a number from 0 to " +
                                 std::to_string(max));
    return value;
}

template <std::size_t N>
void CopyText(char (&to)[N], const std::string& text, const char* key) {
    if (text.size() >= N)
        throw std::runtime_error(std::string("vita49: ") + key + ": at most " + std::to_string(N - 1) + " characters");
    std::memset(to, 0, N);
    std::memcpy(to, text.data(), text.size());
}

// This host's address as the instrument sees it: the source address the system picks for a
// connection to the instrument's command port. A UDP "connect" only chooses the route; nothing
// is sent.
std::string LocalAddressFor(const std::string& host) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), "5300", &hints, &found) != 0 || found == nullptr) return "";
    std::string local;
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd >= 0) {
        sockaddr_in self{};
        socklen_t size = sizeof self;
        char text[INET_ADDRSTRLEN] = {};
        if (connect(fd, found->ai_addr, found->ai_addrlen) == 0 &&
            getsockname(fd, reinterpret_cast<sockaddr*>(&self), &size) == 0 &&
            inet_ntop(AF_INET, &self.sin_addr, text, sizeof text) != nullptr)
            local = text;
        close(fd);
    }
    freeaddrinfo(found);
    return local;
}

int ConnectionType(const std::string& type) {
    if (type.empty() || type == "udp") return UDP_SINGLECAST;
    if (type == "multicast") return UDP_MULTICAST;
    if (type == "tcp-server") return TCP_SERVER;
    if (type == "tcp-client") return TCP_CLIENT;
    throw std::runtime_error("vita49: type=" + type + ": udp, multicast, tcp-server or tcp-client");
}

// What the latest context said, for the getters.
struct Known {
    bool rate = false, bandwidth = false, frequency = false, level = false;
    double rateHz = 0, bandwidthHz = 0, frequencyHz = 0, levelDbm = 0;
};

struct RxStream {
    explicit RxStream(double bufferSeconds) : reader(bufferSeconds) {}
    Vita49Receiver receiver;
    Vita49SampleReader reader;
    Vita49SampleReader::Format format = Vita49SampleReader::CF32;
    bool narrowFromWide = false; // CS16 asked of 32-bit items: the upper halves
    std::vector<std::int32_t> scratch;
    bool active = false;
    bool lossLogged = false;
    // The first sample of a read that began with a gap already reported as an overflow.
    std::uint64_t overflowReportedAt = std::numeric_limits<std::uint64_t>::max();
};

class Vita49Device final : public SoapySDR::Device {
public:
    explicit Vita49Device(const SoapySDR::Kwargs& args) {
        const std::string addr = Arg(args, "addr");
        if (addr.empty()) throw std::runtime_error("vita49: the device argument addr (the instrument) is required");
        settings_ = Vita49_Base_Settings{};
        settings_.connectionType = ConnectionType(Arg(args, "type"));
        settings_.udpPort = static_cast<std::uint16_t>(Number(args, "udp_port", 5001, 65535));
        settings_.tcpPort = static_cast<std::uint16_t>(Number(args, "tcp_port", 5000, 65535));
        settings_.streamId = static_cast<std::uint32_t>(Number(args, "stream_id", 1, 0xFFFFFFFFul));
        CopyText(settings_.remoteAddress, addr, "addr");
        control_.Init(settings_);
        Check("connecting to the command port", control_.Open());
        std::string local = Arg(args, "local");
        if (local.empty()) local = LocalAddressFor(addr);
        if (local.empty()) throw std::runtime_error("vita49: no local address towards " + addr + "; give local=");
        CopyText(settings_.localAddress, local, "local");
        // The receiver: a multicast stream joins the group; other types use the instrument's address.
        receiverSettings_ = settings_;
        if (settings_.connectionType == UDP_MULTICAST) {
            const std::string group = Arg(args, "group");
            if (group.empty()) throw std::runtime_error("vita49: type=multicast needs group=");
            CopyText(settings_.localAddress, group, "group"); // where the instrument sends
            CopyText(receiverSettings_.remoteAddress, group, "group");
            CopyText(receiverSettings_.localAddress, group, "group");
        }
        control_.Init(settings_);
        if (control_.Identify(identity_) != RC_OK) identity_.clear(); // an older instrument may not answer
        // Errors queued before this device was made are not this device's: emptied now, so that
        // the check after each setting sees only what that setting caused.
        DrainErrors();
    }

    ~Vita49Device() override {
        if (stream_) closeStream(reinterpret_cast<SoapySDR::Stream*>(stream_.get()));
        control_.Close();
    }

    // --- Identity
    std::string getDriverKey() const override { return kDriver; }
    std::string getHardwareKey() const override { return identity_.empty() ? "vita49" : identity_; }
    SoapySDR::Kwargs getHardwareInfo() const override {
        SoapySDR::Kwargs info;
        info["identity"] = identity_;
        info["addr"] = settings_.remoteAddress;
        info["local"] = settings_.localAddress;
        return info;
    }

    // --- Channels and formats
    size_t getNumChannels(const int direction) const override { return direction == SOAPY_SDR_RX ? 1 : 0; }
    std::vector<std::string> getStreamFormats(const int direction, const size_t) const override {
        if (direction != SOAPY_SDR_RX) return {};
        return {SOAPY_SDR_CS16, SOAPY_SDR_CS32, SOAPY_SDR_CF32};
    }
    std::string getNativeStreamFormat(const int, const size_t, double& fullScale) const override {
        if (itemBits_ == 32) {
            fullScale = 2147483648.0;
            return SOAPY_SDR_CS32;
        }
        fullScale = 32768.0;
        return SOAPY_SDR_CS16;
    }
    SoapySDR::ArgInfoList getStreamArgsInfo(const int, const size_t) const override {
        SoapySDR::ArgInfo size = Info("item_size", "Item size", "Bits per I or Q item on the wire (CS32 selects 32)",
                                      SoapySDR::ArgInfo::INT, "bits");
        size.value = "16";
        size.options = {"16", "32"};
        return {size, Info("payload_limit", "Payload limit",
                           "The instrument's payload limit per packet; empty leaves it", SoapySDR::ArgInfo::INT)};
    }

    // --- Stream
    SoapySDR::Stream* setupStream(const int direction, const std::string& format, const std::vector<size_t>& channels,
                                  const SoapySDR::Kwargs& args) override {
        if (direction != SOAPY_SDR_RX) throw std::runtime_error("vita49: receive only");
        if (channels.size() > 1 || (channels.size() == 1 && channels[0] != 0))
            throw std::runtime_error("vita49: one channel, 0");
        if (stream_) throw std::runtime_error("vita49: one stream at a time");
        unsigned bits = static_cast<unsigned>(Number(args, "item_size", format == SOAPY_SDR_CS32 ? 32 : 16, 32));
        if (bits != 16 && bits != 32) throw std::runtime_error("vita49: item_size: 16 or 32");
        auto s = std::make_unique<RxStream>(1.0);
        if (format == SOAPY_SDR_CF32)
            s->format = Vita49SampleReader::CF32;
        else if (format == SOAPY_SDR_CS32)
            s->format = Vita49SampleReader::CS32;
        else if (format == SOAPY_SDR_CS16) {
            s->format = Vita49SampleReader::CS16;
            s->narrowFromWide = bits == 32;
        } else
            throw std::runtime_error("vita49: format " + format + ": CS16, CS32 or CF32");
        if (format == SOAPY_SDR_CS32 && bits != 32) throw std::runtime_error("vita49: CS32 needs item_size=32");
        Check("IQSTream item size", control_.ChangeDataItemSize(static_cast<unsigned char>(bits)));
        CheckInstrument("item size");
        itemBits_ = bits;
        if (!Arg(args, "payload_limit").empty()) writeSetting("payload_limit", Arg(args, "payload_limit"));

        RxStream* raw = s.get();
        Vita49_Receiver_Settings rs{};
        raw->receiver.Init(receiverSettings_, rs);
        raw->receiver.SetContextCallback([this, raw](const Vita49_Info&, const Vita49_Context& c) {
            raw->reader.OnContext(c);
            std::lock_guard<std::mutex> lock(knownMutex_);
            if (c.sampleRateValid) known_.rate = true, known_.rateHz = c.sampleRateHz;
            if (c.bandwidthValid) known_.bandwidth = true, known_.bandwidthHz = c.bandwidthHz;
            if (c.rfReferenceFrequencyValid) known_.frequency = true, known_.frequencyHz = c.rfReferenceFrequencyHz;
            if (c.referenceLevelValid) known_.level = true, known_.levelDbm = c.referenceLevelDbm;
            // The instrument's own oversampling, which the rate a setSampleRate asks for depends on.
            if (c.sampleRateValid && c.bandwidthValid && c.bandwidthHz > 0)
                oversampling_.store(c.sampleRateHz > 1.1 * c.bandwidthHz);
        });
        raw->receiver.SetDataCallback([this, raw](const Vita49_Info&, const Vita49_Context& c, const Vita49_Data& d) {
            raw->reader.OnData(c, d);
            if (d.intTimestampValid && d.fracTimestampValid)
                latestTimeNs_.store(static_cast<long long>(d.intTimestamp) * 1000000000LL +
                                    static_cast<long long>(d.fracTimestamp / 1000));
        });
        raw->receiver.SetConnectionErrorCallback([raw] { raw->reader.Fail(); });
        stream_ = std::move(s);
        return reinterpret_cast<SoapySDR::Stream*>(raw);
    }

    void closeStream(SoapySDR::Stream* handle) override {
        RxStream* s = Own(handle);
        if (s->active) deactivateStream(handle, 0, 0);
        s->reader.Close();
        s->receiver.Close();
        stream_.reset();
    }

    size_t getStreamMTU(SoapySDR::Stream*) const override { return 65536 / 4; }

    int activateStream(SoapySDR::Stream* handle, const int flags, const long long, const size_t numElems) override {
        RxStream* s = Own(handle);
        if (flags != 0 || numElems != 0) return SOAPY_SDR_NOT_SUPPORTED;
        if (s->active) return 0;
        if (!streamingInitialised_) {
            const RETURN_CODE rc = control_.InitVita49Streaming();
            if (rc != RC_OK) return Fail(Describe("InitVita49Streaming", rc));
            streamingInitialised_ = true;
        }
        // A fresh receiver each time: nothing of an earlier run is read as this one's, and a
        // receiver whose connection was lost is opened again. The socket comes first, so that
        // no packet finds it missing.
        s->receiver.Close();
        s->reader.Reset();
        s->overflowReportedAt = std::numeric_limits<std::uint64_t>::max();
        s->lossLogged = false;
        const RETURN_CODE opened = s->receiver.Open();
        if (opened != RC_OK) {
            s->reader.Close();
            return Fail(Describe("opening the receiver", opened));
        }
        const RETURN_CODE rc = control_.StartVita49Stream();
        if (rc != RC_OK) return Fail(Describe("StartVita49Stream", rc));
        s->active = true;
        return 0;
    }

    int deactivateStream(SoapySDR::Stream* handle, const int flags, const long long) override {
        RxStream* s = Own(handle);
        if (flags != 0) return SOAPY_SDR_NOT_SUPPORTED;
        if (!s->active) return 0;
        s->active = false;
        const RETURN_CODE rc = control_.StopVita49Stream();
        if (rc != RC_OK) return Fail(Describe("StopVita49Stream", rc));
        return 0;
    }

    int readStream(SoapySDR::Stream* handle, void* const* buffs, const size_t numElems, int& flags, long long& timeNs,
                   const long timeoutUs) override {
        RxStream* s = Own(handle);
        flags = 0;
        if (numElems == 0) return 0;
        const std::size_t most = std::min<std::size_t>(numElems, std::numeric_limits<int>::max());
        const auto until = Vita49SampleReader::Clock::now() + std::chrono::microseconds(std::max(0L, timeoutUs));
        // Woken for every packet, the reader would cost a thread switch per packet; it waits for
        // a few milliseconds of the stream (at the latest context's rate), and at the deadline
        // takes whatever has come.
        double rate = 0;
        {
            std::lock_guard<std::mutex> lock(knownMutex_);
            rate = known_.rate ? known_.rateHz : 0;
        }
        const std::size_t enough = std::clamp<std::size_t>(static_cast<std::size_t>(rate * kReadWaitS), 1, most);
        Vita49SampleReader::Block block;
        Vita49SampleReader::Status status = s->reader.Take(enough, most, until, block);
        if (status == Vita49SampleReader::Status::TimedOut && enough > 1)
            status = s->reader.Take(1, most, Vita49SampleReader::Clock::now(), block);
        switch (status) {
        case Vita49SampleReader::Status::Ready: break;
        case Vita49SampleReader::Status::TimedOut: return SOAPY_SDR_TIMEOUT;
        case Vita49SampleReader::Status::Closed: return SOAPY_SDR_STREAM_ERROR;
        case Vita49SampleReader::Status::Failed: // the connection is gone: said once, then the code
            if (!s->lossLogged) Fail("vita49: the stream's connection was lost; deactivate and activate to reopen it");
            s->lossLogged = true;
            return SOAPY_SDR_STREAM_ERROR;
        }
        // A gap before the first sample is reported once, as an overflow, and the samples follow
        // with the next read; a gap further in ends this read before it.
        std::size_t n = block.samples;
        if (!block.gaps.empty() && block.gaps[0] == 0) {
            if (s->overflowReportedAt != block.firstSample) {
                s->overflowReportedAt = block.firstSample;
                s->reader.Finish(0);
                return SOAPY_SDR_OVERFLOW;
            }
            if (block.gaps.size() > 1) n = static_cast<std::size_t>(block.gaps[1]);
        } else if (!block.gaps.empty()) {
            n = static_cast<std::size_t>(block.gaps[0]);
        }
        bool copied = true;
        if (s->format == Vita49SampleReader::CS16 && block.wide) {
            // 32-bit items into 16: the upper halves, so that full scale stays full scale.
            s->scratch.resize(2 * n);
            copied = s->reader.CopyOut(Vita49SampleReader::CS32, n, s->scratch.data());
            auto* out = static_cast<std::int16_t*>(buffs[0]);
            for (std::size_t i = 0; copied && i < 2 * n; ++i)
                out[i] = static_cast<std::int16_t>(s->scratch[i] >> 16);
        } else {
            copied = s->reader.CopyOut(s->format, n, buffs[0]);
        }
        if (!copied) {
            s->reader.Finish(0);
            return SOAPY_SDR_STREAM_ERROR;
        }
        s->reader.Finish(n);
        if (block.timeValid) {
            flags |= SOAPY_SDR_HAS_TIME;
            timeNs = static_cast<long long>(block.seconds) * 1000000000LL +
                     static_cast<long long>(block.picoseconds / 1000);
        }
        return static_cast<int>(n);
    }

    // --- Frequency
    void setFrequency(const int direction, const size_t channel, const double frequency,
                      const SoapySDR::Kwargs&) override {
        CheckChannel(direction, channel);
        if (!(frequency >= 0) || frequency > kMaxHz) throw std::runtime_error("vita49: frequency out of range");
        Check("IQSTream tuning", control_.ChangeTuneHz(static_cast<std::uint64_t>(std::llround(frequency))));
        CheckInstrument("tuning");
        std::lock_guard<std::mutex> lock(knownMutex_);
        frequencyHz_ = frequency;
        known_.frequency = false; // until a context confirms it
    }
    void setFrequency(const int direction, const size_t channel, const std::string& name, const double frequency,
                      const SoapySDR::Kwargs& args) override {
        if (name != "RF") throw std::runtime_error("vita49: one frequency component, RF");
        setFrequency(direction, channel, frequency, args);
    }
    double getFrequency(const int, const size_t) const override {
        std::lock_guard<std::mutex> lock(knownMutex_);
        return known_.frequency ? known_.frequencyHz : frequencyHz_;
    }
    double getFrequency(const int direction, const size_t channel, const std::string&) const override {
        return getFrequency(direction, channel);
    }
    std::vector<std::string> listFrequencies(const int, const size_t) const override { return {"RF"}; }
    SoapySDR::RangeList getFrequencyRange(const int, const size_t) const override {
        return {SoapySDR::Range(0, kMaxHz)};
    }
    SoapySDR::RangeList getFrequencyRange(const int, const size_t, const std::string&) const override {
        return {SoapySDR::Range(0, kMaxHz)};
    }

    // --- Sample rate and bandwidth
    void setSampleRate(const int direction, const size_t channel, const double rate) override {
        CheckChannel(direction, channel);
        const double cbw = rate / (oversampling_ ? kOversamplingFactor : 1.0);
        SetCbw(cbw);
    }
    double getSampleRate(const int, const size_t) const override {
        std::lock_guard<std::mutex> lock(knownMutex_);
        if (known_.rate) return known_.rateHz;
        return cbwHz_ * (oversampling_ ? kOversamplingFactor : 1.0);
    }
    SoapySDR::RangeList getSampleRateRange(const int, const size_t) const override {
        const double factor = oversampling_ ? kOversamplingFactor : 1.0;
        return {SoapySDR::Range(1 * factor, kMaxHz)};
    }
    std::vector<double> listSampleRates(const int, const size_t) const override {
        const double factor = oversampling_ ? kOversamplingFactor : 1.0;
        std::vector<double> rates;
        for (double cbw : {100e3, 200e3, 500e3, 1e6, 2e6, 5e6, 10e6, 20e6, 40e6, 80e6}) rates.push_back(cbw * factor);
        return rates;
    }
    void setBandwidth(const int direction, const size_t channel, const double bw) override {
        CheckChannel(direction, channel);
        SetCbw(bw);
    }
    double getBandwidth(const int, const size_t) const override {
        std::lock_guard<std::mutex> lock(knownMutex_);
        return known_.bandwidth ? known_.bandwidthHz : cbwHz_;
    }
    SoapySDR::RangeList getBandwidthRange(const int, const size_t) const override {
        return {SoapySDR::Range(1, kMaxHz)};
    }

    // --- Time
    bool hasHardwareTime(const std::string& what) const override { return what.empty(); }
    long long getHardwareTime(const std::string& what) const override {
        if (!what.empty()) throw std::runtime_error("vita49: one time source, the stream's timestamps");
        return latestTimeNs_.load();
    }

    // --- Settings
    SoapySDR::ArgInfoList getSettingInfo() const override {
        SoapySDR::ArgInfo over = Info("oversampling", "Oversampling",
                                      "On: the sample rate is 1.25 times CBW; off: equal to it",
                                      SoapySDR::ArgInfo::BOOL);
        over.value = "true";
        SoapySDR::ArgInfo limit = Info("payload_limit", "Payload limit", "The instrument's payload limit per packet",
                                       SoapySDR::ArgInfo::INT);
        limit.range = SoapySDR::Range(0, 4294967295.0);
        return {over, limit,
                Info("reference_level", "Reference level", "Read only: the reference level of the latest context",
                     SoapySDR::ArgInfo::FLOAT, "dBm")};
    }

    void writeSetting(const std::string& key, const std::string& value) override {
        if (key == "oversampling") {
            const bool on = value == "true" || value == "1" || value == "on" || value == "ON";
            if (!on && value != "false" && value != "0" && value != "off" && value != "OFF")
                throw std::runtime_error("vita49: oversampling: true or false");
            Check("IQSTream oversampling", control_.ChangeOversampling(on));
            CheckInstrument("oversampling");
            oversampling_ = on;
        } else if (key == "payload_limit") {
            SoapySDR::Kwargs one{{"payload_limit", value}};
            const unsigned long limit = Number(one, "payload_limit", 0, 0xFFFFFFFFul);
            Check("IQSTream payload limit", control_.ChangePayloadLimit(limit));
            CheckInstrument("payload limit");
            payloadLimit_ = value;
        } else if (key == "reference_level") {
            throw std::runtime_error("vita49: reference_level is read only");
        } else {
            throw std::runtime_error("vita49: no setting " + key);
        }
    }

    std::string readSetting(const std::string& key) const override {
        if (key == "oversampling") return oversampling_ ? "true" : "false";
        if (key == "payload_limit") return payloadLimit_;
        if (key == "reference_level") {
            std::lock_guard<std::mutex> lock(knownMutex_);
            return known_.level ? std::to_string(known_.levelDbm) : "";
        }
        throw std::runtime_error("vita49: no setting " + key);
    }

private:
    RxStream* Own(SoapySDR::Stream* handle) const {
        RxStream* s = reinterpret_cast<RxStream*>(handle);
        if (s == nullptr || s != stream_.get()) throw std::runtime_error("vita49: not this device's stream");
        return s;
    }

    static void CheckChannel(const int direction, const size_t channel) {
        if (direction != SOAPY_SDR_RX || channel != 0) throw std::runtime_error("vita49: one RX channel, 0");
    }

    int Fail(const std::string& text) const {
        SoapySDR::log(SOAPY_SDR_ERROR, text);
        return SOAPY_SDR_STREAM_ERROR;
    }

    void SetCbw(double cbw) {
        if (!(cbw >= 1) || cbw > kMaxHz) throw std::runtime_error("vita49: CBW out of range");
        Check("IQSTream CBW", control_.ChangeCBWHz(static_cast<std::uint64_t>(std::llround(cbw))));
        CheckInstrument("CBW");
        std::lock_guard<std::mutex> lock(knownMutex_);
        cbwHz_ = cbw;
        known_.rate = known_.bandwidth = false; // until a context confirms them
    }

    // A command that the instrument refused lands in its error queue: asked after every
    // setting, so that a refusal becomes an exception instead of a silent success. An
    // instrument that does not answer the query is not asked again.
    void CheckInstrument(const char* what) {
        if (!askErrors_) return;
        std::string entry;
        const RETURN_CODE rc = control_.ReadError(entry);
        if (rc == RC_TIMEOUT) {
            askErrors_ = false;
            return;
        }
        Check("SYSTem:ERRor?", rc);
        if (NoError(entry)) return;
        DrainErrors(); // the rest belongs to the same refusal
        throw std::runtime_error(std::string("vita49: the instrument refused the ") + what + ": " + entry);
    }

    static bool NoError(const std::string& entry) {
        return entry.empty() || entry[0] == '0' || entry.compare(0, 2, "+0") == 0;
    }

    // Reads the error queue until it says "no error" (a bounded number of times). An instrument
    // that does not answer the query is not asked again.
    void DrainErrors() {
        for (int i = 0; i < 64 && askErrors_; ++i) {
            std::string entry;
            const RETURN_CODE rc = control_.ReadError(entry);
            if (rc == RC_TIMEOUT) askErrors_ = false;
            if (rc != RC_OK || NoError(entry)) return;
        }
    }

    Vita49RemoteControl control_;
    Vita49_Base_Settings settings_{};
    Vita49_Base_Settings receiverSettings_{};
    std::string identity_;
    std::unique_ptr<RxStream> stream_;
    bool streamingInitialised_ = false;
    bool askErrors_ = true;
    unsigned itemBits_ = 16;
    std::atomic<bool> oversampling_{true}; // the instrument's default until set or seen in a context
    std::string payloadLimit_;
    double frequencyHz_ = 0, cbwHz_ = 0;
    mutable std::mutex knownMutex_; // known_ is written on the receive thread
    Known known_;
    std::atomic<long long> latestTimeNs_{0};
};

// find: only the instrument named by addr, and only when its command port answers *IDN?.
SoapySDR::KwargsList Find(const SoapySDR::Kwargs& args) {
    const auto driver = args.find("driver");
    if (driver != args.end() && driver->second != kDriver) return {};
    const std::string addr = Arg(args, "addr");
    if (addr.empty() || addr.size() >= sizeof(Vita49_Base_Settings{}.remoteAddress)) return {};
    Vita49_Base_Settings settings{};
    settings.connectionType = UDP_SINGLECAST;
    std::memcpy(settings.remoteAddress, addr.data(), addr.size());
    Vita49RemoteControl control;
    control.Init(settings);
    if (control.Open() != RC_OK) return {};
    std::string identity;
    const RETURN_CODE rc = control.Identify(identity);
    control.Close();
    if (rc != RC_OK) return {};
    // "<manufacturer>,<model>,<serial>,<version>": the label names the first two.
    std::vector<std::string> fields;
    for (std::size_t at = 0;;) {
        const std::size_t comma = identity.find(',', at);
        fields.push_back(identity.substr(at, comma == std::string::npos ? std::string::npos : comma - at));
        if (comma == std::string::npos) break;
        at = comma + 1;
    }
    SoapySDR::Kwargs found = args;
    found["driver"] = kDriver;
    found["addr"] = addr;
    found["label"] = (fields.size() >= 2 ? fields[0] + " " + fields[1] : identity) + " [" + addr + "]";
    if (fields.size() >= 3 && !fields[2].empty()) found["serial"] = fields[2];
    return {found};
}

SoapySDR::Device* Make(const SoapySDR::Kwargs& args) { return new Vita49Device(args); }

const SoapySDR::Registry registerVita49(kDriver, &Find, &Make, SOAPY_SDR_ABI_VERSION);

} // namespace
