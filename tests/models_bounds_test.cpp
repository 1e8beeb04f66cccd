// Properties over random frames: no model writes past the caller's buffer
// or record, and the members of one model group decode alike.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "support/normalized_reply.h"

namespace kavrol::test::layouts {
namespace {

// A valid frame of random length and content; r[3] is 0 half the time.
Bytes randomFrame(std::mt19937& rng, std::uint8_t replyCode) {
    Bytes payload(rng() % 246);
    for (auto& b : payload) b = static_cast<std::uint8_t>(rng());
    const auto header3 = static_cast<std::uint8_t>(rng() % 2 == 0 ? 0 : rng());
    return replyFrame(replyCode, header3, payload);
}

TEST(ModelsBounds, NoWriteBeyondBuffer316OrRecord417) {
    std::mt19937 rng(316);
    std::vector<std::uint32_t> models;
    for (std::uint32_t m = 0; m <= 30; ++m) models.push_back(m);
    models.push_back(0xFFFFFFFFU);
    for (std::uint32_t model : models) {
        for (unsigned code = 0; code <= 255; ++code) {
            for (int n = 0; n < 4; ++n) {
                const Decoded d = decode(model, randomFrame(rng, static_cast<std::uint8_t>(code)));
                SCOPED_TRACE(testing::Message() << "model " << model << ", code " << code);
                for (std::size_t k = kBufferSize; k < d.buffer.size(); ++k)
                    ASSERT_EQ(d.buffer[k], prefill(k, 0xA5)) << "buffer " << k;
                for (std::size_t k = kRecordSize; k < d.record.size(); ++k)
                    ASSERT_EQ(d.record[k], prefill(k, 0xA6)) << "record " << k;
            }
        }
    }
}

struct Group {
    const char* name;
    std::vector<std::uint32_t> models;
};

const Group kGroups[] = {
    {"{2, 9}", {2, 9}},           {"{4, 22}", {4, 22}},
    {"{5, 12, 13}", {5, 12, 13}}, {"{11, 14}", {11, 14}},
    {"{17, 24}", {17, 24}},       {"{3, 10, 15, 16}", {3, 10, 15, 16}},
    {"{7, 20, 21}", {7, 20, 21}}, {"none", {1, 19, 25, 0xFFFFFFFFU}},
};

TEST(ModelsBounds, MembersOfOneGroupDecodeAlike) {
    std::mt19937 rng(9);
    for (const Group& g : kGroups) {
        for (int n = 0; n < 200; ++n) {
            const Bytes frame = randomFrame(rng, static_cast<std::uint8_t>(n % 12));
            const Decoded first = decode(g.models[0], frame);
            for (std::size_t m = 1; m < g.models.size(); ++m) {
                const Decoded other = decode(g.models[m], frame);
                ASSERT_EQ(other.buffer, first.buffer)
                    << g.name << ": model " << g.models[m] << ", code " << int(frame[2]);
                ASSERT_EQ(other.record, first.record) << g.name << ": model " << g.models[m];
            }
        }
    }
}

// Models 3, 10, 15, 16 differ from 7, 20, 21 only in the low seven bits of
// out 66 (record byte 66, code3Bytes[2]) of reply code 3 when r[3] = 0.
TEST(ModelsBounds, ThresholdModelsDifferOnlyInOut66) {
    std::mt19937 rng(66);
    unsigned differed = 0;
    for (int n = 0; n < 400; ++n) {
        Bytes frame = randomFrame(rng, static_cast<std::uint8_t>(n % 10));
        const Decoded plain = decode(7, frame);
        const Decoded stepped = decode(3, frame);
        const bool stepTaken = frame[2] == 3 && frame[3] == 0;
        for (std::size_t k = 0; k < plain.buffer.size(); ++k) {
            const unsigned mask = stepTaken && k == 66 ? 0x80 : 0xFF;
            ASSERT_EQ(plain.buffer[k] & mask, stepped.buffer[k] & mask) << "code " << int(frame[2]) << ", out " << k;
        }
        for (std::size_t k = 0; k < plain.record.size(); ++k) {
            const unsigned mask = stepTaken && k == 66 ? 0x80 : 0xFF;
            ASSERT_EQ(plain.record[k] & mask, stepped.record[k] & mask) << "record " << k;
        }
        if (plain.buffer[66] != stepped.buffer[66]) ++differed;
    }
    EXPECT_GT(differed, 0U);
}

}  // namespace
}  // namespace kavrol::test::layouts
