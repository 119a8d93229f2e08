#pragma once

// Conversions from the wire's big-endian I/Q items to what a reader asks for. Plain loops that
// the compiler vectorises, built for AVX2 beside the baseline where the compiler can choose at
// run time; one pass over the samples, no intermediate buffer.

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vita49 {

inline std::int16_t LoadBe16(const std::uint8_t* p) {
    return static_cast<std::int16_t>(static_cast<std::uint16_t>((p[0] << 8) | p[1]));
}
inline std::int32_t LoadBe32(const std::uint8_t* p) {
    return static_cast<std::int32_t>((std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) |
                                     (std::uint32_t{p[2]} << 8) | std::uint32_t{p[3]});
}

// Not under the sanitizers: the clones' resolvers run while the program is being loaded, before
// the sanitizer's runtime is ready, and crash there when instrumented.
#if defined(__has_feature)
#if __has_feature(thread_sanitizer) || __has_feature(address_sanitizer)
#define VITA49_CONVERT_SANITIZED 1
#endif
#endif
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
#define VITA49_CONVERT_SANITIZED 1
#endif

#if defined(__GNUC__) && defined(__x86_64__) && defined(__linux__) && !defined(VITA49_CONVERT_SANITIZED)
#define VITA49_CONVERT_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define VITA49_CONVERT_CLONES
#endif

// Internal linkage (static): a clone's resolver is a symbol of its own, which would otherwise
// leave a shared library.

// `items` big-endian components of `itemBytes` (2 or 4) each, to floats scaled to [-1, 1):
// 16-bit / 32768, 32-bit / 2^31. `out` holds `items` floats (I, Q, I, Q, ...).
VITA49_CONVERT_CLONES static inline void ToFloat(const std::uint8_t* in, std::size_t items, unsigned itemBytes,
                                                 float* out) {
    if (itemBytes == 2) {
        constexpr float kScale = 1.0f / 32768.0f;
        for (std::size_t i = 0; i < items; ++i) out[i] = static_cast<float>(LoadBe16(in + 2 * i)) * kScale;
    } else {
        constexpr float kScale = 1.0f / 2147483648.0f;
        for (std::size_t i = 0; i < items; ++i) out[i] = static_cast<float>(LoadBe32(in + 4 * i)) * kScale;
    }
}

// The same items as native integers, unscaled.
VITA49_CONVERT_CLONES static inline void ToInt16(const std::uint8_t* in, std::size_t items, std::int16_t* out) {
    for (std::size_t i = 0; i < items; ++i) out[i] = LoadBe16(in + 2 * i);
}
VITA49_CONVERT_CLONES static inline void ToInt32(const std::uint8_t* in, std::size_t items, unsigned itemBytes,
                                                 std::int32_t* out) {
    if (itemBytes == 2)
        for (std::size_t i = 0; i < items; ++i) out[i] = LoadBe16(in + 2 * i);
    else
        for (std::size_t i = 0; i < items; ++i) out[i] = LoadBe32(in + 4 * i);
}

} // namespace vita49
