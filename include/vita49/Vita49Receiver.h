#pragma once

/// \file
/// Vita49Receiver: receives an instrument's VITA 49 stream over TCP or UDP, decodes it and
/// hands every packet of the configured stream to the application's callbacks.

#include <functional>
#include <memory>
#include <string>

#include "vita49/Export.h"
#include "vita49/Vita49Types.h"

/// Receiver of one VITA 49 stream.
///
/// Use: Init, the callback setters, Open; the callbacks run on the receiver's own thread until
/// Close. Init and the setters belong to the closed state: the receive thread reads the settings
/// and callbacks without locks. SetDisplayedTrace may be called at any time. A callback must
/// not call Open, Close, Init or a setter of the same receiver. Not copyable.
class VITA49_API Vita49Receiver {
public:
    class Vita49ReceiverImpl;

    /// Constructs a closed receiver; the first receiver or remote control of the process
    /// starts the platform's socket library.
    Vita49Receiver();
    /// Destroys the receiver. An open receiver is closed first (thread joined, connection
    /// closed, WAV header completed).
    virtual ~Vita49Receiver();

    Vita49Receiver(const Vita49Receiver&) = delete;
    Vita49Receiver& operator=(const Vita49Receiver&) = delete;

    /// Copies both records; they are used by the next Open and by the receive thread. No check.
    void Init(const Vita49_Base_Settings& baseSettings, const Vita49_Receiver_Settings& receiverSettings);

    /// Opens the data connection of the configured type, truncates and opens the recording
    /// files named in the settings, resets the statistics and records, and starts the receive
    /// thread. The first connection attempt waits at most 100 ms; the thread keeps trying.
    /// \return RC_OK; RC_INVALID_ARGUMENT for an unknown connection type; RC_CONNECTION_ERROR
    /// when already open or an address does not resolve; RC_SOCKET_ERROR when a socket call
    /// fails. On failure nothing else happens (no file is touched, no thread started).
    RETURN_CODE Open();

    /// Stops and joins the receive thread (within one 500 ms receive cycle), closes the
    /// connection, lets the recordings' writer thread write what it still holds (at most 2 s
    /// more; what is left then is counted in RecordingError) and finishes the recording files.
    /// Statistics stay readable through the last callback's copies. \return RC_OK (also when
    /// nothing was open) or RC_SOCKET_ERROR; a recording failure shows in RecordingError.
    RETURN_CODE Close();

    /// Called with the statistics for a packet of another stream and for dropped bytes.
    void SetInfoCallback(const std::function<void(const Vita49_Info&)>& callback);
    /// Called for every IF context packet of the configured stream.
    void SetContextCallback(const std::function<void(const Vita49_Info&, const Vita49_Context&)>& callback);
    /// Called for every IF data packet with the latest context. Samples are at
    /// data.packet + data.payloadOffset, data.payloadSize bytes, valid during the call.
    void SetDataCallback(
        const std::function<void(const Vita49_Info&, const Vita49_Context&, const Vita49_Data&)>& callback);
    /// Called for every spectrum data packet with the latest spectrum context and the
    /// displayed trace's buffer (payloadSize / 4 floats; null before the first such packet).
    void SetFFTDataCallback(
        const std::function<void(const Vita49_Info&, const Vita49_FFTContext&, const Vita49_FFTData&, float*)>&
            callback);
    /// Called for every spectrum context packet of the configured stream.
    void SetFFTContextCallback(const std::function<void(const Vita49_Info&, const Vita49_FFTContext&)>& callback);
    /// Called once when the connection is lost; the receive thread then ends and the
    /// application closes (and may reopen) the receiver.
    void SetConnectionErrorCallback(const std::function<void()>& callback);

    /// Selects the spectrum trace whose values are copied into the spectrum buffer; takes
    /// effect with the next spectrum data packet. Safe while the receiver runs. Default 1.
    void SetDisplayedTrace(unsigned short trace);

    /// Records the IQ samples as SigMF beside the raw and WAV recordings: Open creates (and
    /// truncates) basePath + ".sigmf-data" and basePath + ".sigmf-meta", Close finishes them.
    /// Null or an empty text switches it off (the default). Belongs to the closed state.
    void SetSigMFRecording(const char* basePath);

    /// The first failure of a recording since Open: a raw, WAV or SigMF file that could not be
    /// opened or written, with the system's reason (Open still succeeds without that
    /// recording; a file that fails later stops there, its header or meta file describing what
    /// it holds). Then, per file, the packets and bytes left out of it: the receive thread
    /// never waits for a file, so what the file (a slow disk, a pipe whose reader pauses)
    /// could not take in time is dropped from the recording, never from the callbacks. A short
    /// text; empty when none. Safe while the receiver runs.
    std::string RecordingError() const;

private:
    std::unique_ptr<Vita49ReceiverImpl> impl_;
};
