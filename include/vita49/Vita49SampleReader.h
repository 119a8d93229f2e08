#pragma once

/// \file
/// Vita49SampleReader: a sample buffer between a receiver's (or decoder's) callbacks and a
/// reader that wants the IQ samples as a continuous stream, in counts of its own choosing,
/// converted to floats or native integers, with the losses and timestamps that lie in them.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "vita49/Export.h"
#include "vita49/Vita49Types.h"

/// Sample buffer of one IQ stream.
///
/// The writer (the thread running a Vita49Receiver's or Vita49Decoder's callbacks) hands it
/// every context and data packet through OnContext and OnData; the samples (16- or 32-bit
/// items) are copied in as they arrived. They must reach the callbacks in wire order
/// (big-endian): leave convertDataByteOrder at 0 in the receiver's settings, or set
/// dataBigEndian with it. The reader takes them with Read, or with Take, CopyOut and Finish
/// when it must size its output after learning what came. When the reader
/// falls behind, the oldest samples are dropped and counted; every discontinuity (lost
/// packets, a sample-loss trailer, a packet whose samples could not be taken, dropped samples)
/// is reported at the index of the first sample after it.
///
/// One writer thread and one reader thread at a time; Reset and Close may be called while no
/// write runs. Not copyable.
class VITA49_API Vita49SampleReader {
public:
    using Clock = std::chrono::steady_clock;

    /// Output formats: interleaved I/Q. CF32 is scaled to [-1, 1) (16-bit items / 2^15,
    /// 32-bit items / 2^31); CS16 and CS32 are the items unscaled in native byte order.
    enum Format { CF32 = 0, CS16 = 1, CS32 = 2 };

    enum class Status {
        Ready,    ///< samples are described by the Block
        TimedOut, ///< fewer than the minimum came before the deadline
        Closed,   ///< Close was called (or the reader was never reset since)
        Failed,   ///< Fail was called: the stream has ended
    };

    /// What one read covers.
    struct Block {
        std::size_t samples = 0;       ///< samples in the block
        std::uint64_t firstSample = 0; ///< index of its first sample since Reset
        bool wide = false;             ///< some of its samples came as 32-bit items
        /// Indices into the block of the samples that a discontinuity lies before, ascending.
        std::vector<std::uint64_t> gaps;
        /// Time of the first sample, from the latest packet at or before it whose integer
        /// (UTC seconds) and fractional (picoseconds) timestamps were both present, advanced by
        /// the samples since then at the latest context's sample rate (when one is known).
        bool timeValid = false;
        std::uint32_t seconds = 0;
        std::uint64_t picoseconds = 0; ///< below 10^12
        double sampleRateHz = 0;       ///< of the latest context; 0 when none came
    };

    struct Counters {
        std::uint64_t received = 0;    ///< samples written: read, dropped or buffered
        std::uint64_t overflow = 0;    ///< samples dropped for want of room
        std::uint64_t buffered = 0;    ///< samples waiting to be read
        std::uint64_t capacityBytes = 0;
        bool allocationFailed = false; ///< a larger buffer could not be had; the old one is used
    };

    /// Room for up to `bufferSeconds` of the stream at its sample rate beside the read being
    /// waited for, at least 4 MiB. It starts smaller and grows only while the reader lags.
    /// The reader starts closed: reads return Closed until the first Reset.
    explicit Vita49SampleReader(double bufferSeconds);
    ~Vita49SampleReader();

    Vita49SampleReader(const Vita49SampleReader&) = delete;
    Vita49SampleReader& operator=(const Vita49SampleReader&) = delete;

    // --- Writer side.
    /// Learns the sample rate (sizing the buffer, advancing timestamps).
    void OnContext(const Vita49_Context& context);
    /// Appends the packet's samples when its payload was located and the context says 16- or
    /// 32-bit items; otherwise marks a gap.
    void OnData(const Vita49_Context& context, const Vita49_Data& data);
    /// The stream ended (connection lost): a read that cannot be satisfied returns Failed.
    void Fail();

    // --- Open and close, while no write runs.
    /// Empties the buffer and clears the counters and the loss tracking, keeping its memory;
    /// waits for a block being read to be finished first. Reads work again.
    void Reset();
    /// Wakes a waiting read, which returns Closed; reads return Closed until Reset.
    void Close();

    // --- Reader side.
    /// Waits until at least `minimum` (at least 1) samples are buffered, or until `until`,
    /// Close or Fail. Ready: `block` describes the first min(buffered, maximum) of them, and
    /// they stay reserved until Finish. Nothing is reserved otherwise.
    Status Take(std::size_t minimum, std::size_t maximum, Clock::time_point until, Block& block);
    /// Converts the first `samples` of the reserved block into `target` (2 * samples values of
    /// the format; CS16 of a wide block is refused, nothing written). \return false if refused.
    bool CopyOut(Format format, std::size_t samples, void* target) const;
    /// Ends the reservation; the first `consumed` samples of the block leave the buffer, the
    /// rest stay for the next read.
    void Finish(std::size_t consumed);
    /// Take of exactly `samples`, CopyOut and Finish in one. CS16 of a block with 32-bit items
    /// is refused as Failed, and nothing is taken.
    Status Read(Format format, std::size_t samples, Clock::time_point until, void* target, Block& block);

    Counters Snapshot() const;

    /// Converts `samples` big-endian I/Q pairs of `itemBytes` (2 or 4) per component, as they
    /// arrive in a data packet, to `format` (CS16 only from 2-byte items).
    static void Convert(const std::uint8_t* bigEndian, std::size_t samples, unsigned itemBytes, Format format,
                        void* target);

    class Impl;

private:
    std::unique_ptr<Impl> impl_;
};
