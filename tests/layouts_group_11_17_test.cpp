// Reply code 3 of model groups {11, 14} and {17, 24}: built bytes, value
// maps and the code3Longs slots, on the buffer and on the record.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "support/normalized_reply.h"

namespace kavrol::test::layouts {
namespace {

constexpr std::uint32_t kGroup11_14[] = {11, 14};
constexpr std::uint32_t kGroup17_24[] = {17, 24};

struct LongSource {
    unsigned index, first, last;
};

void expectLongs(const ReplyRecord& rec, const std::vector<LongSource>& table) {
    for (const LongSource& s : table)
        EXPECT_EQ(rec.code3Longs[s.index], tagsOf(s.first, s.last)) << "code3Longs[" << s.index << "]";
}

// The parts of code 3 that both groups lay out alike.
void expectCommonCode3(const Decoded& d, unsigned firstUnwrittenLong) {
    const ReplyRecord rec = d.fields();
    for (unsigned i = 0; i < 4; ++i) EXPECT_EQ(rec.code3Words[i], tag(6 + i)) << i;  // r[6..9] widened
    for (unsigned i = 4; i < 32; ++i) EXPECT_EQ(rec.code3Words[i], 0) << i;
    EXPECT_EQ(rec.code3QuadA[2], 0);
    EXPECT_EQ(rec.code3QuadA[3], 0);
    for (unsigned i = 0; i < 4; ++i) EXPECT_EQ(rec.code3QuadB[i], 0);
    for (unsigned i = 0; i < 8; ++i) EXPECT_EQ(rec.code3Words2[i], 0);
    for (unsigned i = 0; i < 4; ++i) EXPECT_EQ(rec.code3QuadC[i], 0);
    // The slots after the layout come from the caller's buffer.
    const unsigned k = 117 + 4 * firstUnwrittenLong;
    EXPECT_EQ(rec.code3Longs[firstUnwrittenLong], d.u32(k));
    EXPECT_EQ(d.buffer[k], prefill(k, 0xA5));
}

TEST(Group17_24, Code3InRecordTerms) {
    const std::vector<LongSource> longs = {
        {0, 14, 17},  {1, 18, 21},  {2, 24, 24},  {3, 25, 25},  {4, 26, 29},  {5, 30, 33},  {6, 34, 34},  {7, 35, 35},
        {8, 36, 37},  {9, 38, 38},  {10, 40, 41}, {11, 42, 42}, {12, 43, 46}, {13, 53, 53}, {14, 54, 54}, {15, 55, 55},
        {16, 56, 56}, {17, 57, 57}, {18, 58, 58}, {19, 59, 59}, {20, 62, 65}, {21, 66, 66}, {22, 67, 67}, {23, 68, 71},
        {24, 72, 75}, {25, 76, 76}, {26, 77, 77}, {27, 78, 78}, {28, 79, 79}, {29, 80, 80},
    };
    for (std::uint32_t model : kGroup17_24) {
        SCOPED_TRACE(model);
        const Decoded d = decode(model, 3, 1, taggedPayload(90));
        expectCommonCode3(d, 30);
        const ReplyRecord rec = d.fields();
        EXPECT_EQ(rec.code3Bytes[0], d.buffer[64]);
        EXPECT_EQ(rec.code3Bytes[1], d.buffer[65]);
        for (unsigned i = 2; i < 25; ++i) EXPECT_EQ(rec.code3Bytes[i], 0) << i;
        EXPECT_EQ(rec.code3QuadA[0], d.buffer[89]);
        EXPECT_EQ(rec.code3QuadA[1], d.buffer[90]);
        expectLongs(rec, longs);
    }
}

TEST(Group17_24, Code3BuildsBytes) {
    struct Case {
        const char* what;
        std::vector<std::pair<unsigned, std::uint8_t>> sources;  // the other sources are 0
        unsigned out;
        std::uint8_t expected;
    };
    const std::vector<Case> cases = {
        {"r[10] bits 1..3, r[22] bits 6, 0..3", {{10, 14}, {22, 79}}, 64, 255},
        {"out 65 sources zero", {{10, 14}, {22, 79}}, 65, 0},
        {"r[10] bit 0 unused", {{10, 1}, {22, 16}, {39, 128}, {51, 3}, {60, 4}, {61, 1}}, 64, 0},
        {"out 65 all bits", {{10, 1}, {22, 16}, {39, 128}, {51, 3}, {60, 4}, {61, 1}}, 65, 63},
        {"r[39] = 1 counts as non-zero", {{22, 16}, {39, 1}, {51, 3}, {60, 4}, {61, 1}}, 65, 63},
        {"r[39] = 0", {{22, 16}, {39, 0}, {51, 3}, {60, 4}, {61, 1}}, 65, 61},
        {"out 65 ignores other bits", {{22, 0xEF}, {51, 0xFC}, {60, 0xFB}, {61, 0xFE}}, 65, 0},
        {"out 89", {{12, 255}, {13, 16}, {47, 1}, {49, 134}}, 89, 255},
        {"out 89 bit 7 is r[13] bit 4, not r[12] bit 7", {{12, 255}}, 89, 127},
        {"out 90", {{12, 255}, {13, 16}, {47, 1}, {49, 134}}, 90, 15},
        {"out 90 ignores other bits", {{47, 0xFE}, {49, 0x79}}, 90, 0},
    };
    for (std::uint32_t model : kGroup17_24) {
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << "model " << model << ": " << c.what);
            Bytes payload(90 - 5, 0);
            for (const auto& [j, v] : c.sources) payload[j - 6] = v;
            const Decoded d = decode(model, 3, 1, payload);
            EXPECT_EQ(d.buffer[c.out], c.expected);
            const ReplyRecord rec = d.fields();
            EXPECT_EQ(c.out < 89 ? rec.code3Bytes[c.out - 64] : rec.code3QuadA[c.out - 89], c.expected);
        }
    }
}

TEST(Group11_14, Code3InRecordTerms) {
    const std::vector<LongSource> longs = {
        {0, 16, 19},  {1, 20, 23},  {2, 14, 14},  {3, 15, 15},  {4, 28, 31},  {9, 33, 36},
        {10, 37, 37}, {15, 39, 42}, {16, 43, 43}, {17, 44, 47}, {18, 48, 51}, {19, 52, 55},
        {20, 56, 56}, {21, 57, 57}, {22, 59, 62}, {23, 63, 63}, {24, 64, 64}, {25, 65, 65},
    };
    for (std::uint32_t model : kGroup11_14) {
        SCOPED_TRACE(model);
        // r[32] = 157 and r[38] = 106 feed the bit and map slots.
        const Decoded d = decode(model, 3, 1, taggedPayload(90, {{32, 157}, {38, 106}}));
        expectCommonCode3(d, 26);
        const ReplyRecord rec = d.fields();
        EXPECT_EQ(rec.code3Bytes[0], d.buffer[64]);
        EXPECT_EQ(rec.code3Bytes[1], d.buffer[65]);
        for (unsigned i = 2; i <= 4; ++i) EXPECT_EQ(rec.code3Bytes[i], tag(61 + i)) << i;  // r[63..65]
        for (unsigned i = 5; i < 25; ++i) EXPECT_EQ(rec.code3Bytes[i], 0) << i;
        EXPECT_EQ(rec.code3QuadA[0], d.buffer[89]);
        EXPECT_EQ(rec.code3QuadA[1], d.buffer[90]);
        expectLongs(rec, longs);
        const std::uint32_t coded[] = {1, 4, 0, 1, 0, 3, 1, 2};  // slots 5..8 and 11..14
        for (unsigned i = 0; i < 4; ++i) {
            EXPECT_EQ(rec.code3Longs[5 + i], coded[i]) << 5 + i;
            EXPECT_EQ(rec.code3Longs[11 + i], coded[4 + i]) << 11 + i;
        }
    }
}

TEST(Group11_14, Code3BuildsBytes) {
    struct Case {
        std::vector<std::pair<unsigned, std::uint8_t>> sources;  // the other sources are 0
        std::uint8_t out64, out65, out89, out90;
    };
    const Case cases[] = {
        {{{10, 255}, {11, 128}, {24, 255}, {58, 1}, {12, 255}, {13, 16}, {26, 255}}, 255, 191, 127, 127},
        {{{10, 60}, {11, 127}, {24, 5}, {58, 1}}, 172, 160, 0, 0},
        {{{58, 254}, {12, 192}, {13, 239}, {26, 128}}, 0, 0, 0, 0},
        // out 89 bit 6 is r[13] bit 4, not r[12] bit 4.
        {{{12, 16}}, 0, 0, 16, 0},
    };
    for (std::uint32_t model : kGroup11_14) {
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << "model " << model << ", out64 " << int(c.out64));
            Bytes payload(70 - 5, 0);
            for (const auto& [j, v] : c.sources) payload[j - 6] = v;
            const Decoded d = decode(model, 3, 1, payload);
            EXPECT_EQ(d.buffer[64], c.out64);
            EXPECT_EQ(d.buffer[65], c.out65);
            EXPECT_EQ(d.buffer[89], c.out89);
            EXPECT_EQ(d.buffer[90], c.out90);
        }
    }
}

// Every bit of r[6..89], set alone, lands where the row comments of the
// built bytes out 64, 65, 89 and 90 say, and nowhere else among them.
struct BitRoute {
    unsigned src, srcBit, out, outBit;  // srcBit 8: any bit of the byte (non-zero test)
};

void expectBitRoutes(const std::uint32_t (&models)[2], const std::vector<BitRoute>& routes) {
    constexpr unsigned kBuilt[] = {64, 65, 89, 90};
    for (std::uint32_t model : models) {
        for (unsigned j = 6; j <= 89; ++j) {
            for (unsigned b = 0; b < 8; ++b) {
                Bytes payload(90 - 5, 0);
                payload[j - 6] = static_cast<std::uint8_t>(1U << b);
                const Decoded d = decode(model, 3, 1, payload);
                for (unsigned out : kBuilt) {
                    unsigned want = 0;
                    for (const BitRoute& r : routes) {
                        if (r.src == j && r.out == out && (r.srcBit == b || r.srcBit == 8)) want |= 1U << r.outBit;
                    }
                    EXPECT_EQ(d.buffer[out], want)
                        << "model " << model << ", r[" << j << "] bit " << b << ", out " << out;
                }
            }
        }
    }
}

TEST(Group17_24, Code3BuiltBytesTakeEachSourceBitFromItsPlace) {
    std::vector<BitRoute> routes = {
        {10, 1, 64, 0}, {10, 2, 64, 1}, {10, 3, 64, 2}, {22, 6, 64, 3}, {22, 0, 64, 4}, {22, 1, 64, 5}, {22, 2, 64, 6},
        {22, 3, 64, 7}, {22, 4, 65, 0}, {39, 8, 65, 1}, {51, 0, 65, 2}, {51, 1, 65, 3}, {60, 2, 65, 4}, {61, 0, 65, 5},
        {13, 4, 89, 7}, {47, 0, 90, 0}, {49, 1, 90, 1}, {49, 2, 90, 2}, {49, 7, 90, 3},
    };
    for (unsigned b = 0; b < 7; ++b) routes.push_back({12, b, 89, b});
    expectBitRoutes(kGroup17_24, routes);
}

TEST(Group11_14, Code3BuiltBytesTakeEachSourceBitFromItsPlace) {
    std::vector<BitRoute> routes = {
        {11, 7, 64, 4}, {24, 0, 64, 5}, {24, 1, 64, 6}, {24, 2, 64, 7}, {58, 0, 65, 5}, {24, 0, 65, 7}, {13, 4, 89, 6},
    };
    for (unsigned b = 0; b < 4; ++b) routes.push_back({10, b, 64, b});
    for (unsigned b = 3; b < 8; ++b) routes.push_back({24, b, 65, b - 3});
    for (unsigned b = 0; b < 6; ++b) routes.push_back({12, b, 89, b});
    for (unsigned b = 0; b < 7; ++b) routes.push_back({26, b, 90, b});
    expectBitRoutes(kGroup11_14, routes);
}

// r[32] and r[38] go through the same value maps, for every byte value.
TEST(Group11_14, Code3ValueMaps) {
    struct Example {
        std::uint8_t value, bit7, a, b, c;
    };
    for (const Example& x : {Example{157, 1, 4, 0, 1}, {106, 0, 3, 1, 2}, {0, 0, 0, 0, 3}, {255, 1, 0, 0, 0}}) {
        const Decoded d = decode(11, 3, 1, taggedPayload(70, {{32, x.value}}));
        EXPECT_EQ((std::vector<int>{d.buffer[137], d.buffer[141], d.buffer[145], d.buffer[149]}),
                  (std::vector<int>{x.bit7, x.a, x.b, x.c}))
            << "r[32] = " << int(x.value);
    }
    const std::uint8_t mapA[8] = {0, 4, 2, 0, 1, 0, 3, 0};  // 1->4, 2->2, 4->1, 6->3
    const std::uint8_t mapB[4] = {0, 2, 1, 0};              // 1->2, 2->1
    const std::uint8_t mapC[4] = {3, 1, 2, 0};              // 0->3, 1->1, 2->2, 3->0
    for (unsigned v = 0; v < 256; ++v) {
        const auto byte = static_cast<std::uint8_t>(v);
        const std::uint8_t expected[4] = {static_cast<std::uint8_t>(v >> 7), mapA[(v >> 4) & 7], mapB[(v >> 2) & 3],
                                          mapC[v & 3]};
        const Decoded d = decode(11, 3, 1, taggedPayload(70, {{32, byte}, {38, static_cast<std::uint8_t>(255 - v)}}));
        const Decoded e = decode(14, 3, 1, taggedPayload(70, {{38, byte}}));
        for (unsigned i = 0; i < 4; ++i) {
            EXPECT_EQ(d.buffer[137 + 4 * i], expected[i]) << "r[32] = " << v << ", out " << 137 + 4 * i;
            EXPECT_EQ(e.buffer[161 + 4 * i], expected[i]) << "r[38] = " << v << ", out " << 161 + 4 * i;
        }
    }
}

}  // namespace
}  // namespace kavrol::test::layouts
