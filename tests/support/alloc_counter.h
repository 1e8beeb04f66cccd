// Counts heap allocations made through any form of operator new (plain,
// array, nothrow, aligned) by this process between start() and stop().
//
// The replacements allocate with malloc/aligned_alloc and release with free,
// so they pair consistently under AddressSanitizer. C allocation calls are
// not counted here; the library's objects are checked for references to
// them instead (tests/soak/no_alloc_symbols.cmake).
#pragma once

#include <cstddef>

namespace kavrol::test {

struct AllocCounter {
    static void start();
    static std::size_t stop();
};

}  // namespace kavrol::test
