// SigMF recordings, read back by an independent reader (tests/sigmf_check.py: Python's json
// and numpy): a live stream of the simulated instrument with a tuning change and dropped
// packets, a format change that one recording cannot describe, a full disk, and files that
// cannot be created.

#ifndef _WIN32

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "support/LoopbackPeer.h"
#include "support/SimSession.h"
#include "support/SpectrumHelpers.h"
#include "support/StreamBuilder.h"
#include "vita49/Vita49Decoder.h"

namespace vita49::test {
namespace {

constexpr std::uint32_t kStream = 0x51;
using Kind = CallbackRecorder::Kind;

// The checker's verdict: 0 passed, 77 numpy missing, anything else failed (its output says why).
int CheckRecording(const std::string& base, const std::string& expectations) {
    const std::string python = std::filesystem::exists("/usr/bin/python3") ? "/usr/bin/python3" : "python3";
    const std::string command =
        python + " " + VITA49_SOURCE_DIR + "/tests/sigmf_check.py '" + base + "' " + expectations + " 1>&2";
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

#define EXPECT_RECORDING(base, expectations)                                                         \
    do {                                                                                             \
        const int verdict = CheckRecording(base, expectations);                                      \
        if (verdict == 77) GTEST_SKIP() << "numpy is not installed (apt-get install python3-numpy)"; \
        EXPECT_EQ(verdict, 0) << "the reader found the recording wrong (see above)";                 \
    } while (0)

class SigMFLive : public SimSession {};

TEST_F(SigMFLive, ToneTuningChangeAndDroppedPacketsAsTheReaderSeesThem) {
    spectest::TempDir dir;
    ASSERT_TRUE(dir.Valid());
    sim::SimConfig config;
    config.faults.skipDataEvery = 25;
    StartSim("127.0.13.1", config);
    const Vita49_Base_Settings settings = Settings(UDP_SINGLECAST, 0, FreeUdpPort("127.0.13.1"));
    SetUpStream(settings);
    Vita49_Receiver_Settings rx = ReceiverSettings(dir.File("c.iq"), dir.File("c.wav"));
    rx.convertDataByteOrder = 1;
    rx.wavIntegerSamples = 1;
    receiver.Init(settings, rx);
    const std::string base = dir.File("c");
    receiver.SetSigMFRecording(base.c_str());
    recorder.Attach(receiver);
    ASSERT_EQ(receiver.Open(), RC_OK);
    ASSERT_EQ(control.StartVita49Stream(), RC_OK);
    ASSERT_TRUE(recorder.WaitForCount(Kind::Data, 60));
    ASSERT_EQ(control.ChangeTune(123456789), RC_OK);
    ASSERT_TRUE(WaitFor([&] {
        return recorder.WithLock([&] {
            return !recorder.data.empty() && recorder.data.back().context.rfReferenceFrequencyHz == 123456789.0;
        });
    }));
    const std::size_t tuned = recorder.Count(Kind::Data);
    ASSERT_TRUE(recorder.WaitForCount(Kind::Data, tuned + 60));
    StopAndDrain();
    ASSERT_EQ(receiver.Close(), RC_OK);
    EXPECT_EQ(receiver.RecordingError(), "");

    const Vita49_Context& first = recorder.contexts.front().context;
    ASSERT_TRUE(first.sampleRateValid && first.rfReferenceFrequencyValid && first.bandwidthValid);
    const std::uint64_t skipped = sim->Stats().skippedData;
    ASSERT_GT(skipped, 0u);
    std::ostringstream want;
    want.precision(17);
    want << "--datatype ci16_le --sample-rate " << first.sampleRateHz << " --frequencies "
         << first.rfReferenceFrequencyHz << ",123456789 --losses " << skipped
         << " --missing-each 1 --datetime --min-samples 4096 --same-as '" << dir.File("c.iq") << "' --tone-offset "
         << sim::GeneratorConfig().toneFraction * first.bandwidthHz;
    EXPECT_RECORDING(base, want.str());
}

// A decoder with only a SigMF recording, fed datagrams built here.
class SigMFDecoder : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir.Valid()); }

    void Open(const std::string& base) {
        decoder.Init(BaseSettings(UDP_SINGLECAST, "", 0, 0, "", kStream), ReceiverSettings());
        decoder.SetSigMFRecording(base.c_str());
        ASSERT_EQ(decoder.Open(), RC_OK);
    }
    void Push(const std::vector<std::uint8_t>& datagram) {
        ASSERT_EQ(decoder.PushDatagram(datagram.data(), datagram.size()), RC_OK);
    }
    void Context(std::uint8_t count, std::uint8_t itemBits) {
        sim::ContextValues v;
        v.hasSampleRate = v.hasPayloadFormat = v.hasRfReferenceFrequency = true;
        v.sampleRateHz = 2e6;
        v.rfReferenceFrequencyHz = 433.92e6;
        v.itemBits = itemBits;
        StreamBuilder s(kStream);
        s.Context(count, v);
        Push(s.Bytes());
    }
    void Data(std::uint8_t count, std::size_t payloadBytes) {
        StreamBuilder s(kStream);
        s.Data(count, payloadBytes);
        Push(s.Bytes());
    }

    spectest::TempDir dir;
    Vita49Decoder decoder;
};

TEST_F(SigMFDecoder, ThirtyTwoBitItemsCountGapsAndAFormatChangeEndTheDataFile) {
    const std::string base = dir.File("w");
    Open(base);
    Data(0, 512); // before any context: not recorded
    Context(0, 32);
    for (std::uint8_t c : {1, 2, 3, 7, 8}) Data(c, 512); // 3 -> 7: three packets missing
    Context(1, 16);
    Data(9, 512); // another item size: the data file stops growing here
    Context(2, 32);
    Data(10, 512);
    ASSERT_EQ(decoder.Close(), RC_OK);
    EXPECT_EQ(decoder.RecordingError(), "");
    EXPECT_EQ(std::filesystem::file_size(base + ".sigmf-data"), 5u * 512);
    EXPECT_RECORDING(base,
                     "--datatype ci32_le --sample-rate 2000000 --samples 320 --frequencies 433920000 "
                     "--losses 1 --missing-each 3 --stopped");
}

TEST_F(SigMFDecoder, AFullDiskStopsAtAWholePacketAndIsReported) {
    const std::string base = dir.File("full");
    Open(base);
    Context(0, 16);
    // The process may write files of 40,000 bytes at most: the 40th packet of 1,024 bytes
    // crosses that limit.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction before {};
    sigaction(SIGXFSZ, &ignore, &before);
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    rlimit small = saved;
    small.rlim_cur = 40000;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    for (int i = 1; i <= 60; ++i) Data(static_cast<std::uint8_t>(i & 15), 1024);
    setrlimit(RLIMIT_FSIZE, &saved);
    sigaction(SIGXFSZ, &before, nullptr);
    const std::string error = decoder.RecordingError();
    EXPECT_NE(error.find("SigMF data file"), std::string::npos) << error;
    EXPECT_EQ(decoder.Close(), RC_OK);
    EXPECT_EQ(decoder.RecordingError(), error) << "the first failure is the one reported";
    EXPECT_EQ(std::filesystem::file_size(base + ".sigmf-data"), 39u * 1024);
    EXPECT_RECORDING(base, "--datatype ci16_le --samples 9984 --losses 0 --stopped");
}

TEST_F(SigMFDecoder, RecordingsThatCannotBeCreatedAreReportedNotFatal) {
    // A folder that does not exist, and a pipe that nobody reads: opening that for writing
    // would wait for a reader for ever.
    const std::string fifo = dir.File("pipe");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(::mkfifo((fifo + ".sigmf-data").c_str(), 0600), 0);
    for (const std::string& bad : {dir.File("no/such/dir/x"), fifo}) {
        for (int which = 0; which < 3; ++which) {
            Vita49Decoder d;
            d.Init(BaseSettings(UDP_SINGLECAST, "", 0, 0, "", kStream),
                   ReceiverSettings(which == 0 ? bad : "", which == 1 ? bad : ""));
            if (which == 2) d.SetSigMFRecording(bad.c_str());
            ASSERT_EQ(d.Open(), RC_OK);
            const std::string error = d.RecordingError();
            EXPECT_NE(error.find(which == 0 ? "raw file" : which == 1 ? "WAV file" : "SigMF"), std::string::npos)
                << error;
            EXPECT_NE(error.find(bad), std::string::npos) << error;
            ASSERT_EQ(d.Close(), RC_OK);
        }
    }
}

} // namespace
} // namespace vita49::test

#endif
