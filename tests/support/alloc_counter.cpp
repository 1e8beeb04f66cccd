#include "support/alloc_counter.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
std::atomic<bool> g_counting{false};
std::atomic<std::size_t> g_count{0};

void note() {
    if (g_counting.load(std::memory_order_relaxed)) g_count.fetch_add(1, std::memory_order_relaxed);
}

void* allocate(std::size_t n) noexcept {
    note();
    return std::malloc(n == 0 ? 1 : n);
}

void* allocateAligned(std::size_t n, std::align_val_t al) noexcept {
    note();
    const auto a = static_cast<std::size_t>(al);
    // aligned_alloc wants a size that is a multiple of the alignment.
    const std::size_t rounded = ((n == 0 ? 1 : n) + a - 1) / a * a;
    return std::aligned_alloc(a, rounded);
}

void* orThrow(void* p) {
    if (p == nullptr) throw std::bad_alloc();
    return p;
}
}  // namespace

namespace kavrol::test {
void AllocCounter::start() {
    g_count = 0;
    g_counting = true;
}
std::size_t AllocCounter::stop() {
    g_counting = false;
    return g_count.load();
}
}  // namespace kavrol::test

// Replacements of every global allocation and deallocation function, so that
// no form falls back to the runtime's own pair (which would mismatch ours).
void* operator new(std::size_t n) { return orThrow(allocate(n)); }
void* operator new[](std::size_t n) { return orThrow(allocate(n)); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return allocate(n); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return allocate(n); }
void* operator new(std::size_t n, std::align_val_t a) { return orThrow(allocateAligned(n, a)); }
void* operator new[](std::size_t n, std::align_val_t a) { return orThrow(allocateAligned(n, a)); }
void* operator new(std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept { return allocateAligned(n, a); }
void* operator new[](std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
    return allocateAligned(n, a);
}

void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
