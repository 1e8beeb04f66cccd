// Normalization of model groups {0}, {2, 9}, {23}, the shared layouts and the
// models without normalization, through MuxReceiveComm on the fake host.
// Each layout is written out below as its table rows; the test holds the
// whole caller buffer and record against them, so positions a table does not
// name must keep the caller's bytes.
#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "support/byte_compare.h"
#include "support/caller_objects.h"
#include "support/fake_fixture.h"
#include "support/frames.h"
#include "support/record_map.h"

namespace kavrol::test {
namespace {

// One table row of one byte: out[out] <- source.
struct Put {
    enum class From : std::uint8_t { Byte, Zero, Bit, NonZero };
    From from;
    unsigned out;
    unsigned src = 0;
    unsigned bit = 0;
};
using Table = std::vector<Put>;

Table rows(std::initializer_list<Table> parts) {
    Table all;
    for (const Table& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}
// out k <- r[j]
Table r(unsigned out, unsigned src) { return {{Put::From::Byte, out, src}}; }
// out a..b <- r[j..j+b-a]
Table r(unsigned outFirst, unsigned outLast, unsigned srcFirst) {
    Table s;
    for (unsigned k = outFirst; k <= outLast; ++k) s.push_back({Put::From::Byte, k, srcFirst + k - outFirst});
    return s;
}
Table zero(unsigned outFirst, unsigned outLast) {
    Table s;
    for (unsigned k = outFirst; k <= outLast; ++k) s.push_back({Put::From::Zero, k});
    return s;
}
Table zero(unsigned out) { return zero(out, out); }
Table bitOf(unsigned out, unsigned src, unsigned i) { return {{Put::From::Bit, out, src, i}}; }
Table nonZero(unsigned out, unsigned src) { return {{Put::From::NonZero, out, src}}; }

// The tables, as functions of L (only the reply-code-9 table depends on it).
Table shared1(unsigned) { return rows({r(0, 6), zero(1), r(2, 7), zero(3), r(4, 7, 8)}); }
Table shared2(unsigned) {
    Table s = rows({nonZero(0, 7), zero(1)});
    for (unsigned i = 0; i < 8; ++i) s = rows({s, bitOf(2 + 2 * i, 6, i), zero(3 + 2 * i)});
    return s;
}
Table shared5(unsigned) {
    return rows({r(0, 1, 8), r(2, 3, 18), zero(4, 7), r(8, 9, 10), r(10, 11, 20), r(12, 13, 14), r(14, 24), r(15, 26),
                 r(16, 17, 12), r(18, 19, 22)});
}
Table shared6(unsigned) {
    return rows({r(0, 6),   zero(1),   r(2, 7),   zero(3),   r(4, 13),  zero(5),       r(6, 20),
                 zero(7),   r(8, 14),  zero(9),   r(10, 21), zero(11),  r(12, 13, 15), r(14, 15, 22),
                 r(16, 12), zero(17),  r(18, 19), zero(19),  r(20, 11), zero(21),      r(22, 18),
                 zero(23),  r(24, 10), zero(25),  r(26, 17), zero(27),  r(28, 9),      r(29, 8)});
}
Table shared8(unsigned) { return rows({r(0, 6), zero(1)}); }
Table shared9(unsigned last) { return last < 6 ? zero(0) : rows({r(0, last - 6, 6), zero(last - 5)}); }
Table group2_9Code3(unsigned) { return rows({zero(0, 63), r(64, 76, 6), zero(77, 96)}); }
Table group23Code3(unsigned) {
    return rows({r(0, 15, 6), zero(16, 63), r(64, 22), r(89, 23), r(97, 100, 24), r(117, 127, 28)});
}

using TableOf = Table (*)(unsigned last);

struct LayoutCase {
    std::string name;
    std::vector<std::uint32_t> models;
    std::uint8_t replyCode;
    TableOf table;  // null: the buffer is left untouched
};

const std::vector<std::uint32_t> kGroup0 = {0};
const std::vector<std::uint32_t> kGroup2_9 = {2, 9};
const std::vector<std::uint32_t> kGroup23 = {23};
const std::vector<std::uint32_t> kNoNormalization = {1, 19, 25, 30, 0x80000000U, 0xFFFFFFFFU};

std::vector<LayoutCase> layoutCases() {
    std::vector<LayoutCase> cases = {
        {"Group0Code1", kGroup0, 1, shared1},        {"Group0Code8", kGroup0, 8, shared8},
        {"Group0Code9", kGroup0, 9, shared9},        {"Group2_9Code1", kGroup2_9, 1, shared1},
        {"Group2_9Code2", kGroup2_9, 2, shared2},    {"Group2_9Code3", kGroup2_9, 3, group2_9Code3},
        {"Group2_9Code5", kGroup2_9, 5, shared5},    {"Group2_9Code6", kGroup2_9, 6, shared6},
        {"Group2_9Code8", kGroup2_9, 8, shared8},    {"Group2_9Code9", kGroup2_9, 9, shared9},
        {"Group23Code1", kGroup23, 1, shared1},      {"Group23Code2", kGroup23, 2, shared2},
        {"Group23Code3", kGroup23, 3, group23Code3}, {"Group23Code5", kGroup23, 5, shared5},
        {"Group23Code6", kGroup23, 6, shared6},      {"Group23Code8", kGroup23, 8, shared8},
        {"Group23Code9", kGroup23, 9, shared9},
    };
    for (std::uint8_t code : std::initializer_list<std::uint8_t>{2, 3, 4, 5, 6, 7}) {
        cases.push_back({"Group0Code" + std::to_string(code), kGroup0, code, nullptr});
    }
    for (std::uint8_t code : std::initializer_list<std::uint8_t>{4, 7}) {
        cases.push_back({"Group2_9Code" + std::to_string(code), kGroup2_9, code, nullptr});
        cases.push_back({"Group23Code" + std::to_string(code), kGroup23, code, nullptr});
    }
    for (std::uint8_t code = 1; code <= 9; ++code) {
        cases.push_back({"NoNormalizationCode" + std::to_string(code), kNoNormalization, code, nullptr});
    }
    return cases;
}

// The receive area as the layouts see it: the frame, zero after r[L], and
// the checksum positions 0 once the frame has been verified.
Bytes verifiedArea(const Bytes& frame) {
    Bytes area = receiveArea(frame);
    area[4] = area[5] = 0;
    return area;
}

Bytes expectedBuffer(const Table& table, const Bytes& area, std::uint8_t prefill) {
    Bytes out(kBufferSize + CallerObjects::kGuard, prefill);
    for (const Put& p : table) {
        const std::uint8_t src = area.at(p.src);
        switch (p.from) {
            case Put::From::Byte: out.at(p.out) = src; break;
            case Put::From::Zero: out.at(p.out) = 0; break;
            case Put::From::Bit: out.at(p.out) = (src >> p.bit) & 1U; break;
            case Put::From::NonZero: out.at(p.out) = src != 0 ? 1 : 0; break;
        }
    }
    return out;
}

std::uint8_t indexByte(unsigned j) { return static_cast<std::uint8_t>(j); }
std::uint8_t mirroredByte(unsigned j) { return static_cast<std::uint8_t>(255 - j); }

class LayoutTable : public FakeHostTest, public ::testing::WithParamInterface<LayoutCase> {};

// Every case under several frame lengths (short frames read the zero fill
// past r[L]), two payloads and two caller patterns, so that each written
// byte differs from the caller's byte in at least one run.
TEST_P(LayoutTable, WritesExactlyTheTableRows) {
    const LayoutCase& c = GetParam();
    bind();
    for (unsigned last : {5U, 6U, 8U, 40U, 250U}) {
        for (auto byteAt : {indexByte, mirroredByte}) {
            const Bytes frame = replyFrame(c.replyCode, 0, payloadFrom(last, byteAt));
            const Table table = c.table != nullptr ? c.table(last) : Table{};
            for (std::uint32_t model : c.models) {
                for (const auto& [bufferByte, recordByte] : {std::pair{0xAA, 0xC3}, std::pair{0x55, 0x3C}}) {
                    SCOPED_TRACE("L=" + std::to_string(last) + " model=" + std::to_string(model) +
                                 " r[6]=" + std::to_string(byteAt(6)) + " prefill=" + std::to_string(bufferByte));
                    CallerObjects objects;
                    objects.fill(static_cast<std::uint8_t>(bufferByte), static_cast<std::uint8_t>(recordByte));
                    const Bytes recordBefore(objects.record.begin(), objects.record.end());
                    fake().feed(frame.data(), frame.size());
                    ASSERT_EQ(objects.receive(model), 1);
                    const Bytes buffer =
                        expectedBuffer(table, verifiedArea(frame), static_cast<std::uint8_t>(bufferByte));
                    EXPECT_TRUE(sameBytes(buffer, objects.buffer));
                    EXPECT_TRUE(sameBytes(expectedRecord(c.replyCode, buffer.data(), recordBefore), objects.record));
                }
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Groups0_2_9_23, LayoutTable, ::testing::ValuesIn(layoutCases()),
                         [](const ::testing::TestParamInfo<LayoutCase>& paramInfo) { return paramInfo.param.name; });

class SharedLayoutExamples : public FakeHostTest {
protected:
    void SetUp() override { bind(); }

    // Receives a frame of L = 40 with the given payload bytes (0 elsewhere)
    // into a buffer of 0xEE and a record of 0xDD.
    CallerObjects receive(std::uint32_t model, std::uint8_t code,
                          std::initializer_list<std::pair<unsigned, std::uint8_t>> bytes) {
        CallerObjects objects;
        objects.fill(0xEE, 0xDD);
        const Bytes frame = replyFrame(code, 0, payloadWith(40, bytes));
        fake().feed(frame.data(), frame.size());
        EXPECT_EQ(objects.receive(model), 1);
        return objects;
    }
};

TEST_F(SharedLayoutExamples, Code2FlagTellsWhetherR7IsNonZeroAndBitsOfR6AreWords) {
    struct Row {
        std::uint8_t r6, r7;
        std::uint8_t bits[8];  // out 2, 4, ..., 16
        std::uint8_t flag;     // out 0
    };
    const Row table[] = {
        {0, 0, {0, 0, 0, 0, 0, 0, 0, 0}, 0},
        {0, 1, {0, 0, 0, 0, 0, 0, 0, 0}, 1},
        {0, 255, {0, 0, 0, 0, 0, 0, 0, 0}, 1},
        {5, 0, {1, 0, 1, 0, 0, 0, 0, 0}, 0},
        {0x80, 2, {0, 0, 0, 0, 0, 0, 0, 1}, 1},
        {0xFF, 0x10, {1, 1, 1, 1, 1, 1, 1, 1}, 1},
        // Alternating bits: every bit differs from its neighbours.
        {0x55, 0, {1, 0, 1, 0, 1, 0, 1, 0}, 0},
        {0xAA, 3, {0, 1, 0, 1, 0, 1, 0, 1}, 1},
    };
    for (std::uint32_t model : {2U, 9U, 23U}) {
        for (const Row& row : table) {
            SCOPED_TRACE("model " + std::to_string(model) + " r[6]=" + std::to_string(row.r6) +
                         " r[7]=" + std::to_string(row.r7));
            const CallerObjects o = receive(model, 2, {{6, row.r6}, {7, row.r7}});
            EXPECT_EQ(o.buffer[0], row.flag);
            EXPECT_EQ(o.fields().code2Word0, row.flag);
            for (unsigned i = 0; i < 8; ++i) {
                EXPECT_EQ(o.buffer[2 + 2 * i], row.bits[i]) << "bit " << i;
                EXPECT_EQ(o.fields().code2Bits[i], row.bits[i]) << "bit " << i;
            }
            for (unsigned k = 1; k <= 17; k += 2) EXPECT_EQ(o.buffer[k], 0) << "out " << k;
            // Nothing is written for code2Word1..5: they keep the caller's buffer.
            EXPECT_EQ(o.fields().code2Word1, 0xEEEE);
            EXPECT_EQ(o.fields().code2Word5, 0xEEEE);
        }
    }
}

TEST_F(SharedLayoutExamples, Code6LastValueArrivesHighByteFirst) {
    for (std::uint32_t model : {2U, 9U, 23U}) {
        const CallerObjects o = receive(model, 6, {{8, 18}, {9, 52}, {10, 0x61}, {17, 0x71}, {15, 0x34}, {16, 0x12}});
        EXPECT_EQ(o.buffer[28], 52);
        EXPECT_EQ(o.buffer[29], 18);
        EXPECT_EQ(o.fields().code6Word2, 18 * 256 + 52);
        EXPECT_EQ(o.fields().code6Pair5[0], 0x61);    // r[10]
        EXPECT_EQ(o.fields().code6Pair5[1], 0x71);    // r[17]
        EXPECT_EQ(o.fields().code6Pair2[0], 0x1234);  // r[15..16], low byte first
    }
}

TEST_F(SharedLayoutExamples, Code5TakesByte15FromR26AndNeverR25) {
    for (std::uint32_t model : {2U, 9U, 23U}) {
        const CallerObjects a = receive(model, 5, {{24, 0x24}, {25, 0x25}, {26, 0x26}, {14, 0x14}, {15, 0x15}});
        const CallerObjects b = receive(model, 5, {{24, 0x24}, {25, 0x99}, {26, 0x26}, {14, 0x14}, {15, 0x15}});
        EXPECT_EQ(a.buffer[15], 0x26);
        EXPECT_TRUE(sameBytes(a.buffer, b.buffer));
        EXPECT_EQ(a.fields().code5Pair3[0], 0x1514);
        EXPECT_EQ(a.fields().code5Pair3[1], 0x24 + 256 * 0x26);
        EXPECT_EQ(a.fields().code5Pair1[0], 0);
        EXPECT_EQ(a.fields().code5Pair1[1], 0);
    }
}

TEST_F(SharedLayoutExamples, Group23Code3LandsRunsAtTheStartOfTheirFields) {
    std::initializer_list<std::pair<unsigned, std::uint8_t>> bytes = {
        {6, 0x01},  {7, 0x02},  {20, 0x0F}, {21, 0x10}, {22, 0x22}, {23, 0x23}, {24, 0x24}, {25, 0x25}, {26, 0x26},
        {27, 0x27}, {28, 0x28}, {29, 0x29}, {30, 0x2A}, {31, 0x2B}, {36, 0x36}, {37, 0x37}, {38, 0x38}};
    const CallerObjects o = receive(23, 3, bytes);
    const ReplyRecord& f = o.fields();
    EXPECT_EQ(f.code3Words[0], 0x0201);
    EXPECT_EQ(f.code3Words[7], 0x100F);
    for (unsigned i = 8; i < 32; ++i) EXPECT_EQ(f.code3Words[i], 0) << i;
    EXPECT_EQ(f.code3Bytes[0], 0x22);
    EXPECT_EQ(f.code3Bytes[1], 0xEE);  // out 65 not written
    EXPECT_EQ(f.code3QuadA[0], 0x23);
    EXPECT_EQ(f.code3QuadA[1], 0xEE);  // out 90 not written
    EXPECT_EQ(f.code3Words2[0], 0x2524);
    EXPECT_EQ(f.code3Words2[1], 0x2726);
    EXPECT_EQ(f.code3Words2[2], 0xEEEE);  // out 101..102 not written
    EXPECT_EQ(f.code3Longs[0], 0x2B2A2928U);
    EXPECT_EQ(f.code3Longs[2], 0xEE383736U);  // top byte, out 128, not written
    EXPECT_EQ(f.code3Longs[3], 0xEEEEEEEEU);
}

}  // namespace
}  // namespace kavrol::test
