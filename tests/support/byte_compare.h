// Byte-for-byte comparison that names the first differing positions.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <span>

namespace kavrol::test {

inline ::testing::AssertionResult sameBytes(std::span<const std::uint8_t> expected,
                                            std::span<const std::uint8_t> actual) {
    if (expected.size() != actual.size()) {
        return ::testing::AssertionFailure() << "sizes differ: " << expected.size() << " vs " << actual.size();
    }
    auto failure = ::testing::AssertionFailure();
    std::size_t shown = 0;
    std::size_t differing = 0;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        if (expected[i] == actual[i]) continue;
        if (shown < 8) {
            failure << "[" << i << "] expected " << unsigned{expected[i]} << " got " << unsigned{actual[i]} << "; ";
            ++shown;
        }
        ++differing;
    }
    if (differing == 0) return ::testing::AssertionSuccess();
    return failure << differing << " byte(s) differ";
}

}  // namespace kavrol::test
