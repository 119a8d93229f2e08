#include "vita49/Vita49Receiver.h"

#include <utility>

#include "receiver/Vita49ReceiverImpl.h"

namespace {

// Copy first, then swap into the slot: the old function is destroyed after the new one is in.
template <class Function>
void Replace(Function& slot, const Function& callback) {
    Function copy(callback);
    slot.swap(copy);
}

} // namespace

Vita49Receiver::Vita49Receiver() : impl_(new Vita49ReceiverImpl) {}

Vita49Receiver::~Vita49Receiver() = default;

void Vita49Receiver::Init(const Vita49_Base_Settings& baseSettings, const Vita49_Receiver_Settings& receiverSettings) {
    impl_->Init(baseSettings, receiverSettings);
}

RETURN_CODE Vita49Receiver::Open() { return impl_->Open(); }

RETURN_CODE Vita49Receiver::Close() { return impl_->Close(); }

void Vita49Receiver::SetInfoCallback(const std::function<void(const Vita49_Info&)>& callback) {
    Replace(impl_->decoder.callbacks.info, callback);
}

void Vita49Receiver::SetContextCallback(const std::function<void(const Vita49_Info&, const Vita49_Context&)>& callback) {
    Replace(impl_->decoder.callbacks.context, callback);
}

void Vita49Receiver::SetDataCallback(
    const std::function<void(const Vita49_Info&, const Vita49_Context&, const Vita49_Data&)>& callback) {
    Replace(impl_->decoder.callbacks.data, callback);
}

void Vita49Receiver::SetFFTDataCallback(
    const std::function<void(const Vita49_Info&, const Vita49_FFTContext&, const Vita49_FFTData&, float*)>& callback) {
    Replace(impl_->decoder.callbacks.fftData, callback);
}

void Vita49Receiver::SetFFTContextCallback(
    const std::function<void(const Vita49_Info&, const Vita49_FFTContext&)>& callback) {
    Replace(impl_->decoder.callbacks.fftContext, callback);
}

void Vita49Receiver::SetConnectionErrorCallback(const std::function<void()>& callback) {
    Replace(impl_->decoder.callbacks.connectionError, callback);
}

void Vita49Receiver::SetDisplayedTrace(unsigned short trace) { impl_->decoder.SetDisplayedTrace(trace); }
