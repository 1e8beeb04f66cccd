// Whole transfers on a pty pair: what the device-side helpers and the
// benchmarks' peers rely on.
#include <gtest/gtest.h>

#include <cstdint>
#include <thread>
#include <vector>

#include "pty/pty_pair.h"

namespace kavrol::pty {
namespace {

// More than a pty buffers, so that both loops must go round.
std::vector<std::uint8_t> block(std::size_t n) {
    std::vector<std::uint8_t> b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i * 7 + i / 256);
    return b;
}

TEST(PtyWhole, ABlockLargerThanTheBufferArrivesWholeAndInOrder) {
    PtyPair pair;
    const std::vector<std::uint8_t> sent = block(100000);
    std::vector<std::uint8_t> got(sent.size());
    bool read = false;
    std::thread reader([&] { read = readWhole(pair.port(), got.data(), got.size()); });
    EXPECT_TRUE(writeWhole(pair.device(), sent.data(), sent.size()));
    reader.join();
    EXPECT_TRUE(read);
    EXPECT_EQ(got, sent);
}

TEST(PtyWhole, ReadingFailsWhenTheOtherEndGoesFirst) {
    PtyPair pair;
    const std::uint8_t some[3] = {1, 2, 3};
    ASSERT_TRUE(writeWhole(pair.device(), some, sizeof some));
    pair.closeDevice();
    std::uint8_t dest[8] = {};
    EXPECT_FALSE(readWhole(pair.port(), dest, sizeof dest));
    EXPECT_FALSE(writeWhole(-1, some, sizeof some));
}

}  // namespace
}  // namespace kavrol::pty
