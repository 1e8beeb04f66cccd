// Counts heap allocations (operator new and malloc family) made by this
// process between start() and stop().
#pragma once

#include <cstddef>

namespace kavrol::test {

struct AllocCounter {
    static void start();
    static std::size_t stop();
};

}  // namespace kavrol::test
