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

// Replacements of the global allocation functions: every C++ allocation in
// the process goes through here.
void* operator new(std::size_t n) {
    note();
    if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return operator new(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
