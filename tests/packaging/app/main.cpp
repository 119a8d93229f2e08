// An application outside the project: it sees nothing but the installed public headers.
#include <vita49/Vita49Decoder.h>
#include <vita49/Vita49Receiver.h>

#include <cstdio>
#include <cstring>

int main() {
    Vita49_Base_Settings base;
    std::memset(&base, 0, sizeof base);
    base.connectionType = CONNECTION_NONE; // opens nothing: no network needed
    std::strcpy(base.remoteAddress, "127.0.0.1");
    base.streamId = 1;
    Vita49_Base_Settings copy;
    copy = base;
    Vita49_Receiver_Settings recording;
    std::memset(&recording, 0, sizeof recording);

    Vita49Receiver receiver;
    receiver.Init(copy, recording);
    unsigned long packets = 0;
    receiver.SetDataCallback([&](const Vita49_Info&, const Vita49_Context&, const Vita49_Data&) { ++packets; });
    receiver.SetFFTDataCallback([](const Vita49_Info&, const Vita49_FFTContext&, const Vita49_FFTData&, float*) {});
    receiver.SetConnectionErrorCallback([] {});
    receiver.SetDisplayedTrace(2);

    const RETURN_CODE opened = receiver.Open();
    const RETURN_CODE closed = receiver.Close();
    if (opened != RC_INVALID_ARGUMENT || closed != RC_OK || packets != 0) {
        std::printf("unexpected: Open %d, Close %d\n", static_cast<int>(opened), static_cast<int>(closed));
        return 1;
    }
    // The socket-free decoder: one IF data packet of stream 1 (header, stream identifier, one
    // word of samples) pushed as a datagram comes back through the data callback.
    Vita49Decoder decoder;
    base.connectionType = UDP_SINGLECAST;
    decoder.Init(base, recording);
    decoder.SetDataCallback([&](const Vita49_Info&, const Vita49_Context&, const Vita49_Data&) { ++packets; });
    const unsigned char packet[20] = {0x10, 0x00, 0x00, 0x05, 0, 0, 0, 1, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    if (decoder.Open() != RC_OK || decoder.PushDatagram(packet, sizeof packet) != RC_OK || decoder.Close() != RC_OK ||
        packets != 1 || !decoder.RecordingError().empty()) {
        std::printf("unexpected: the decoder took %lu packets\n", packets);
        return 1;
    }
    std::printf("outside application ran\n");
    return 0;
}
