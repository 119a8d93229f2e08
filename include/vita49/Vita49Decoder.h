#pragma once

/// \file
/// Vita49Decoder: the receiver's decoding without a socket. Bytes that an application read
/// from a capture, a file or a transport of its own are pushed in; the same records, counters,
/// callbacks and recordings come out as from a Vita49Receiver that received those bytes.

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "vita49/Export.h"
#include "vita49/Vita49Types.h"

/// Decoder of one VITA 49 stream, fed by the caller.
///
/// Use: Init, the callback setters (and SetSigMFRecording), Open; then PushDatagram or
/// PushBytes as the stream's bytes become available; Close. The callbacks run inside the push
/// call, on the caller's thread; the records and sample pointers they get are valid during the
/// call only. Init and the setters belong to the closed state. Not copyable; one object is used
/// by one thread at a time.
class VITA49_API Vita49Decoder {
public:
    class Vita49DecoderImpl;

    /// Constructs a closed decoder.
    Vita49Decoder();
    /// Destroys the decoder; an open decoder is closed first (recordings finished).
    virtual ~Vita49Decoder();

    Vita49Decoder(const Vita49Decoder&) = delete;
    Vita49Decoder& operator=(const Vita49Decoder&) = delete;

    /// Copies both records. Of the base settings only streamId (the stream to accept) and
    /// connectionType matter: TCP_SERVER and TCP_CLIENT select byte-stream framing (PushBytes),
    /// the UDP types datagram framing (PushDatagram). No check.
    void Init(const Vita49_Base_Settings& baseSettings, const Vita49_Receiver_Settings& receiverSettings);

    /// Resets the statistics and records and truncates and opens the recordings named in the
    /// settings, as Vita49Receiver::Open does. A recording that cannot be opened does not fail
    /// Open; RecordingError tells. \return RC_OK; RC_INVALID_ARGUMENT for a connection type
    /// outside 0 to 3; RC_CONNECTION_ERROR when already open.
    RETURN_CODE Open();

    /// Finishes the recordings. Statistics stay readable through the last callback's copies.
    /// \return RC_OK (also when nothing was open).
    RETURN_CODE Close();

    /// One datagram, as a UDP receive would deliver it (datagram framing).
    /// \return RC_OK; RC_INVALID_ARGUMENT when not open, when the framing is byte-stream, or
    /// for a null pointer with a non-zero size.
    RETURN_CODE PushDatagram(const void* bytes, std::size_t size);

    /// The next bytes of a byte stream, split anywhere (byte-stream framing).
    /// \return RC_OK; RC_INVALID_ARGUMENT when not open, when the framing is datagram, or for a
    /// null pointer with a non-zero size.
    RETURN_CODE PushBytes(const void* bytes, std::size_t size);

    /// Called with the statistics for a packet of another stream and for dropped bytes.
    void SetInfoCallback(const std::function<void(const Vita49_Info&)>& callback);
    /// Called for every IF context packet of the configured stream.
    void SetContextCallback(const std::function<void(const Vita49_Info&, const Vita49_Context&)>& callback);
    /// Called for every IF data packet with the latest context.
    void SetDataCallback(
        const std::function<void(const Vita49_Info&, const Vita49_Context&, const Vita49_Data&)>& callback);
    /// Called for every spectrum data packet with the displayed trace's buffer.
    void SetFFTDataCallback(const std::function<void(const Vita49_Info&, const Vita49_FFTContext&,
                                                     const Vita49_FFTData&, float*)>& callback);
    /// Called for every spectrum context packet of the configured stream.
    void SetFFTContextCallback(const std::function<void(const Vita49_Info&, const Vita49_FFTContext&)>& callback);
    /// Selects the spectrum trace copied into the spectrum buffer. Default 1.
    void SetDisplayedTrace(unsigned short trace);

    /// Records the IQ samples as SigMF: Open creates basePath + ".sigmf-data" and
    /// basePath + ".sigmf-meta". Null or an empty text switches it off (the default).
    /// Belongs to the closed state.
    void SetSigMFRecording(const char* basePath);

    /// The first failure of a recording since Open (a file that could not be opened or
    /// written, with the system's reason; a pipe that took nothing for 2 s ends its
    /// recording), then the packets and bytes each file lost by it, as a short text; empty
    /// when none. The recordings are written inside the push: nothing is dropped for speed.
    std::string RecordingError() const;

private:
    std::unique_ptr<Vita49DecoderImpl> impl_;
};
