#pragma once

#include "receiver/StreamDecoder.h"
#include "vita49/Vita49Decoder.h"

// The decoder's implementation: the settings and the stream decoder that the receiver's
// thread would feed, fed by the caller instead.
class VITA49_LOCAL Vita49Decoder::Vita49DecoderImpl {
public:
    ~Vita49DecoderImpl() { Close(); }

    void Init(const Vita49_Base_Settings& base, const Vita49_Receiver_Settings& receiver);
    RETURN_CODE Open();
    RETURN_CODE Close();
    RETURN_CODE Push(const void* bytes, std::size_t size, vita49::Framing framing);

    Vita49_Base_Settings baseSettings{};
    Vita49_Receiver_Settings receiverSettings{};
    vita49::StreamDecoder decoder;

private:
    bool open_ = false;
};
