// Receives three seconds of an instrument's IQ stream, records it as capture.wav and prints
// what arrived. Start the simulated instrument first (vita49-sim) or name a real one:
//   vita49-first-stream [INSTRUMENT [THIS_HOST [GROUP]]]
// INSTRUMENT and THIS_HOST default to 127.0.0.1; with GROUP the stream is multicast to it.
#include <vita49/Vita49Receiver.h>
#include <vita49/Vita49RemoteControl.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

int main(int argc, char** argv) {
    const char* instrument = argc > 1 ? argv[1] : "127.0.0.1";
    const char* thisHost = argc > 2 ? argv[2] : "127.0.0.1";
    const char* group = argc > 3 ? argv[3] : nullptr;

    // What the instrument is told: where it is, and where to send the stream.
    Vita49_Base_Settings control{};
    control.connectionType = group ? UDP_MULTICAST : UDP_SINGLECAST;
    control.udpPort = 5001;
    control.streamId = 1;
    std::snprintf(control.remoteAddress, sizeof control.remoteAddress, "%s", instrument);
    std::snprintf(control.localAddress, sizeof control.localAddress, "%s", group ? group : thisHost);

    // Where the receiver listens. For multicast, its remoteAddress is the group it joins.
    Vita49_Base_Settings stream = control;
    if (group) {
        std::snprintf(stream.remoteAddress, sizeof stream.remoteAddress, "%s", group);
        stream.localAddress[0] = '\0'; // any local interface
    }

    Vita49_Receiver_Settings recording{};
    recording.convertDataByteOrder = 1; // samples little-endian in the callback
    recording.wavIntegerSamples = 1;
    std::snprintf(recording.wavFilePath, sizeof recording.wavFilePath, "%s", "capture.wav");

    std::atomic<unsigned long> packets{0}, samples{0}, lost{0};
    Vita49Receiver receiver;
    receiver.Init(stream, recording);
    // Runs on the receiver's own thread for every packet: keep it short, never block.
    receiver.SetDataCallback([&](const Vita49_Info&, const Vita49_Context& context, const Vita49_Data& data) {
        ++packets;
        lost = data.packetsLost;
        // Joining a running stream, data can come before the first context: no format yet.
        if (!data.payloadValid || !context.payloadFormatValid || context.dataItemSize == 0) return;
        const std::uint8_t* iq = data.packet + data.payloadOffset; // I, Q, I, Q, ...
        (void)iq;
        samples += data.payloadSize / (2u * context.dataItemSize / 8u);
    });
    if (receiver.Open() != RC_OK) {
        std::fprintf(stderr, "cannot open the receiver (is UDP port %u free?)\n", stream.udpPort);
        return 1;
    }

    Vita49RemoteControl instrumentControl;
    instrumentControl.Init(control);
    RETURN_CODE rc = instrumentControl.Open();
    if (rc == RC_OK) rc = instrumentControl.InitVita49Streaming();
    if (rc == RC_OK) rc = instrumentControl.StartVita49Stream();
    if (rc != RC_OK) {
        std::fprintf(stderr, "cannot set the stream up on %s:5300: %s\n", instrument, Vita49ReturnCodeName(rc));
        receiver.Close();
        return 1;
    }
    for (int second = 1; second <= 3; ++second) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        std::printf("%d s: %lu packets\n", second, packets.load());
    }
    instrumentControl.StopVita49Stream();
    receiver.Close(); // joins the thread; what was still on its way is dropped; finishes the WAV
    instrumentControl.Close();

    std::printf("%lu packets, %lu samples, %lu lost\n", packets.load(), samples.load(), lost.load());
    if (!receiver.RecordingError().empty()) {
        std::fprintf(stderr, "recording: %s\n", receiver.RecordingError().c_str());
        return 1;
    }
    return packets > 0 ? 0 : 1;
}
