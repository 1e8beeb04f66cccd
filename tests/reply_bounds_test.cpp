// Random frames of every reply code for every model code: no layout writes
// past buffer position 316 or record position 417, and models 2 and 9 give
// identical results. The generator is seeded, so every run sees the same
// frames.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "support/byte_compare.h"
#include "support/caller_objects.h"
#include "support/fake_fixture.h"
#include "support/frames.h"

namespace kavrol::test {
namespace {

constexpr unsigned kFramesPerCode = 6;
constexpr std::uint8_t kGuardByte = 0xC9;

class RandomFrames : public FakeHostTest {
protected:
    void SetUp() override { bind(100); }

    std::uint8_t byte() { return static_cast<std::uint8_t>(rng_() & 0xFFU); }

    // A valid frame of random L (5..250), second header byte and payload.
    Bytes frame(std::uint8_t code) {
        const unsigned last = 5 + static_cast<unsigned>(rng_() % 246);
        Bytes payload(last - 5);
        for (auto& b : payload) b = byte();
        return replyFrame(code, rng_() % 2 == 0 ? 0 : byte(), payload, byte());
    }

    // Caller objects of random content, guard bytes after them.
    CallerObjects objects() {
        CallerObjects o;
        o.fill(kGuardByte, kGuardByte);
        for (std::size_t k = 0; k < kBufferSize; ++k) o.buffer[k] = byte();
        for (std::size_t k = 0; k < kRecordSize; ++k) o.record[k] = byte();
        return o;
    }

    std::int32_t receive(const Bytes& f, std::uint32_t model, CallerObjects& o) {
        fake().feed(f.data(), f.size());
        return o.receive(model);
    }

    std::mt19937 rng_{20240611U};
};

std::vector<std::uint32_t> everyModel() {
    std::vector<std::uint32_t> models;
    for (std::uint32_t m = 0; m <= 30; ++m) models.push_back(m);
    models.push_back(0xFFFFFFFFU);
    return models;
}

TEST_F(RandomFrames, NoWriteBeyondTheBufferOrTheRecord) {
    for (std::uint32_t model : everyModel()) {
        for (unsigned code = 0; code <= 255; ++code) {
            for (unsigned n = 0; n < kFramesPerCode; ++n) {
                const Bytes f = frame(static_cast<std::uint8_t>(code));
                CallerObjects o = objects();
                const std::int32_t expected = code >= 247 ? static_cast<std::int32_t>(code) - 259 : 1;
                ASSERT_EQ(receive(f, model, o), expected);
                ASSERT_TRUE(allEqual(o.bufferGuard(), kGuardByte))
                    << "buffer past 316: model " << model << " code " << code << " L " << unsigned{f[1]};
                ASSERT_TRUE(allEqual(o.recordGuard(), kGuardByte))
                    << "record past 417: model " << model << " code " << code << " L " << unsigned{f[1]};
            }
        }
    }
}

TEST_F(RandomFrames, Models2And9GiveIdenticalResults) {
    for (unsigned code = 0; code <= 255; ++code) {
        for (unsigned n = 0; n < kFramesPerCode; ++n) {
            const Bytes f = frame(static_cast<std::uint8_t>(code));
            CallerObjects as2 = objects();
            CallerObjects as9 = as2;
            const CallerObjects before = as2;
            ASSERT_EQ(receive(f, 2, as2), receive(f, 9, as9));
            ASSERT_TRUE(sameBytes(as2.buffer, as9.buffer)) << "code " << code << " L " << unsigned{f[1]};
            ASSERT_TRUE(sameBytes(as2.record, as9.record)) << "code " << code << " L " << unsigned{f[1]};
            // For the codes with a layout the objects do change, so the
            // comparison above is not between two untouched copies.
            if (code == 1 || code == 2 || code == 3 || code == 5 || code == 6) {
                ASSERT_FALSE(sameBytes(before.record, as2.record)) << "code " << code;
            }
        }
    }
}

}  // namespace
}  // namespace kavrol::test
