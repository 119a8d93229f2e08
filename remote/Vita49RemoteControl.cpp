#include "vita49/Vita49RemoteControl.h"

#include "remote/Vita49RemoteControlImpl.h"

Vita49RemoteControl::Vita49RemoteControl() : impl_(new Vita49RemoteControlImpl) {}

Vita49RemoteControl::~Vita49RemoteControl() = default;

void Vita49RemoteControl::Init(const Vita49_Base_Settings& settings) { impl_->settings = settings; }

RETURN_CODE Vita49RemoteControl::Open() { return impl_->Open(); }

RETURN_CODE Vita49RemoteControl::Close() { return impl_->Close(); }

RETURN_CODE Vita49RemoteControl::InitVita49Streaming() { return impl_->InitVita49Streaming(); }

RETURN_CODE Vita49RemoteControl::StartVita49Stream() { return impl_->SendCommand("STReam:CONNection:OPEN\n"); }

RETURN_CODE Vita49RemoteControl::StopVita49Stream() { return impl_->SendCommand("STReam:CONNection:CLOSE\n"); }

RETURN_CODE Vita49RemoteControl::ChangeTune(unsigned long frequencyHz) {
    return impl_->SendValue("IQSTream:FREQuency:TUNE ", frequencyHz, "Hz\n");
}

RETURN_CODE Vita49RemoteControl::ChangeCBW(unsigned long bandwidthHz) {
    return impl_->SendValue("IQSTream:CBW ", bandwidthHz, "Hz\n");
}

RETURN_CODE Vita49RemoteControl::ChangeTuneHz(std::uint64_t frequencyHz) {
    return impl_->SendDecimal("IQSTream:FREQuency:TUNE ", frequencyHz, "Hz\n");
}

RETURN_CODE Vita49RemoteControl::ChangeCBWHz(std::uint64_t bandwidthHz) {
    return impl_->SendDecimal("IQSTream:CBW ", bandwidthHz, "Hz\n");
}

RETURN_CODE Vita49RemoteControl::ChangeOversampling(bool enable) {
    return impl_->SendCommand(enable ? "IQSTream:OVERsampling ON\n" : "IQSTream:OVERsampling OFF\n");
}

RETURN_CODE Vita49RemoteControl::ChangePayloadLimit(unsigned long limit) {
    return impl_->SendValue("IQSTream:PAYLoad:LIMit ", limit, "\n");
}

RETURN_CODE Vita49RemoteControl::ChangeDataItemSize(unsigned char bits) {
    return impl_->SendCommand(bits == 32 ? "IQSTream:PAYLoad:FORMat I32Q32\n" : "IQSTream:PAYLoad:FORMat I16Q16\n");
}

RETURN_CODE Vita49RemoteControl::Identify(std::string& identity) { return impl_->AskLine("*IDN?\n", identity); }

RETURN_CODE Vita49RemoteControl::ReadError(std::string& entry) { return impl_->AskLine("SYSTem:ERRor?\n", entry); }
