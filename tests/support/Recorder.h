#pragma once

// Records what the receiver's callbacks were handed: the call order, and copies of every
// record (the originals are overwritten by the next packet). Usable on a bare StreamDecoder
// and on a Vita49Receiver whose callbacks run on the receive thread.
//
// The vectors are read directly once no receive thread is running (single-threaded tests, or
// after Close); while one runs, use Count/WaitForCount, which lock.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "receiver/StreamDecoder.h"
#include "vita49/Vita49Decoder.h"
#include "vita49/Vita49Receiver.h"
#include "vita49/Vita49Types.h"

namespace vita49::test {

class CallbackRecorder {
public:
    enum class Kind { Info, Context, Data, FftContext, FftData, ConnectionError };

    struct ContextCall {
        Vita49_Info info;
        Vita49_Context context;
    };
    struct DataCall {
        Vita49_Info info;
        Vita49_Context context;
        Vita49_Data data;
        // The payload bytes as the callback saw them (packet + payloadOffset, payloadSize).
        std::vector<std::uint8_t> samples;
    };
    struct FftContextCall {
        Vita49_Info info;
        Vita49_FFTContext context;
    };
    struct FftDataCall {
        Vita49_Info info;
        Vita49_FFTContext context;
        Vita49_FFTData data;
        // payloadSize / 4 values from the buffer handed to the callback (none when it was null).
        std::vector<float> values;
    };

    CallbackRecorder() = default;
    CallbackRecorder(const CallbackRecorder&) = delete;
    CallbackRecorder& operator=(const CallbackRecorder&) = delete;

    void Attach(ReceiverCallbacks& callbacks) {
        callbacks.info = [this](const Vita49_Info& i) { OnInfo(i); };
        callbacks.context = [this](const Vita49_Info& i, const Vita49_Context& c) { OnContext(i, c); };
        callbacks.data = [this](const Vita49_Info& i, const Vita49_Context& c, const Vita49_Data& d) {
            OnData(i, c, d);
        };
        callbacks.fftContext = [this](const Vita49_Info& i, const Vita49_FFTContext& c) { OnFftContext(i, c); };
        callbacks.fftData = [this](const Vita49_Info& i, const Vita49_FFTContext& c, const Vita49_FFTData& d,
                                   float* v) { OnFftData(i, c, d, v); };
        callbacks.connectionError = [this] { OnConnectionError(); };
    }

    // A Vita49Receiver or a Vita49Decoder: the callbacks they share.
    template <class Facade>
    void AttachPackets(Facade& facade) {
        facade.SetInfoCallback([this](const Vita49_Info& i) { OnInfo(i); });
        facade.SetContextCallback([this](const Vita49_Info& i, const Vita49_Context& c) { OnContext(i, c); });
        facade.SetDataCallback(
            [this](const Vita49_Info& i, const Vita49_Context& c, const Vita49_Data& d) { OnData(i, c, d); });
        facade.SetFFTContextCallback([this](const Vita49_Info& i, const Vita49_FFTContext& c) { OnFftContext(i, c); });
        facade.SetFFTDataCallback([this](const Vita49_Info& i, const Vita49_FFTContext& c, const Vita49_FFTData& d,
                                         float* v) { OnFftData(i, c, d, v); });
    }

    void Attach(Vita49Receiver& receiver) {
        AttachPackets(receiver);
        receiver.SetConnectionErrorCallback([this] { OnConnectionError(); });
    }

    void Attach(Vita49Decoder& decoder) { AttachPackets(decoder); }

    // Thread-safe count of the calls of one kind.
    std::size_t Count(Kind kind) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return CountLocked(kind);
    }

    // Waits until at least `n` calls of `kind` were recorded; false when `limit` passed first.
    bool WaitForCount(Kind kind, std::size_t n, std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return CountLocked(kind) >= n; });
    }

    // Runs `read` on the recorded calls while the receive thread cannot add to them.
    template <class Read>
    auto WithLock(Read read) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return read();
    }

    void Clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        order.clear();
        infos.clear();
        contexts.clear();
        data.clear();
        fftContexts.clear();
        fftData.clear();
        connectionErrors = 0;
    }

    std::vector<Kind> order;
    std::vector<Vita49_Info> infos;
    std::vector<ContextCall> contexts;
    std::vector<DataCall> data;
    std::vector<FftContextCall> fftContexts;
    std::vector<FftDataCall> fftData;
    std::size_t connectionErrors = 0;

private:
    std::size_t CountLocked(Kind kind) const {
        switch (kind) {
        case Kind::Info:
            return infos.size();
        case Kind::Context:
            return contexts.size();
        case Kind::Data:
            return data.size();
        case Kind::FftContext:
            return fftContexts.size();
        case Kind::FftData:
            return fftData.size();
        case Kind::ConnectionError:
            return connectionErrors;
        }
        return 0;
    }

    template <class Append>
    void Record(Kind kind, Append append) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            order.push_back(kind);
            append();
        }
        changed_.notify_all();
    }

    void OnInfo(const Vita49_Info& i) {
        Record(Kind::Info, [&] { infos.push_back(i); });
    }
    void OnContext(const Vita49_Info& i, const Vita49_Context& c) {
        Record(Kind::Context, [&] { contexts.push_back({i, c}); });
    }
    void OnData(const Vita49_Info& i, const Vita49_Context& c, const Vita49_Data& d) {
        std::vector<std::uint8_t> samples;
        if (d.packet != nullptr && d.payloadSize > 0)
            samples.assign(d.packet + d.payloadOffset, d.packet + d.payloadOffset + d.payloadSize);
        Record(Kind::Data, [&] { data.push_back({i, c, d, std::move(samples)}); });
    }
    void OnFftContext(const Vita49_Info& i, const Vita49_FFTContext& c) {
        Record(Kind::FftContext, [&] { fftContexts.push_back({i, c}); });
    }
    void OnFftData(const Vita49_Info& i, const Vita49_FFTContext& c, const Vita49_FFTData& d, float* v) {
        std::vector<float> values;
        if (v != nullptr) values.assign(v, v + d.payloadSize / 4);
        Record(Kind::FftData, [&] { fftData.push_back({i, c, d, std::move(values)}); });
    }
    void OnConnectionError() {
        Record(Kind::ConnectionError, [&] { ++connectionErrors; });
    }

    mutable std::mutex mutex_;
    std::condition_variable changed_;
};

} // namespace vita49::test
