#include "vita49/Vita49Decoder.h"

#include "receiver/Vita49DecoderImpl.h"

void Vita49Decoder::Vita49DecoderImpl::Init(const Vita49_Base_Settings& base,
                                            const Vita49_Receiver_Settings& receiver) {
    baseSettings = base;
    receiverSettings = receiver;
}

RETURN_CODE Vita49Decoder::Vita49DecoderImpl::Open() {
    if (open_) return RC_CONNECTION_ERROR;
    const std::int32_t type = baseSettings.connectionType;
    if (type < TCP_SERVER || type > UDP_MULTICAST) return RC_INVALID_ARGUMENT;
    decoder.Configure(baseSettings.streamId, receiverSettings, vita49::FramingOf(type), type);
    // The receiver's order: recordings, records, then a fresh continuity check for the run.
    decoder.OpenRecordings();
    decoder.ResetRecords();
    decoder.StartRun();
    open_ = true;
    return RC_OK;
}

RETURN_CODE Vita49Decoder::Vita49DecoderImpl::Close() {
    if (open_) {
        // As the end of a receive thread: a packet still incomplete is reported, then gone.
        decoder.EndRun();
        decoder.CloseRecordings();
    }
    open_ = false;
    return RC_OK;
}

RETURN_CODE Vita49Decoder::Vita49DecoderImpl::Push(const void* bytes, std::size_t size, vita49::Framing framing) {
    if (!open_ || framing != decoder.GetFraming() || (bytes == nullptr && size != 0)) return RC_INVALID_ARGUMENT;
    decoder.Deliver(static_cast<const std::uint8_t*>(bytes), size);
    return RC_OK;
}

Vita49Decoder::Vita49Decoder() : impl_(new Vita49DecoderImpl) {}

Vita49Decoder::~Vita49Decoder() = default;

void Vita49Decoder::Init(const Vita49_Base_Settings& baseSettings, const Vita49_Receiver_Settings& receiverSettings) {
    impl_->Init(baseSettings, receiverSettings);
}

RETURN_CODE Vita49Decoder::Open() { return impl_->Open(); }

RETURN_CODE Vita49Decoder::Close() { return impl_->Close(); }

RETURN_CODE Vita49Decoder::PushDatagram(const void* bytes, std::size_t size) {
    return impl_->Push(bytes, size, vita49::Framing::Datagram);
}

RETURN_CODE Vita49Decoder::PushBytes(const void* bytes, std::size_t size) {
    return impl_->Push(bytes, size, vita49::Framing::ByteStream);
}

void Vita49Decoder::SetInfoCallback(const std::function<void(const Vita49_Info&)>& callback) {
    vita49::ReplaceCallback(impl_->decoder.callbacks.info, callback);
}

void Vita49Decoder::SetContextCallback(const std::function<void(const Vita49_Info&, const Vita49_Context&)>& callback) {
    vita49::ReplaceCallback(impl_->decoder.callbacks.context, callback);
}

void Vita49Decoder::SetDataCallback(
    const std::function<void(const Vita49_Info&, const Vita49_Context&, const Vita49_Data&)>& callback) {
    vita49::ReplaceCallback(impl_->decoder.callbacks.data, callback);
}

void Vita49Decoder::SetFFTDataCallback(
    const std::function<void(const Vita49_Info&, const Vita49_FFTContext&, const Vita49_FFTData&, float*)>& callback) {
    vita49::ReplaceCallback(impl_->decoder.callbacks.fftData, callback);
}

void Vita49Decoder::SetFFTContextCallback(
    const std::function<void(const Vita49_Info&, const Vita49_FFTContext&)>& callback) {
    vita49::ReplaceCallback(impl_->decoder.callbacks.fftContext, callback);
}

void Vita49Decoder::SetDisplayedTrace(unsigned short trace) { impl_->decoder.SetDisplayedTrace(trace); }

void Vita49Decoder::SetSigMFRecording(const char* basePath) {
    impl_->decoder.SetSigMFBase(basePath != nullptr ? basePath : "");
}

std::string Vita49Decoder::RecordingError() const { return impl_->decoder.RecordingError(); }
