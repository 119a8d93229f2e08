#pragma once

// Counts the heap allocations of the whole program while a CountAllocations object is
// counting, for tests that show a code path allocates nothing.
//
// Include this header from exactly one source file of a test program: it replaces the
// program's global operator new and delete (every form, so that no allocation or release
// ends up in another implementation). The C allocation functions are counted as well:
// on glibc by replacing malloc, calloc, realloc and the aligned forms with counting
// forwarders to glibc's own, and under AddressSanitizer or ThreadSanitizer, whose allocator
// owns malloc, through the sanitizer's allocation hook. Elsewhere only operator new is
// counted, and MallocCounted() says so.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define VITA49_TEST_SANITIZED_MALLOC 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VITA49_TEST_SANITIZED_MALLOC 1
#endif

#if !defined(VITA49_TEST_SANITIZED_MALLOC) && defined(__GLIBC__)
#define VITA49_TEST_GLIBC_MALLOC 1
#endif

#if defined(VITA49_TEST_SANITIZED_MALLOC)
// Part of the sanitizer runtimes' interface (sanitizer/allocator_interface.h, which not
// every compiler installs).
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*)(const volatile void*, std::size_t),
                                                         void (*)(const volatile void*));
#endif

namespace vita49::test {

namespace allocation_detail {
inline std::atomic<bool> counting{false};
inline std::atomic<std::uint64_t> news{0};
inline std::atomic<std::uint64_t> mallocs{0};

inline void CountNew() {
    if (counting.load(std::memory_order_relaxed)) news.fetch_add(1, std::memory_order_relaxed);
}
inline void CountMalloc() {
    if (counting.load(std::memory_order_relaxed)) mallocs.fetch_add(1, std::memory_order_relaxed);
}

inline void* New(std::size_t size) {
    CountNew();
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
inline void* NewAligned(std::size_t size, std::align_val_t align) {
    CountNew();
    const auto a = static_cast<std::size_t>(align);
    // aligned_alloc wants a size that is a multiple of the alignment.
    if (void* p = std::aligned_alloc(a, (size + a - 1) / a * a + (size == 0 ? a : 0))) return p;
    throw std::bad_alloc();
}

#if defined(VITA49_TEST_SANITIZED_MALLOC)
inline void OnSanitizerMalloc(const volatile void*, std::size_t) { CountMalloc(); }
inline void OnSanitizerFree(const volatile void*) {}
// The runtime takes the pair only: a null free hook makes it refuse both.
static const bool hookInstalled = __sanitizer_install_malloc_and_free_hooks(OnSanitizerMalloc, OnSanitizerFree) != 0;
#endif
} // namespace allocation_detail

// Whether the C allocation functions are counted in this build.
inline bool MallocCounted() {
#if defined(VITA49_TEST_SANITIZED_MALLOC)
    return allocation_detail::hookInstalled;
#elif defined(VITA49_TEST_GLIBC_MALLOC)
    return true;
#else
    return false;
#endif
}

// Counts allocations from construction until Stop() or destruction, in every thread.
class CountAllocations {
public:
    CountAllocations() {
        allocation_detail::news.store(0);
        allocation_detail::mallocs.store(0);
        allocation_detail::counting.store(true);
    }
    ~CountAllocations() { Stop(); }
    CountAllocations(const CountAllocations&) = delete;
    CountAllocations& operator=(const CountAllocations&) = delete;

    void Stop() { allocation_detail::counting.store(false); }
    // operator new calls, and C allocation calls (including those behind operator new where
    // the sanitizer's hook sees both).
    std::uint64_t News() const { return allocation_detail::news.load(); }
    std::uint64_t Mallocs() const { return allocation_detail::mallocs.load(); }
};

} // namespace vita49::test

// --- Replacements ---------------------------------------------------------------------------

void* operator new(std::size_t size) { return vita49::test::allocation_detail::New(size); }
void* operator new[](std::size_t size) { return vita49::test::allocation_detail::New(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return vita49::test::allocation_detail::New(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return vita49::test::allocation_detail::New(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new(std::size_t size, std::align_val_t align) {
    return vita49::test::allocation_detail::NewAligned(size, align);
}
void* operator new[](std::size_t size, std::align_val_t align) {
    return vita49::test::allocation_detail::NewAligned(size, align);
}
void* operator new(std::size_t size, std::align_val_t align, const std::nothrow_t&) noexcept {
    try {
        return vita49::test::allocation_detail::NewAligned(size, align);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, std::align_val_t align, const std::nothrow_t&) noexcept {
    try {
        return vita49::test::allocation_detail::NewAligned(size, align);
    } catch (...) {
        return nullptr;
    }
}

void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }

#if defined(VITA49_TEST_GLIBC_MALLOC)

// glibc's own entry points, which its malloc, calloc and realloc forward to as well.
extern "C" {
void* __libc_malloc(std::size_t) noexcept;
void* __libc_calloc(std::size_t, std::size_t) noexcept;
void* __libc_realloc(void*, std::size_t) noexcept;
void* __libc_memalign(std::size_t, std::size_t) noexcept;

void* malloc(std::size_t size) noexcept {
    vita49::test::allocation_detail::CountMalloc();
    return __libc_malloc(size);
}
void* calloc(std::size_t count, std::size_t size) noexcept {
    vita49::test::allocation_detail::CountMalloc();
    return __libc_calloc(count, size);
}
void* realloc(void* p, std::size_t size) noexcept {
    vita49::test::allocation_detail::CountMalloc();
    return __libc_realloc(p, size);
}
void* aligned_alloc(std::size_t align, std::size_t size) noexcept {
    vita49::test::allocation_detail::CountMalloc();
    return __libc_memalign(align, size);
}
void* memalign(std::size_t align, std::size_t size) noexcept {
    vita49::test::allocation_detail::CountMalloc();
    return __libc_memalign(align, size);
}
int posix_memalign(void** out, std::size_t align, std::size_t size) noexcept {
    vita49::test::allocation_detail::CountMalloc();
    if (align < sizeof(void*) || (align & (align - 1)) != 0) return 22; // EINVAL
    void* p = __libc_memalign(align, size);
    if (p == nullptr) return 12; // ENOMEM
    *out = p;
    return 0;
}
}

#endif
