#pragma once

// Helpers shared by the fuzz targets: a reader that takes control values from the front of
// the input, and a check that fails the run loudly (libFuzzer keeps the input as a crash).

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace vita49::fuzz {

class FuzzInput {
public:
    FuzzInput(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    std::size_t Remaining() const { return size_ - pos_; }
    const std::uint8_t* Current() const { return data_ + pos_; }

    // 0 once the input is used up.
    std::uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    std::uint16_t U16() {
        const std::uint16_t high = Byte();
        return static_cast<std::uint16_t>((high << 8) | Byte());
    }
    // Up to `count` bytes; `got` tells how many there were.
    const std::uint8_t* Take(std::size_t count, std::size_t& got) {
        got = count < Remaining() ? count : Remaining();
        const std::uint8_t* p = data_ + pos_;
        pos_ += got;
        return p;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

[[noreturn]] inline void CheckFailed(const char* what, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: broken invariant: %s\n", file, line, what);
    std::abort();
}

} // namespace vita49::fuzz

#define FUZZ_CHECK(condition)                                                                                  \
    do {                                                                                                       \
        if (!(condition)) ::vita49::fuzz::CheckFailed(#condition, __FILE__, __LINE__);                         \
    } while (0)
