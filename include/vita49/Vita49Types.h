#pragma once

/// \file
/// Result codes, connection types and the plain records that cross the library boundary.
/// Every record is plain data: the receiver fills them on its thread and hands them to the
/// callbacks by const reference, valid for the duration of the call.

#include <cstdint>

#include "vita49/Export.h"

/// Result of every operation that can fail. Errors start at 180, not at 1.
enum RETURN_CODE : std::int32_t {
    RC_OK = 0,
    /// A socket call failed (create, option, bind, listen, accept, connect, send, receive,
    /// wait, close, multicast join), or a wait on a socket without a handle.
    RC_SOCKET_ERROR = 180,
    /// The readiness wait expired (readable for receive and accept, writable for connect).
    RC_TIMEOUT = 181,
    /// Unknown connection type, negative length, over-long datagram, mismatching destination,
    /// or an argument that the command channel cannot carry.
    RC_INVALID_ARGUMENT = 182,
    /// The connection is not in a state for the operation, or an address does not resolve.
    RC_CONNECTION_ERROR = 183,
};

/// The enumerator's name ("RC_OK", "RC_TIMEOUT", ...), or "RC_UNKNOWN" for a value outside
/// the enum. The text is static: never freed, valid for the life of the program.
VITA49_API const char* Vita49ReturnCodeName(RETURN_CODE code);

/// How the data stream reaches this host. The names are also the texts sent to the instrument.
/// Values below 2 (compared unsigned) are the TCP types.
enum CONNECTION_TYPE : std::int32_t {
    TCP_SERVER = 0,      ///< this host listens on tcpPort; the instrument connects
    TCP_CLIENT = 1,      ///< this host connects to remoteAddress:tcpPort
    UDP_SINGLECAST = 2,  ///< datagrams to localAddress:udpPort
    UDP_MULTICAST = 3,   ///< as UDP_SINGLECAST, and the group remoteAddress is joined
    CONNECTION_NONE = 4, ///< no socket
};

/// Connection settings shared by the receiver and the remote control. No constructor: the
/// caller sets every field. Texts hold at most 49 characters and a terminating NUL.
struct VITA49_API Vita49_Base_Settings {
    std::int32_t connectionType;  ///< a CONNECTION_TYPE; only 0 to 3 are valid
    std::uint16_t tcpPort;        ///< listen port (TCP_SERVER) or instrument port (TCP_CLIENT)
    std::uint16_t udpPort;        ///< local UDP port; 0 lets the system choose
    char remoteAddress[50];       ///< instrument host name or dotted IPv4; multicast group
    char localAddress[50];        ///< this host's address as the instrument is to see it
    std::uint32_t streamId;       ///< stream identifier of the data stream
};

/// Byte-order and recording choices of the receiver. No constructor.
struct VITA49_API Vita49_Receiver_Settings {
    std::uint8_t dataBigEndian;        ///< with convertDataByteOrder: 1 big-endian, 0 little-endian
    std::uint8_t convertDataByteOrder; ///< non-zero: bring samples to dataBigEndian's order
    std::uint8_t rawFileBigEndian;     ///< 1: raw file in wire order; otherwise little-endian
    char rawFilePath[100];             ///< raw payload file; empty: no raw recording
    std::uint8_t wavIntegerSamples;    ///< non-zero: integer WAV samples; 0: 32-bit float
    char wavFilePath[100];             ///< WAV file; empty: no WAV recording
};

/// Receiver statistics since Open, first argument of every callback but connection error.
struct VITA49_API Vita49_Info {
    std::uint64_t bytesReceived; ///< every byte delivered by the connection, dropped ones too
    std::uint64_t dataBytes;     ///< IF data payload bytes plus spectrum trace bytes
    std::uint64_t contextBytes;  ///< IF context sections plus extension context payloads
    std::uint64_t dataErrors;    ///< data count discontinuities plus sample-loss packets
    std::uint64_t contextErrors; ///< context count discontinuities
};

/// The latest IF data packet of the configured stream.
struct VITA49_API Vita49_Data {
    std::uint32_t packetsReceived;
    std::uint32_t packetsLost;
    std::uint8_t packetCount;
    bool streamIdValid;
    std::uint32_t streamId;
    bool intTimestampValid;
    std::uint32_t intTimestamp;
    bool fracTimestampValid;
    std::uint64_t fracTimestamp;
    std::uint32_t payloadValid;  ///< 1 when the samples were located
    std::uint32_t payloadOffset; ///< first sample, bytes from the packet start
    std::uint32_t payloadSize;   ///< sample bytes, trailer excluded
    bool calibratedTimeEnabled;
    bool calibratedTime;
    bool validDataEnabled;
    bool validData;
    std::uint32_t invalidDataPackets;
    bool overRangeEnabled;
    bool overRange;
    std::uint32_t overRangePackets;
    bool referenceLockEnabled;
    bool referenceLock;
    std::uint32_t unlockedPackets;
    bool sampleLossEnabled;
    bool sampleLoss;
    std::uint32_t sampleLossPackets;
    bool contextCountEnabled;
    std::uint8_t contextCount;
    std::uint32_t contextCountPackets;
    const std::uint8_t* packet; ///< the packet inside the receive buffer, valid during the call
};

/// The latest IF context packet of the configured stream. Every optional value is a flag,
/// rewritten by each packet, followed by a value that changes only when the packet carried it.
struct VITA49_API Vita49_Context {
    std::uint32_t packetsReceived;
    std::uint32_t packetsLost;
    std::uint8_t packetCount;
    bool streamIdValid;
    std::uint32_t streamId;
    bool intTimestampValid;
    std::uint32_t intTimestamp;
    bool fracTimestampValid;
    std::uint64_t fracTimestamp;
    std::uint32_t payloadValid;  ///< 1 when the context section was located
    std::uint32_t payloadOffset; ///< offset of the context indicator word
    std::uint32_t payloadSize;   ///< bytes from there to the packet end
    bool bandwidthValid;
    double bandwidthHz;
    bool referenceLevelValid;
    double referenceLevelDbm;
    bool sampleRateValid;
    double sampleRateHz;
    bool rfReferenceFrequencyValid;
    double rfReferenceFrequencyHz;
    bool payloadFormatValid;
    std::uint8_t itemPackingFieldSize; ///< bits
    std::uint8_t dataItemSize;         ///< bits; 16 and 32 are converted and recorded
    bool gpsValid;
    std::uint32_t gpsIntTimestamp;
    std::uint64_t gpsFracTimestamp;
    double gpsLatitudeDeg;
    double gpsLongitudeDeg;
    double gpsAltitudeM;
    double gpsSpeedMps;
    double gpsTrackAngleDeg;
    double gpsMagneticVariationDeg;
    bool reserved1Valid; ///< never set by the receiver
    std::uint64_t reserved1;
    bool reserved2Valid;
    std::uint64_t reserved2;
    bool reserved3Valid;
    std::uint64_t reserved3;
    bool reserved4Valid;
    std::uint32_t reserved4;

    /// Clears the reserved flags only; the receiver's own record is zeroed by Open.
    Vita49_Context() : reserved1Valid(false), reserved2Valid(false), reserved3Valid(false), reserved4Valid(false) {}
};

/// The latest spectrum extension context packet of the configured stream.
struct VITA49_API Vita49_FFTContext {
    std::uint32_t packetsReceived;
    std::uint32_t packetsLost;
    std::uint8_t packetCount;
    bool streamIdValid;
    std::uint32_t streamId;
    bool intTimestampValid;
    std::uint32_t intTimestamp;
    bool fracTimestampValid;
    std::uint64_t fracTimestamp;
    std::uint32_t payloadValid;
    std::uint32_t payloadOffset;
    std::uint32_t payloadSize;
    bool spectrumParam1Valid;
    double spectrumParam1Hz;
    bool spectrumParam2Valid;
    double spectrumParam2Hz;
    bool spectrumParam3Valid;
    double spectrumParam3Hz;
    bool spectrumParam4Valid;
    std::uint32_t spectrumParam4;

    Vita49_FFTContext()
        : spectrumParam1Valid(false), spectrumParam2Valid(false), spectrumParam3Valid(false),
          spectrumParam4Valid(false) {}
};

/// The latest spectrum extension data packet (one trace) of the configured stream. Laid out
/// as Vita49_Data, followed by the trace identifiers seen since Open. payloadSize is the trace
/// length in bytes; payloadOffset is never set.
struct VITA49_API Vita49_FFTData {
    std::uint32_t packetsReceived;
    std::uint32_t packetsLost;
    std::uint8_t packetCount;
    bool streamIdValid;
    std::uint32_t streamId;
    bool intTimestampValid;
    std::uint32_t intTimestamp;
    bool fracTimestampValid;
    std::uint64_t fracTimestamp;
    std::uint32_t payloadValid;
    std::uint32_t payloadOffset;
    std::uint32_t payloadSize;
    bool calibratedTimeEnabled;
    bool calibratedTime;
    bool validDataEnabled;
    bool validData;
    std::uint32_t invalidDataPackets;
    bool overRangeEnabled;
    bool overRange;
    std::uint32_t overRangePackets;
    bool referenceLockEnabled;
    bool referenceLock;
    std::uint32_t unlockedPackets;
    bool sampleLossEnabled;
    bool sampleLoss;
    std::uint32_t sampleLossPackets;
    bool contextCountEnabled;
    std::uint8_t contextCount;
    std::uint32_t contextCountPackets;
    const std::uint8_t* packet;
    bool traceIdsValid;           ///< set once a spectrum header has been read
    std::uint16_t traceIds[8];    ///< first eight identifiers seen, in order; 0 = unused slot

    Vita49_FFTData() : traceIds{} {}
};
