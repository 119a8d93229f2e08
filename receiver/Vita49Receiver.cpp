#include "vita49/Vita49Receiver.h"

#include <utility>

#include "receiver/Vita49ReceiverImpl.h"

Vita49Receiver::Vita49Receiver() : impl_(new Vita49ReceiverImpl) {}

Vita49Receiver::~Vita49Receiver() = default;

void Vita49Receiver::Init(const Vita49_Base_Settings& baseSettings, const Vita49_Receiver_Settings& receiverSettings) {
    impl_->Init(baseSettings, receiverSettings);
}

RETURN_CODE Vita49Receiver::Open() { return impl_->Open(); }

RETURN_CODE Vita49Receiver::Close() { return impl_->Close(); }

void Vita49Receiver::SetInfoCallback(const std::function<void(const Vita49_Info&)>& callback) {
    vita49::ReplaceCallback(impl_->decoder.callbacks.info, callback);
}

void Vita49Receiver::SetContextCallback(
    const std::function<void(const Vita49_Info&, const Vita49_Context&)>& callback) {
    vita49::ReplaceCallback(impl_->decoder.callbacks.context, callback);
}

void Vita49Receiver::SetDataCallback(
    const std::function<void(const Vita49_Info&, const Vita49_Context&, const Vita49_Data&)>& callback) {
    vita49::ReplaceCallback(impl_->decoder.callbacks.data, callback);
}

void Vita49Receiver::SetFFTDataCallback(
    const std::function<void(const Vita49_Info&, const Vita49_FFTContext&, const Vita49_FFTData&, float*)>& callback) {
    vita49::ReplaceCallback(impl_->decoder.callbacks.fftData, callback);
}

void Vita49Receiver::SetFFTContextCallback(
    const std::function<void(const Vita49_Info&, const Vita49_FFTContext&)>& callback) {
    vita49::ReplaceCallback(impl_->decoder.callbacks.fftContext, callback);
}

void Vita49Receiver::SetConnectionErrorCallback(const std::function<void()>& callback) {
    vita49::ReplaceCallback(impl_->decoder.callbacks.connectionError, callback);
}

void Vita49Receiver::SetDisplayedTrace(unsigned short trace) { impl_->decoder.SetDisplayedTrace(trace); }

void Vita49Receiver::SetSigMFRecording(const char* basePath) {
    impl_->decoder.SetSigMFBase(basePath != nullptr ? basePath : "");
}

std::string Vita49Receiver::RecordingError() const { return impl_->decoder.RecordingError(); }
