#pragma once

// Big-endian loads and in-place swaps. Written byte by byte so that they are alignment-safe;
// compilers turn them into single load + bswap instructions and vectorise the loops.

#include <cstddef>
#include <cstdint>

namespace vita49 {

inline std::uint16_t load_be16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

inline std::uint32_t load_be32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

inline std::uint64_t load_be64(const std::uint8_t* p) {
    return (std::uint64_t{load_be32(p)} << 32) | load_be32(p + 4);
}

inline void store_be16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}

inline void store_be32(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 24);
    p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8);
    p[3] = static_cast<std::uint8_t>(v);
}

inline void store_be64(std::uint8_t* p, std::uint64_t v) {
    store_be32(p, static_cast<std::uint32_t>(v >> 32));
    store_be32(p + 4, static_cast<std::uint32_t>(v));
}

inline void store_le16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}

inline void store_le32(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v >> 16);
    p[3] = static_cast<std::uint8_t>(v >> 24);
}

// Exchanges the two bytes of each of the first `count` 16-bit items.
inline void swap16_inplace(std::uint8_t* p, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        std::uint8_t a = p[2 * i];
        p[2 * i] = p[2 * i + 1];
        p[2 * i + 1] = a;
    }
}

// Reverses the four bytes of each of the first `count` 32-bit items.
inline void swap32_inplace(std::uint8_t* p, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        std::uint8_t* q = p + 4 * i;
        std::uint8_t a = q[0], b = q[1];
        q[0] = q[3];
        q[1] = q[2];
        q[2] = b;
        q[3] = a;
    }
}

} // namespace vita49
