#pragma once

/// \file
/// Vita49RemoteControl: sets the instrument's VITA 49 stream up over its TCP command channel
/// (port 5300) with SCPI-style command lines.

#include <cstdint>
#include <memory>
#include <string>

#include "vita49/Export.h"
#include "vita49/Vita49Types.h"

/// Command channel to one instrument.
///
/// Use: Init, Open, InitVita49Streaming (and any Change operation), StartVita49Stream; at the
/// end StopVita49Stream and Close. Every operation runs on the caller's thread and blocks at
/// most for its connect (100 ms) or response (3000 ms) time-out; no thread is started. In any
/// state but connected, the command operations return RC_CONNECTION_ERROR and send nothing.
/// After RC_SOCKET_ERROR the channel is broken: Close, then Open again. Not copyable; one
/// object is used by one thread at a time.
class VITA49_API Vita49RemoteControl {
public:
    class Vita49RemoteControlImpl;

    Vita49RemoteControl();
    /// Closes a channel that is still open.
    virtual ~Vita49RemoteControl();

    Vita49RemoteControl(const Vita49RemoteControl&) = delete;
    Vita49RemoteControl& operator=(const Vita49RemoteControl&) = delete;

    /// Copies the settings. remoteAddress is used by the next Open, the other fields by each
    /// command operation when it runs.
    void Init(const Vita49_Base_Settings& settings);

    /// Connects to port 5300 of remoteAddress within 100 ms.
    /// \return RC_OK; RC_TIMEOUT when the port does not accept in time; RC_SOCKET_ERROR;
    /// RC_CONNECTION_ERROR when already open (also after a failed connect: Close first) or
    /// when the name does not resolve (the object then stays closed).
    RETURN_CODE Open();

    /// Delivers every command already sent, then closes the channel. The stream is not
    /// stopped. \return RC_OK, RC_SOCKET_ERROR, or RC_CONNECTION_ERROR when not open.
    RETURN_CODE Close();

    /// Selects or creates the real-time streaming task and the VITA 49 IQ stream (two list
    /// queries, 3000 ms each), selects stream 1 and sends the stream's identifier, connection
    /// type, destination address (localAddress) and port from the settings.
    /// \return RC_OK or the code of the first failing step; RC_INVALID_ARGUMENT, before
    /// anything is sent, when localAddress holds a line end or a single quote.
    RETURN_CODE InitVita49Streaming();

    /// Opens the stream connection on the instrument: streaming starts.
    RETURN_CODE StartVita49Stream();
    /// Closes the stream connection on the instrument.
    RETURN_CODE StopVita49Stream();

    /// Tuning frequency in Hz. \return RC_INVALID_ARGUMENT, sending nothing, above 2^32-1.
    RETURN_CODE ChangeTune(unsigned long frequencyHz);
    /// CBW in Hz. \return RC_INVALID_ARGUMENT, sending nothing, above 2^32-1.
    RETURN_CODE ChangeCBW(unsigned long bandwidthHz);
    /// Tuning frequency in Hz, the full 64-bit value: the same command as ChangeTune for
    /// instruments that tune above 4.29 GHz. The instrument checks its own range.
    RETURN_CODE ChangeTuneHz(std::uint64_t frequencyHz);
    /// CBW in Hz, the full 64-bit value: the same command as ChangeCBW.
    RETURN_CODE ChangeCBWHz(std::uint64_t bandwidthHz);
    /// Oversampling on or off.
    RETURN_CODE ChangeOversampling(bool enable);
    /// Payload limit (no unit). \return RC_INVALID_ARGUMENT, sending nothing, above 2^32-1.
    RETURN_CODE ChangePayloadLimit(unsigned long limit);
    /// 32 selects I32Q32 samples; every other value selects I16Q16.
    RETURN_CODE ChangeDataItemSize(unsigned char bits);

    /// Asks "*IDN?" and gives the instrument's identity line, without its line end.
    /// The answers still owed to earlier queries (InitVita49Streaming leaves those of its add
    /// queries unread) are read and dropped first, waiting at most 3000 ms for them; then one
    /// answer of at most 1024 bytes is read within 3000 ms, as for the list queries, and its
    /// first line is taken. The string is changed only on RC_OK.
    /// \return RC_OK; RC_TIMEOUT when no answer came within 3000 ms: the instrument does not
    /// know the query, and the channel stays usable (a late answer that has arrived by the
    /// next one-line query is dropped there); RC_CONNECTION_ERROR when not open or when
    /// the instrument has ended its sending direction (no answer can follow); RC_SOCKET_ERROR
    /// when the channel broke.
    RETURN_CODE Identify(std::string& identity);
    /// Asks "SYSTem:ERRor?" and gives the oldest entry of the instrument's error queue, which
    /// the query removes: "<code>,\"<text>\"", and "0,\"No error\"" once the queue is empty.
    /// Call it until the code is 0 to read every entry. \return as Identify.
    RETURN_CODE ReadError(std::string& entry);

private:
    std::unique_ptr<Vita49RemoteControlImpl> impl_;
};
