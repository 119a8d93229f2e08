#include "vita49/ContextFields.h"

#include <cstddef>
#include <iterator>
#include <utility>

#include "vita49/ByteOrder.h"
#include "vita49/PacketLayout.h"
#include "vita49/Vita49Types.h"

namespace vita49 {
namespace {

// Conversions, each from the first byte of its field.
double FrequencyAt(const std::uint8_t* p) { return FixedPointHz(load_be64(p)); }

double Signed22(const std::uint8_t* p) { return static_cast<std::int32_t>(load_be32(p)) * (1.0 / 4194304.0); }

VITA49_ALWAYS_INLINE void StoreGps(const std::uint8_t* g, Vita49_Context& r) {
    r.gpsIntTimestamp = load_be32(g + 4);
    r.gpsFracTimestamp = load_be64(g + 8);
    r.gpsLatitudeDeg = Signed22(g + 16);
    r.gpsLongitudeDeg = Signed22(g + 20);
    r.gpsAltitudeM = static_cast<std::int32_t>(load_be32(g + 24)) * 0.03125;
    r.gpsSpeedMps = load_be32(g + 28) * (1.0 / 65536.0);
    r.gpsTrackAngleDeg = Signed22(g + 36);
    r.gpsMagneticVariationDeg = Signed22(g + 40);
}

// One CIF0 field: its indicator bit, its bytes and, when the receiver decodes it, the
// record's validity flag and the conversion that stores its value.
struct Cif0Field {
    unsigned bit;
    std::uint32_t bytes;
    bool Vita49_Context::*valid = nullptr; // null: only counted, so that the fields behind it are found
    void (*store)(const std::uint8_t* field, Vita49_Context& record) = nullptr;
};

// Every field that can lie in front of a decoded one, in packet order. The walk of a whole
// packet and each single field reader both work from these rows.
constexpr Cif0Field kCif0Fields[] = {
    {30, 4},  // reference point identifier
    {kCifBandwidth, 8, &Vita49_Context::bandwidthValid,
     [](const std::uint8_t* f, Vita49_Context& r) { r.bandwidthHz = FrequencyAt(f); }},
    {28, 8},  // IF reference frequency
    {kCifRfReferenceFrequency, 8, &Vita49_Context::rfReferenceFrequencyValid,
     [](const std::uint8_t* f, Vita49_Context& r) { r.rfReferenceFrequencyHz = FrequencyAt(f); }},
    {26, 8},  // RF reference frequency offset
    {25, 8},  // IF band offset
    {kCifReferenceLevel, 4, &Vita49_Context::referenceLevelValid,
     [](const std::uint8_t* f, Vita49_Context& r) {
         r.referenceLevelDbm = static_cast<std::int16_t>(load_be16(f + 2)) * 0.0078125; // lower half, 2^-7 dB
     }},
    {23, 4},  // gain
    {22, 4},  // over-range count
    {kCifSampleRate, 8, &Vita49_Context::sampleRateValid,
     [](const std::uint8_t* f, Vita49_Context& r) { r.sampleRateHz = FrequencyAt(f); }},
    {20, 8},  // timestamp adjustment
    {19, 4},  // timestamp calibration time
    {18, 4},  // temperature
    {17, 8},  // device identifier
    {16, 4},  // state and event indicators
    {kCifPayloadFormat, 8, &Vita49_Context::payloadFormatValid,
     [](const std::uint8_t* f, Vita49_Context& r) {
         const std::uint16_t w = load_be16(f + 2);
         r.dataItemSize = static_cast<std::uint8_t>((w & 0x3F) + 1);
         r.itemPackingFieldSize = static_cast<std::uint8_t>(((w >> 6) & 0x3F) + 1);
     }},
    {kCifFormattedGps, 44, &Vita49_Context::gpsValid, StoreGps},
};
constexpr std::size_t kRows = std::size(kCif0Fields);

constexpr bool RowsInPacketOrder() {
    for (std::size_t i = 0; i < kRows; ++i) {
        const Cif0Field& row = kCif0Fields[i];
        if (row.bit != 30 - i || row.bytes % 4 != 0 || row.bytes / 4 > 15) return false;
    }
    return true;
}
// Every bit from 30 down to the last decoded field has its row (a missing one would shift
// every field behind it), and sizes are whole words of at most 15 (see FieldBytesOf).
static_assert(RowsInPacketOrder(), "one row per CIF0 bit from 30 down, in order");

// Index of the row of `bit`, or kRows when there is none.
constexpr std::size_t RowOf(unsigned bit) {
    for (std::size_t i = 0; i < kRows; ++i)
        if (kCif0Fields[i].bit == bit) return i;
    return kRows;
}

// CIF0 bits that have a row.
constexpr std::uint32_t kRowBits = [] {
    std::uint32_t bits = 0;
    for (const Cif0Field& row : kCif0Fields) bits |= 1u << row.bit;
    return bits;
}();
static_assert((kRowBits & ((1u << kCifIndicatorWord1) | (1u << kCifIndicatorWord2) | (1u << kCifIndicatorWord3) |
                            (1u << kCifFieldAttributes))) == 0,
              "the indicator bits of VITA 49.2 announce no field");

// CIF0 bits of the fields whose size in words has binary digit `digit` set.
constexpr std::uint32_t WordDigitBits(unsigned digit) {
    std::uint32_t bits = 0;
    for (const Cif0Field& row : kCif0Fields)
        if (((row.bytes / 4) >> digit) & 1u) bits |= 1u << row.bit;
    return bits;
}

// Without a popcount instruction in the target (the x86-64 baseline has none) the builtin
// becomes a library call, several times the cost of the whole decoder; the bit-parallel sum
// is a dozen plain instructions everywhere.
VITA49_ALWAYS_INLINE int PopCount(std::uint32_t v) {
#if defined(__POPCNT__) || (defined(__aarch64__) && (defined(__GNUC__) || defined(__clang__)))
    return __builtin_popcount(v);
#else
    v = v - ((v >> 1) & 0x55555555u);
    v = (v & 0x33333333u) + ((v >> 2) & 0x33333333u);
    return static_cast<int>((((v + (v >> 4)) & 0x0F0F0F0Fu) * 0x01010101u) >> 24);
#endif
}

// Bytes of the fields whose bits are set in `bits`: their word counts summed binary digit by
// binary digit, a few population counts instead of a walk over the rows.
VITA49_ALWAYS_INLINE std::uint32_t FieldBytesOf(std::uint32_t bits) {
    constexpr std::uint32_t one = WordDigitBits(0), two = WordDigitBits(1), four = WordDigitBits(2),
                            eight = WordDigitBits(3);
    return 4 * PopCount(bits & one) + 8 * PopCount(bits & two) + 16 * PopCount(bits & four) +
           32 * PopCount(bits & eight);
}

// The context section's indicator word and where its first field lies; 0 when no field can
// be placed: CIF0 does not lie within the packet, or the fields carry attributes.
struct Indicators {
    std::uint32_t cif0 = 0;
    std::uint32_t firstField = 0;
};

// Bytes of the indicator words after CIF0, in front of the first field. Every context packet
// waits for this sum, so it is one look-up: entry v (two bits at bit 2v, v being CIF0 bits
// 3..1) holds the number of bits set in v.
static_assert(kCifIndicatorWord1 == 1 && kCifIndicatorWord2 == 2 && kCifIndicatorWord3 == 3, "bits 3..1");
VITA49_ALWAYS_INLINE std::uint32_t IndicatorWordBytes(std::uint32_t cif0) {
    constexpr std::uint32_t kBitsSet = (0u << 0) | (1u << 2) | (1u << 4) | (2u << 6) | (1u << 8) | (2u << 10) |
                                       (2u << 12) | (3u << 14);
    return 4 * ((kBitsSet >> (cif0 & 0x0Eu)) & 3u);
}

VITA49_ALWAYS_INLINE Indicators ReadIndicators(const std::uint8_t* packet, std::uint32_t length) {
    Indicators in;
    if (length < kHeaderBytes) return in;
    // Context packets always carry a stream identifier.
    const std::uint32_t section = LayoutOf(load_be32(packet), true).payloadAt;
    if (section + 4 > length) return in;
    const std::uint32_t cif0 = load_be32(packet + section);
    if ((cif0 >> kCifFieldAttributes) & 1u) return in;
    in.cif0 = cif0;
    in.firstField = section + 4 + IndicatorWordBytes(cif0);
    return in;
}

// A field found at `offset` (0: not announced) is decoded only when all its bytes fit.
VITA49_ALWAYS_INLINE bool Fits(std::uint32_t offset, std::uint32_t size, std::uint32_t length) {
    return offset != 0 && std::uint64_t{offset} + size <= length;
}

VITA49_ALWAYS_INLINE std::uint32_t OffsetOf(const Indicators& in, unsigned bit) {
    if (in.firstField == 0 || bit > 31 || ((kRowBits & in.cif0) >> bit & 1u) == 0) return 0;
    return in.firstField + FieldBytesOf(in.cif0 & ~((2u << bit) - 1u));
}

// The row of `Bit` applied to this packet alone, as the walk applies it, into `scratch`.
template <unsigned Bit>
bool ReadRow(const std::uint8_t* packet, std::uint32_t length, Vita49_Context& scratch) {
    constexpr Cif0Field row = kCif0Fields[RowOf(Bit)];
    static_assert(row.store != nullptr, "a decoded field");
    const std::uint32_t at = OffsetOf(ReadIndicators(packet, length), Bit);
    if (!Fits(at, row.bytes, length)) return false;
    row.store(packet + at, scratch);
    return true;
}

// Validity flag and, when the field fits, its value: every decoded row in turn.
template <std::size_t... I>
VITA49_ALWAYS_INLINE void StoreRows(const std::uint8_t* packet, std::uint32_t length, const std::uint32_t (&at)[kRows],
                                    Vita49_Context& r, std::index_sequence<I...>) {
    const auto storeRow = [&](auto index) {
        constexpr Cif0Field row = kCif0Fields[decltype(index)::value];
        if constexpr (row.valid != nullptr) {
            const bool fits = Fits(at[decltype(index)::value], row.bytes, length);
            r.*row.valid = fits;
            if (fits) row.store(packet + at[decltype(index)::value], r);
        }
    };
    (storeRow(std::integral_constant<std::size_t, I>{}), ...);
}

} // namespace

std::uint32_t ContextFieldOffset(const std::uint8_t* packet, std::uint32_t length, unsigned bit) {
    return OffsetOf(ReadIndicators(packet, length), bit);
}

bool ReadBandwidth(const std::uint8_t* packet, std::uint32_t length, double& hz) {
    Vita49_Context r;
    if (!ReadRow<kCifBandwidth>(packet, length, r)) return false;
    hz = r.bandwidthHz;
    return true;
}

bool ReadRfReferenceFrequency(const std::uint8_t* packet, std::uint32_t length, double& hz) {
    Vita49_Context r;
    if (!ReadRow<kCifRfReferenceFrequency>(packet, length, r)) return false;
    hz = r.rfReferenceFrequencyHz;
    return true;
}

bool ReadReferenceLevel(const std::uint8_t* packet, std::uint32_t length, double& dbm) {
    Vita49_Context r;
    if (!ReadRow<kCifReferenceLevel>(packet, length, r)) return false;
    dbm = r.referenceLevelDbm;
    return true;
}

bool ReadSampleRate(const std::uint8_t* packet, std::uint32_t length, double& hz) {
    Vita49_Context r;
    if (!ReadRow<kCifSampleRate>(packet, length, r)) return false;
    hz = r.sampleRateHz;
    return true;
}

bool ReadPayloadFormat(const std::uint8_t* packet, std::uint32_t length, std::uint8_t& itemPackingFieldSize,
                       std::uint8_t& dataItemSize) {
    Vita49_Context r;
    if (!ReadRow<kCifPayloadFormat>(packet, length, r)) return false;
    itemPackingFieldSize = r.itemPackingFieldSize;
    dataItemSize = r.dataItemSize;
    return true;
}

bool ReadFormattedGps(const std::uint8_t* packet, std::uint32_t length, std::uint32_t& intTimestamp,
                      std::uint64_t& fracTimestamp, double& latitudeDeg, double& longitudeDeg, double& altitudeM,
                      double& speedMps, double& trackAngleDeg, double& magneticVariationDeg) {
    Vita49_Context r;
    if (!ReadRow<kCifFormattedGps>(packet, length, r)) return false;
    intTimestamp = r.gpsIntTimestamp;
    fracTimestamp = r.gpsFracTimestamp;
    latitudeDeg = r.gpsLatitudeDeg;
    longitudeDeg = r.gpsLongitudeDeg;
    altitudeM = r.gpsAltitudeM;
    speedMps = r.gpsSpeedMps;
    trackAngleDeg = r.gpsTrackAngleDeg;
    magneticVariationDeg = r.gpsMagneticVariationDeg;
    return true;
}

void DecodeContextFields(const std::uint8_t* packet, std::uint32_t length, Vita49_Context& r) {
    r.payloadValid = LocateContextPayload(packet, length, r.payloadOffset, r.payloadSize) ? 1 : 0;

    // Each reader alone sums the fields in front of its own; for the whole packet one walk
    // over the rows places every field.
    const Indicators in = ReadIndicators(packet, length);
    std::uint32_t at[kRows] = {};
    if (in.firstField != 0) {
        std::uint32_t next = in.firstField;
#if defined(__GNUC__) || defined(__clang__)
#pragma GCC unroll 32
#endif
        for (std::size_t i = 0; i < kRows; ++i) {
            if ((in.cif0 >> kCif0Fields[i].bit) & 1u) {
                at[i] = next;
                next += kCif0Fields[i].bytes;
            }
        }
    }
    StoreRows(packet, length, at, r, std::make_index_sequence<kRows>{});
}

} // namespace vita49
