// The compiled half of the `vita49` Python package: the receiver, the socket-free decoder and
// the remote control over the library's public interface. Everything per packet stays in C++:
// the receive thread fills a SampleRing and keeps the statistics without the GIL, and takes
// the GIL only to run a Python callback that the application registered. The Python half
// (vita49/__init__.py) checks arguments, turns return codes into exceptions and adds the
// context managers.

#include <pybind11/complex.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "Convert.h"
#include "SampleRing.h"
#include "vita49/Vita49Receiver.h"
#include "vita49/Vita49RemoteControl.h"
#include "vita49/Vita49Decoder.h"

namespace py = pybind11;

namespace vita49::python {
namespace {

using Clock = std::chrono::steady_clock;

// --- Settings ------------------------------------------------------------------------------

template <std::size_t N>
void CopyText(char (&target)[N], const std::string& text, const char* name) {
    if (text.size() >= N || text.find('\0') != std::string::npos)
        throw py::value_error(std::string(name) + ": at most " + std::to_string(N - 1) + " characters, no NUL");
    std::memset(target, 0, N);
    std::memcpy(target, text.data(), text.size());
}

template <class T>
T Get(const py::dict& d, const char* key) {
    if (!d.contains(key)) throw py::key_error(key);
    return d[key].cast<T>();
}

Vita49_Base_Settings BaseSettings(const py::dict& d) {
    Vita49_Base_Settings b;
    std::memset(&b, 0, sizeof b);
    const long type = Get<long>(d, "connection_type");
    const long tcp = Get<long>(d, "tcp_port"), udp = Get<long>(d, "udp_port");
    const long long id = Get<long long>(d, "stream_id");
    if (type < TCP_SERVER || type > UDP_MULTICAST) throw py::value_error("connection_type: 0 to 3");
    if (tcp < 0 || tcp > 65535) throw py::value_error("tcp_port: 0 to 65535");
    if (udp < 0 || udp > 65535) throw py::value_error("udp_port: 0 to 65535");
    if (id < 0 || id > 0xFFFFFFFFll) throw py::value_error("stream_id: 0 to 4294967295");
    b.connectionType = static_cast<std::int32_t>(type);
    b.tcpPort = static_cast<std::uint16_t>(tcp);
    b.udpPort = static_cast<std::uint16_t>(udp);
    CopyText(b.remoteAddress, Get<std::string>(d, "remote_address"), "remote_address");
    CopyText(b.localAddress, Get<std::string>(d, "local_address"), "local_address");
    b.streamId = static_cast<std::uint32_t>(id);
    return b;
}

Vita49_Receiver_Settings ReceiverSettings(const py::dict& d) {
    Vita49_Receiver_Settings r;
    std::memset(&r, 0, sizeof r);
    // The samples reach this module in wire order; data_big_endian only chooses the byte order
    // of the arrays handed to on_data, which numpy states in their dtype.
    r.convertDataByteOrder = 1;
    r.dataBigEndian = 1;
    r.rawFileBigEndian = Get<bool>(d, "raw_file_big_endian") ? 1 : 0;
    r.wavIntegerSamples = Get<bool>(d, "wav_integer_samples") ? 1 : 0;
    CopyText(r.rawFilePath, Get<std::string>(d, "raw_file_path"), "raw_file_path");
    CopyText(r.wavFilePath, Get<std::string>(d, "wav_file_path"), "wav_file_path");
    return r;
}

// --- What the receive thread keeps for Python ----------------------------------------------

// The latest value of every context field ever carried since Open (a packet that leaves a
// field out does not make it unknown again).
struct KnownContext {
    bool frequencyKnown = false, bandwidthKnown = false, rateKnown = false, levelKnown = false;
    bool formatKnown = false, gpsKnown = false, timeIntKnown = false, timeFracKnown = false, idKnown = false;
    double frequency = 0, bandwidth = 0, rate = 0, level = 0;
    unsigned itemSize = 0, packingSize = 0;
    std::uint32_t intTime = 0, streamId = 0;
    std::uint64_t fracTime = 0;
    double latitude = 0, longitude = 0, altitude = 0, speed = 0, track = 0, magnetic = 0;
    std::uint32_t packetsReceived = 0, packetsLost = 0;

    void Merge(const Vita49_Context& c) {
        if (c.rfReferenceFrequencyValid) frequencyKnown = true, frequency = c.rfReferenceFrequencyHz;
        if (c.bandwidthValid) bandwidthKnown = true, bandwidth = c.bandwidthHz;
        if (c.sampleRateValid) rateKnown = true, rate = c.sampleRateHz;
        if (c.referenceLevelValid) levelKnown = true, level = c.referenceLevelDbm;
        if (c.payloadFormatValid) formatKnown = true, itemSize = c.dataItemSize, packingSize = c.itemPackingFieldSize;
        if (c.intTimestampValid) timeIntKnown = true, intTime = c.intTimestamp;
        timeFracKnown = c.intTimestampValid && c.fracTimestampValid;
        if (c.fracTimestampValid) fracTime = c.fracTimestamp;
        if (c.streamIdValid) idKnown = true, streamId = c.streamId;
        if (c.gpsValid) {
            gpsKnown = true;
            latitude = c.gpsLatitudeDeg, longitude = c.gpsLongitudeDeg, altitude = c.gpsAltitudeM;
            speed = c.gpsSpeedMps, track = c.gpsTrackAngleDeg, magnetic = c.gpsMagneticVariationDeg;
        }
        packetsReceived = c.packetsReceived;
        packetsLost = c.packetsLost;
    }
};

struct KnownSpectrum {
    bool known[4] = {false, false, false, false};
    double param[3] = {0, 0, 0};
    std::uint32_t points = 0;
    std::vector<std::uint16_t> traceIds;

    void Merge(const Vita49_FFTContext& c) {
        if (c.spectrumParam1Valid) known[0] = true, param[0] = c.spectrumParam1Hz;
        if (c.spectrumParam2Valid) known[1] = true, param[1] = c.spectrumParam2Hz;
        if (c.spectrumParam3Valid) known[2] = true, param[2] = c.spectrumParam3Hz;
        if (c.spectrumParam4Valid) known[3] = true, points = c.spectrumParam4;
    }
};

py::object Maybe(bool known, double v) { return known ? py::object(py::float_(v)) : py::object(py::none()); }

// The timestamp as seconds: integer seconds plus picoseconds, when the integer part is known.
py::object Timestamp(bool intKnown, std::uint32_t seconds, bool fracKnown, std::uint64_t picoseconds) {
    if (!intKnown) return py::none();
    return py::float_(static_cast<double>(seconds) + (fracKnown ? static_cast<double>(picoseconds) * 1e-12 : 0.0));
}

py::dict ContextDict(const KnownContext& c) {
    py::dict d;
    d["frequency"] = Maybe(c.frequencyKnown, c.frequency);
    d["bandwidth"] = Maybe(c.bandwidthKnown, c.bandwidth);
    d["sample_rate"] = Maybe(c.rateKnown, c.rate);
    d["reference_level"] = Maybe(c.levelKnown, c.level);
    d["item_size"] = c.formatKnown ? py::object(py::int_(c.itemSize)) : py::object(py::none());
    d["timestamp"] = Timestamp(c.timeIntKnown, c.intTime, c.timeFracKnown, c.fracTime);
    d["stream_id"] = c.idKnown ? py::object(py::int_(c.streamId)) : py::object(py::none());
    if (c.gpsKnown) {
        py::dict g;
        g["latitude"] = c.latitude, g["longitude"] = c.longitude, g["altitude"] = c.altitude;
        g["speed"] = c.speed, g["track_angle"] = c.track, g["magnetic_variation"] = c.magnetic;
        d["gps"] = g;
    } else {
        d["gps"] = py::none();
    }
    d["packets_received"] = c.packetsReceived;
    d["packets_lost"] = c.packetsLost;
    return d;
}

// The Python layer's Context class (a dict with attribute access); plain dicts until it is set.
// Never destroyed: it must outlive every stream, up to the interpreter's end.
py::object* g_contextType = nullptr;

py::object AsContext(py::dict d) { return g_contextType != nullptr ? (*g_contextType)(d) : py::object(d); }

py::dict SpectrumDict(const KnownSpectrum& s) {
    py::dict d;
    d["center_frequency"] = Maybe(s.known[0], s.param[0]);
    d["span"] = Maybe(s.known[1], s.param[1]);
    d["spacing"] = Maybe(s.known[2], s.param[2]);
    d["points"] = s.known[3] ? py::object(py::int_(s.points)) : py::object(py::none());
    d["trace_ids"] = s.traceIds;
    return d;
}

// Marks the thread that runs a receiver's callbacks, so that Open, Close and a push from
// inside a callback are refused rather than left to wait for themselves.
thread_local const void* t_callbackOwner = nullptr;
struct InCallback {
    explicit InCallback(const void* owner) : previous(t_callbackOwner) { t_callbackOwner = owner; }
    ~InCallback() { t_callbackOwner = previous; }
    const void* previous;
};

// A Python function registered for one kind of callback. Replaced with the GIL held; the
// receive thread looks at `set` without the GIL and takes the GIL only when it is true.
struct Slot {
    explicit Slot(const char* n) : name(n) {}
    const char* name;
    py::object fn = py::none();
    std::atomic<bool> set{false};
    bool reported = false; // under the GIL
};

enum class Output { Complex64 = 0, Int16 = 1, Int32 = 2 };

// The receiver or the decoder (`Lib`) with what Python sees of it.
template <class Lib>
class Stream {
public:
    Stream(const py::dict& settings, double bufferSeconds, bool bigEndianArrays, const std::string& sigmf)
        : ring_(bufferSeconds), useRing_(bufferSeconds > 0), bigEndianArrays_(bigEndianArrays) {
        lib_.Init(BaseSettings(settings), ReceiverSettings(settings));
        lib_.SetSigMFRecording(sigmf.c_str());
        ring_.Close(); // reads fail until the first Open
        lib_.SetInfoCallback([this](const Vita49_Info& info) { Guard([&] { OnInfo(info); }); });
        lib_.SetContextCallback(
            [this](const Vita49_Info& info, const Vita49_Context& c) { Guard([&] { OnContext(info, c); }); });
        lib_.SetDataCallback([this](const Vita49_Info& info, const Vita49_Context& c, const Vita49_Data& d) {
            Guard([&] { OnData(info, c, d); });
        });
        lib_.SetFFTContextCallback(
            [this](const Vita49_Info& info, const Vita49_FFTContext& c) { Guard([&] { OnFFTContext(info, c); }); });
        lib_.SetFFTDataCallback(
            [this](const Vita49_Info& info, const Vita49_FFTContext& c, const Vita49_FFTData& d, float* trace) {
                Guard([&] { OnFFTData(info, c, d, trace); });
            });
    }

    virtual ~Stream() {
        // Destroyed with the GIL held: the receive thread may be waiting for it.
        if (t_callbackOwner == this) return; // cannot wait for itself; the library's own closes it
        py::gil_scoped_release release;
        std::lock_guard<std::mutex> lock(lifecycle_);
        ring_.Close();
        lib_.Close();
    }

    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

    int Open() {
        RefuseInCallback("open");
        py::gil_scoped_release release;
        std::lock_guard<std::mutex> lock(lifecycle_);
        if (open_) return RC_CONNECTION_ERROR; // as the library answers; nothing is reset
        ring_.Reset();
        {
            std::lock_guard<std::mutex> stats(statsMutex_);
            info_ = Vita49_Info{};
            context_ = KnownContext{};
            spectrum_ = KnownSpectrum{};
            dataReceived_ = dataLost_ = contextReceived_ = contextLost_ = 0;
            fftReceived_ = fftLost_ = fftContextReceived_ = fftContextLost_ = 0;
            unformatted_ = connectionErrors_ = 0;
        }
        callbackErrors_.store(0);
        lastDataLost_ = 0;
        const RETURN_CODE rc = lib_.Open();
        if (rc != RC_OK) {
            ring_.Close();
            return rc;
        }
        open_ = true;
        return rc;
    }

    int Close() {
        RefuseInCallback("close");
        py::gil_scoped_release release;
        std::lock_guard<std::mutex> lock(lifecycle_);
        ring_.Close();
        open_ = false;
        return lib_.Close();
    }

    bool IsOpen() const { return open_; }

    void SetCallback(Slot& slot, py::object fn) {
        if (!fn.is_none() && !PyCallable_Check(fn.ptr())) throw py::type_error(std::string(slot.name) + ": not callable");
        slot.fn = std::move(fn);
        slot.reported = false;
        slot.set.store(!slot.fn.is_none(), std::memory_order_release);
    }

    // Exactly `samples` samples, or a return code (int) when they do not come: RC_TIMEOUT,
    // RC_CONNECTION_ERROR (closed, or the stream ended before enough came).
    py::object Read(std::size_t samples, double timeout, int kind, py::object out) {
        if (!useRing_) throw py::value_error("read: this receiver keeps no buffer (buffer_seconds=0)");
        RefuseInCallback("read"); // the thread that would fill the buffer is this one
        const Output output = static_cast<Output>(kind);
        if (samples == 0) return Allocate(output, 0, false, out);
        const bool forever = !(timeout >= 0) || timeout > 1e9;
        const auto deadline = forever ? Clock::time_point::max()
                                      : Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                           std::chrono::duration<double>(timeout));
        SampleRing::Block block;
        py::object result;
        int failure = RC_OK;
        {
            py::gil_scoped_release release;
            std::unique_lock<std::mutex> reading(readMutex_);
            for (;;) {
                // In slices, so that Ctrl-C reaches a long wait.
                const auto slice = std::min(deadline, Clock::now() + std::chrono::milliseconds(100));
                const SampleRing::TakeResult r = ring_.Take(samples, slice, block);
                if (r == SampleRing::TakeResult::Ready) break;
                if (r != SampleRing::TakeResult::TimedOut) {
                    failure = RC_CONNECTION_ERROR;
                    break;
                }
                if (Clock::now() >= deadline) {
                    failure = RC_TIMEOUT;
                    break;
                }
                py::gil_scoped_acquire gil;
                if (PyErr_CheckSignals() != 0) throw py::error_already_set();
            }
            if (failure == RC_OK) {
                // The block stays reserved until it is copied, or handed back on an error.
                struct Reservation {
                    SampleRing& ring;
                    bool commit = false;
                    ~Reservation() { ring.Finish(commit); }
                } reservation{ring_};
                void* target = nullptr;
                {
                    py::gil_scoped_acquire gil;
                    result = Allocate(output, samples, block.wide, out);
                    target = py::reinterpret_borrow<py::array>(result).mutable_data();
                }
                Fill(block, output, target);
                reservation.commit = true;
            }
        }
        if (failure != RC_OK) return py::int_(failure);
        lastGaps_.assign(block.gaps.begin(), block.gaps.end());
        return result;
    }

    std::vector<std::uint64_t> LastGaps() const { return lastGaps_; }

    py::object Context() const {
        py::dict d;
        {
            std::lock_guard<std::mutex> lock(statsMutex_);
            d = ContextDict(context_);
        }
        return AsContext(d);
    }

    py::object SpectrumContext() const {
        py::dict d;
        {
            std::lock_guard<std::mutex> lock(statsMutex_);
            d = SpectrumDict(spectrum_);
        }
        return AsContext(d);
    }

    py::dict Stats() const {
        const SampleRing::Counters ring = ring_.Snapshot();
        std::lock_guard<std::mutex> lock(statsMutex_);
        py::dict d;
        d["bytes_received"] = info_.bytesReceived;
        d["data_bytes"] = info_.dataBytes;
        d["context_bytes"] = info_.contextBytes;
        d["data_errors"] = info_.dataErrors;
        d["context_errors"] = info_.contextErrors;
        py::dict received, lost;
        received["data"] = dataReceived_, lost["data"] = dataLost_;
        received["context"] = contextReceived_, lost["context"] = contextLost_;
        received["spectrum"] = fftReceived_, lost["spectrum"] = fftLost_;
        received["spectrum_context"] = fftContextReceived_, lost["spectrum_context"] = fftContextLost_;
        d["packets_received"] = received;
        d["packets_lost"] = lost;
        d["overflow_samples"] = ring.overflow;
        d["samples_received"] = ring.received;
        d["samples_buffered"] = ring.buffered;
        d["buffer_bytes"] = ring.capacityBytes;
        d["buffer_allocation_failed"] = ring.allocationFailed;
        d["unformatted_packets"] = unformatted_;
        d["connection_errors"] = connectionErrors_;
        d["callback_errors"] = callbackErrors_.load();
        return d;
    }

    std::string RecordingError() const { return lib_.RecordingError(); }

    void SetDisplayedTrace(unsigned trace) {
        if (trace > 65535) throw py::value_error("displayed_trace: 0 to 65535");
        lib_.SetDisplayedTrace(static_cast<unsigned short>(trace));
        displayedTrace_ = trace;
    }
    unsigned DisplayedTrace() const { return displayedTrace_; }

    Slot onData{"on_data"}, onContext{"on_context"}, onSpectrum{"on_spectrum"},
        onConnectionError{"on_connection_error"};

protected:
    void RefuseInCallback(const char* what) const {
        if (t_callbackOwner == this)
            throw std::runtime_error(std::string(what) + " from inside one of this stream's callbacks");
    }

    // No exception may reach the library's thread.
    template <class F>
    void Guard(F&& body) {
        InCallback mark(this);
        try {
            body();
        } catch (...) {
            callbackErrors_.fetch_add(1);
        }
    }

    template <class Call>
    void RunPython(Slot& slot, Call&& call) {
        if (!slot.set.load(std::memory_order_acquire)) return;
        py::gil_scoped_acquire gil;
        py::object fn = slot.fn; // may have been cleared meanwhile
        if (fn.is_none()) return;
        try {
            call(fn);
        } catch (py::error_already_set& e) {
            callbackErrors_.fetch_add(1);
            if (!slot.reported) {
                slot.reported = true;
                try {
                    PySys_WriteStderr("vita49: exception in the %s callback; the stream goes on, and further "
                                      "exceptions are only counted in stats.callback_errors:\n",
                                      slot.name);
                    py::module_::import("traceback").attr("print_exception")(e.type(), e.value(), e.trace());
                } catch (py::error_already_set&) {
                    PyErr_Clear();
                }
            }
        } catch (const std::exception&) {
            callbackErrors_.fetch_add(1);
        }
    }

    void OnInfo(const Vita49_Info& info) {
        std::lock_guard<std::mutex> lock(statsMutex_);
        info_ = info;
    }

    void OnContext(const Vita49_Info& info, const Vita49_Context& c) {
        {
            std::lock_guard<std::mutex> lock(statsMutex_);
            info_ = info;
            context_.Merge(c);
            contextReceived_ = c.packetsReceived;
            contextLost_ = c.packetsLost;
        }
        if (c.sampleRateValid) ring_.SetSampleRate(c.sampleRateHz);
        RunPython(onContext, [&](py::object& fn) { fn(AsContext(ContextDict(context_))); });
    }

    void OnData(const Vita49_Info& info, const Vita49_Context& c, const Vita49_Data& d) {
        const unsigned bits = c.dataItemSize;
        const bool formatted = bits == 16 || bits == 32;
        const std::uint8_t* samples = d.packet + d.payloadOffset;
        // A loss the packet counts show, or one the instrument reports in the trailer.
        const bool gap = d.packetsLost != lastDataLost_ || (d.sampleLossEnabled && d.sampleLoss);
        lastDataLost_ = d.packetsLost;
        if (useRing_) {
            if (d.payloadValid && formatted)
                ring_.Write(samples, d.payloadSize, bits / 8, gap);
            else if (gap || d.payloadSize > 0)
                ring_.MarkGap();
        }
        {
            std::lock_guard<std::mutex> lock(statsMutex_);
            info_ = info;
            dataReceived_ = d.packetsReceived;
            dataLost_ = d.packetsLost;
            if (d.payloadSize > 0 && (!formatted || !d.payloadValid)) ++unformatted_;
        }
        RunPython(onData, [&](py::object& fn) {
            py::dict ctx = ContextDict(context_);
            ctx["data_timestamp"] = Timestamp(d.intTimestampValid, d.intTimestamp,
                                              d.intTimestampValid && d.fracTimestampValid, d.fracTimestamp);
            ctx["data_packets_lost"] = d.packetsLost;
            fn(AsContext(ctx), SampleArray(samples, d.payloadValid ? d.payloadSize : 0, bits));
        });
    }

    void OnFFTContext(const Vita49_Info& info, const Vita49_FFTContext& c) {
        std::lock_guard<std::mutex> lock(statsMutex_);
        info_ = info;
        spectrum_.Merge(c);
        fftContextReceived_ = c.packetsReceived;
        fftContextLost_ = c.packetsLost;
    }

    void OnFFTData(const Vita49_Info& info, const Vita49_FFTContext&, const Vita49_FFTData& d, float* trace) {
        {
            std::lock_guard<std::mutex> lock(statsMutex_);
            info_ = info;
            fftReceived_ = d.packetsReceived;
            fftLost_ = d.packetsLost;
            if (d.traceIdsValid) {
                spectrum_.traceIds.clear();
                for (std::uint16_t id : d.traceIds)
                    if (id != 0) spectrum_.traceIds.push_back(id);
            }
        }
        RunPython(onSpectrum, [&](py::object& fn) {
            const std::size_t n = trace != nullptr ? d.payloadSize / 4 : 0;
            // The trace values arrive as little-endian floats, byte for byte.
            py::array values(py::dtype("<f4"), std::vector<py::ssize_t>{static_cast<py::ssize_t>(n)});
            if (n > 0) std::memcpy(values.mutable_data(), trace, n * 4);
            py::dict ctx = SpectrumDict(spectrum_);
            ctx["timestamp"] = Timestamp(d.intTimestampValid, d.intTimestamp,
                                         d.intTimestampValid && d.fracTimestampValid, d.fracTimestamp);
            fn(values, AsContext(ctx));
        });
    }

    void OnConnectionError() {
        {
            std::lock_guard<std::mutex> lock(statsMutex_);
            ++connectionErrors_;
        }
        ring_.Fail();
        RunPython(onConnectionError, [&](py::object& fn) { fn(); });
    }

    // A copy of one packet's samples: (n, 2) integers in native order (or big-endian when asked),
    // or the raw bytes when the sample format is not known.
    py::array SampleArray(const std::uint8_t* samples, std::size_t bytes, unsigned bits) const {
        if (bits != 16 && bits != 32) {
            py::array_t<std::uint8_t> raw(bytes);
            if (bytes > 0) std::memcpy(raw.mutable_data(), samples, bytes);
            return std::move(raw);
        }
        const std::size_t itemBytes = bits / 8, pairs = bytes / (2 * itemBytes);
        if (bigEndianArrays_) {
            py::array a(py::dtype(itemBytes == 2 ? ">i2" : ">i4"), {pairs, std::size_t{2}});
            std::memcpy(a.mutable_data(), samples, pairs * 2 * itemBytes);
            return a;
        }
        if (itemBytes == 2) {
            py::array_t<std::int16_t> a({pairs, std::size_t{2}});
            ToInt16(samples, pairs * 2, a.mutable_data());
            return std::move(a);
        }
        py::array_t<std::int32_t> a({pairs, std::size_t{2}});
        ToInt32(samples, pairs * 2, 4, a.mutable_data());
        return std::move(a);
    }

    // The array a read fills: `out` when given (checked), else a new one. With the GIL.
    static py::object Allocate(Output output, std::size_t samples, bool wide, py::object out) {
        const bool toInt32 = output == Output::Int32 || (output == Output::Int16 && wide);
        if (out.is_none()) {
            if (output == Output::Complex64) return py::array_t<std::complex<float>>(samples);
            if (toInt32) return py::array_t<std::int32_t>({samples, std::size_t{2}});
            return py::array_t<std::int16_t>({samples, std::size_t{2}});
        }
        py::array a = py::cast<py::array>(out);
        const bool contiguous = (a.flags() & py::array::c_style) != 0 && a.writeable();
        bool fits = false;
        if (output == Output::Complex64)
            fits = a.dtype().is(py::dtype::of<std::complex<float>>()) && a.ndim() == 1 &&
                   static_cast<std::size_t>(a.shape(0)) == samples;
        else
            fits = a.dtype().is(toInt32 ? py::dtype::of<std::int32_t>() : py::dtype::of<std::int16_t>()) &&
                   a.ndim() == 2 && static_cast<std::size_t>(a.shape(0)) == samples && a.shape(1) == 2;
        if (!contiguous || !fits)
            throw py::value_error(output == Output::Complex64
                                      ? "out: a writable contiguous complex64 array of shape (n,)"
                                      : toInt32 ? "out: a writable contiguous int32 array of shape (n, 2)"
                                                : "out: a writable contiguous int16 array of shape (n, 2)");
        return std::move(a);
    }

    // Converts the reserved block into `target`. Without the GIL.
    static void Fill(const SampleRing::Block& block, Output output, void* target) {
        std::size_t done = 0; // samples
        for (const SampleRing::Span& s : block.spans) {
            const unsigned itemBytes = s.sampleBytes / 2;
            const std::size_t items = s.samples * 2;
            if (output == Output::Complex64)
                ToFloat(s.bytes, items, itemBytes, static_cast<float*>(target) + 2 * done);
            else if (output == Output::Int16 && !block.wide)
                ToInt16(s.bytes, items, static_cast<std::int16_t*>(target) + 2 * done);
            else
                ToInt32(s.bytes, items, itemBytes, static_cast<std::int32_t*>(target) + 2 * done);
            done += s.samples;
        }
    }

    Lib lib_;
    SampleRing ring_;
    const bool useRing_;
    const bool bigEndianArrays_;
    std::mutex lifecycle_; // Open and Close
    std::mutex readMutex_; // one read at a time
    std::atomic<bool> open_{false}; // written under lifecycle_, read with the GIL only
    std::vector<std::uint64_t> lastGaps_; // with the GIL
    unsigned displayedTrace_ = 1;

    // Receive-thread state: written by the receive thread only (and by Open before it starts).
    std::uint32_t lastDataLost_ = 0;

    mutable std::mutex statsMutex_;
    Vita49_Info info_{};
    KnownContext context_;
    KnownSpectrum spectrum_;
    std::uint32_t dataReceived_ = 0, dataLost_ = 0, contextReceived_ = 0, contextLost_ = 0;
    std::uint32_t fftReceived_ = 0, fftLost_ = 0, fftContextReceived_ = 0, fftContextLost_ = 0;
    std::uint64_t unformatted_ = 0, connectionErrors_ = 0;
    std::atomic<std::uint64_t> callbackErrors_{0};
};

class Receiver : public Stream<Vita49Receiver> {
public:
    Receiver(const py::dict& settings, double bufferSeconds, bool bigEndianArrays, const std::string& sigmf)
        : Stream(settings, bufferSeconds, bigEndianArrays, sigmf) {
        lib_.SetConnectionErrorCallback([this] { Guard([&] { OnConnectionError(); }); });
    }
};

class Decoder : public Stream<Vita49Decoder> {
public:
    using Stream::Stream;

    // Callbacks run inside the push, on this thread; the GIL stays held.
    int Push(const py::buffer& data, bool datagram) {
        RefuseInCallback("push");
        const py::buffer_info info = data.request();
        const std::size_t bytes = static_cast<std::size_t>(info.size) * static_cast<std::size_t>(info.itemsize);
        if (info.ndim > 1 && !(info.strides.empty() || IsContiguous(info)))
            throw py::value_error("push: a contiguous buffer of bytes");
        return datagram ? lib_.PushDatagram(info.ptr, bytes) : lib_.PushBytes(info.ptr, bytes);
    }

private:
    static bool IsContiguous(const py::buffer_info& info) {
        py::ssize_t stride = info.itemsize;
        for (py::ssize_t i = info.ndim - 1; i >= 0; --i) {
            if (info.strides[static_cast<std::size_t>(i)] != stride) return false;
            stride *= info.shape[static_cast<std::size_t>(i)];
        }
        return true;
    }
};

class RemoteControl {
public:
    explicit RemoteControl(const py::dict& settings) { control_.Init(BaseSettings(settings)); }
    ~RemoteControl() {
        py::gil_scoped_release release;
        control_.Close();
    }

    template <class F>
    int Run(F&& operation) {
        py::gil_scoped_release release;
        std::lock_guard<std::mutex> lock(mutex_); // one object, one thread at a time
        return operation();
    }

    Vita49RemoteControl control_;
    std::mutex mutex_;
};

// A frequency or count in the unsigned range the commands take; anything the library would
// refuse stays above it so that the library answers RC_INVALID_ARGUMENT.
unsigned long Unsigned(double value, const char* what) {
    if (!std::isfinite(value) || value < 0) throw py::value_error(std::string(what) + ": a non-negative number");
    const double rounded = std::floor(value + 0.5);
    if (rounded > static_cast<double>(std::numeric_limits<unsigned long>::max() / 2))
        return std::numeric_limits<unsigned long>::max() / 2;
    return static_cast<unsigned long>(rounded);
}

// A frequency in hertz for the 64-bit operations; false (the caller answers
// RC_INVALID_ARGUMENT) beyond what 64 bits carry.
bool Hertz(double value, const char* what, std::uint64_t& hz) {
    if (!std::isfinite(value) || value < 0) throw py::value_error(std::string(what) + ": a non-negative number");
    const double rounded = std::floor(value + 0.5);
    if (rounded >= 18446744073709551616.0) return false;
    hz = static_cast<std::uint64_t>(rounded);
    return true;
}

// A one-line query: (code, answer); the answer is None unless the code is RC_OK.
py::tuple AskLine(RemoteControl& r, RETURN_CODE (Vita49RemoteControl::*query)(std::string&)) {
    std::string text;
    const int rc = r.Run([&] { return (r.control_.*query)(text); });
    return py::make_tuple(rc, rc == RC_OK ? py::object(py::str(text)) : py::object(py::none()));
}

template <class S>
void BindStream(py::class_<S>& c) {
    c.def("open", &S::Open)
        .def("close", &S::Close)
        .def_property_readonly("is_open", &S::IsOpen)
        .def("read", &S::Read, py::arg("samples"), py::arg("timeout"), py::arg("kind"), py::arg("out"))
        .def_property_readonly("last_read_gaps", &S::LastGaps)
        .def_property_readonly("context", &S::Context)
        .def_property_readonly("spectrum_context", &S::SpectrumContext)
        .def_property_readonly("stats", &S::Stats)
        .def_property_readonly("recording_error", &S::RecordingError)
        .def_property("displayed_trace", &S::DisplayedTrace, &S::SetDisplayedTrace)
        .def("on_data", [](S& s, py::object fn) { s.SetCallback(s.onData, std::move(fn)); })
        .def("on_context", [](S& s, py::object fn) { s.SetCallback(s.onContext, std::move(fn)); })
        .def("on_spectrum", [](S& s, py::object fn) { s.SetCallback(s.onSpectrum, std::move(fn)); })
        .def("on_connection_error",
             [](S& s, py::object fn) { s.SetCallback(s.onConnectionError, std::move(fn)); });
}

} // namespace
} // namespace vita49::python

PYBIND11_MODULE(_vita49, m) {
    using namespace vita49::python;
    m.doc() = "Compiled half of the vita49 package; use the vita49 package itself.";
    m.attr("HAS_DECODER") = true;
    m.def("return_code_name", [](int code) { return Vita49ReturnCodeName(static_cast<RETURN_CODE>(code)); });
    m.def("set_context_type", [](py::object type) {
        if (g_contextType == nullptr) g_contextType = new py::object();
        *g_contextType = std::move(type);
    });

    py::class_<Receiver> receiver(m, "Receiver");
    receiver.def(py::init<const py::dict&, double, bool, const std::string&>());
    BindStream(receiver);

    py::class_<Decoder> decoder(m, "Decoder");
    decoder.def(py::init<const py::dict&, double, bool, const std::string&>());
    BindStream(decoder);
    decoder.def("push_datagram", [](Decoder& d, const py::buffer& b) { return d.Push(b, true); })
        .def("push_bytes", [](Decoder& d, const py::buffer& b) { return d.Push(b, false); });

    py::class_<RemoteControl>(m, "RemoteControl")
        .def(py::init<const py::dict&>())
        .def("open", [](RemoteControl& r) { return r.Run([&] { return r.control_.Open(); }); })
        .def("close", [](RemoteControl& r) { return r.Run([&] { return r.control_.Close(); }); })
        .def("init_streaming", [](RemoteControl& r) { return r.Run([&] { return r.control_.InitVita49Streaming(); }); })
        .def("start", [](RemoteControl& r) { return r.Run([&] { return r.control_.StartVita49Stream(); }); })
        .def("stop", [](RemoteControl& r) { return r.Run([&] { return r.control_.StopVita49Stream(); }); })
        .def("tune",
             [](RemoteControl& r, double hz) {
                 std::uint64_t v = 0;
                 if (!Hertz(hz, "tune", v)) return static_cast<int>(RC_INVALID_ARGUMENT);
                 return r.Run([&] { return r.control_.ChangeTuneHz(v); });
             })
        .def("set_bandwidth",
             [](RemoteControl& r, double hz) {
                 std::uint64_t v = 0;
                 if (!Hertz(hz, "set_bandwidth", v)) return static_cast<int>(RC_INVALID_ARGUMENT);
                 return r.Run([&] { return r.control_.ChangeCBWHz(v); });
             })
        .def("identify", [](RemoteControl& r) { return AskLine(r, &Vita49RemoteControl::Identify); })
        .def("read_error", [](RemoteControl& r) { return AskLine(r, &Vita49RemoteControl::ReadError); })
        .def("set_oversampling",
             [](RemoteControl& r, bool on) { return r.Run([&] { return r.control_.ChangeOversampling(on); }); })
        .def("set_payload_limit",
             [](RemoteControl& r, double limit) {
                 const unsigned long v = Unsigned(limit, "set_payload_limit");
                 return r.Run([&] { return r.control_.ChangePayloadLimit(v); });
             })
        .def("set_item_size", [](RemoteControl& r, int bits) {
            if (bits != 16 && bits != 32) throw py::value_error("set_item_size: 16 or 32");
            return r.Run([&] { return r.control_.ChangeDataItemSize(static_cast<unsigned char>(bits)); });
        });
}
