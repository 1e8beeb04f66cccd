// Which buffer positions each model group writes, per reply code and form,
// and that every other position keeps the caller's content.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "reply/coverage.h"
#include "reply/layout.h"
#include "reply/model_groups.h"
#include "support/normalized_reply.h"

namespace kavrol::test::layouts {
namespace {

using Models = std::vector<std::uint32_t>;
const Models kG0{0}, kG2_9{2, 9}, kG23{23}, kG4_22{4, 22}, kG5_12_13{5, 12, 13}, kG11_14{11, 14}, kG17_24{17, 24},
    kG6{6}, kG8{8}, kG18{18}, kGDefault{3, 7, 10, 15, 16, 20, 21}, kNone{1, 19, 25, 30, 0x80000000U, 0xFFFFFFFFU};

struct Range {
    unsigned first, last;
};

struct WrittenCase {
    const char* what;
    const Models* models;
    std::uint8_t replyCode;
    std::uint8_t header3;
    std::uint8_t r12;
    std::vector<Range> written;
};

const std::vector<WrittenCase> kWritten = {
    {"{0} code 1", &kG0, 1, 1, 0, {{0, 7}}},
    {"{2,9} code 1", &kG2_9, 1, 1, 0, {{0, 7}}},
    {"{2,9} code 2", &kG2_9, 2, 1, 0, {{0, 17}}},
    {"{2,9} code 3", &kG2_9, 3, 1, 0, {{0, 96}}},
    {"{23} code 2", &kG23, 2, 1, 0, {{0, 17}}},
    {"{23} code 3: runs with gaps", &kG23, 3, 1, 0, {{0, 64}, {89, 89}, {97, 100}, {117, 127}}},
    {"{4,22} code 1", &kG4_22, 1, 1, 0, {{0, 7}}},
    {"{4,22} code 3", &kG4_22, 3, 1, 0, {{0, 96}}},
    {"{5,12,13} code 1", &kG5_12_13, 1, 1, 0, {{0, 7}}},
    {"{5,12,13} code 3", &kG5_12_13, 3, 1, 0, {{0, 96}}},
    {"{11,14} code 1", &kG11_14, 1, 1, 0, {{0, 7}}},
    {"{11,14} code 3", &kG11_14, 3, 1, 0, {{0, 220}}},
    {"{17,24} code 1", &kG17_24, 1, 1, 0, {{0, 7}}},
    {"{17,24} code 3", &kG17_24, 3, 1, 0, {{0, 236}}},
    {"{6} code 1", &kG6, 1, 1, 0, {{0, 7}}},
    {"{6} code 3", &kG6, 3, 1, 0, {{0, 104}}},
    {"{8} code 1", &kG8, 1, 1, 0, {{0, 7}}},
    {"{8} code 2", &kG8, 2, 1, 0, {{0, 1}}},
    {"{8} code 3, r[3] = 1", &kG8, 3, 1, 0, {{0, 116}}},
    {"{8} code 3, r[3] = 128", &kG8, 3, 128, 0, {{0, 116}}},
    {"{8} code 3, r[3] = 0", &kG8, 3, 0, 0, {{0, 72}}},
    {"{18} code 1", &kG18, 1, 1, 0, {{0, 7}}},
    {"{18} code 3, r[12] = 2", &kG18, 3, 0, 2, {{0, 308}}},
    {"{18} code 3, r[12] = 255", &kG18, 3, 0, 255, {{0, 308}}},
    {"{18} code 3, r[12] = 0", &kG18, 3, 0, 0, {{0, 304}}},
    {"{18} code 3, r[12] = 253", &kG18, 3, 0, 253, {{0, 304}}},
    {"default code 1", &kGDefault, 1, 1, 0, {{0, 19}}},
    {"default code 3, r[3] = 1", &kGDefault, 3, 1, 0, {{0, 116}}},
    {"default code 3, r[3] = 0", &kGDefault, 3, 0, 0, {{0, 116}}},
};

std::vector<bool> positions(const std::vector<Range>& ranges) {
    std::vector<bool> in(kBufferSize + kGuardSize, false);
    for (const Range& r : ranges)
        for (unsigned k = r.first; k <= r.last; ++k) in[k] = true;
    return in;
}

// Decodes the frame over two pre-fills that differ in every byte: a written
// position holds the same value after both, every other one its pre-fill.
// The coverage query that the tools use reports the same positions.
void expectWritten(std::uint32_t model, const Bytes& frame, const std::vector<Range>& written) {
    const std::vector<bool> in = positions(written);
    bool covered[reply::kReplyBufferSize];
    reply::layoutCoverage(model, receiveArea(frame).data(), covered);
    for (unsigned k = 0; k < reply::kReplyBufferSize; ++k) EXPECT_EQ(covered[k], in[k]) << "coverage of " << k;
    const Decoded a = decode(model, frame, 0x11);
    const Decoded b = decode(model, frame, 0x11 + 0x80);
    ASSERT_EQ(a.result, 1);
    for (std::size_t k = 0; k < a.buffer.size(); ++k) {
        if (in[k]) {
            EXPECT_EQ(a.buffer[k], b.buffer[k]) << "written position " << k << " depends on the caller's content";
        } else {
            EXPECT_EQ(a.buffer[k], prefill(k, 0x11)) << "position " << k << " was written";
            EXPECT_EQ(b.buffer[k], prefill(k, 0x91)) << "position " << k << " was written";
        }
    }
}

Bytes randomPayload(std::mt19937& rng, unsigned last) {
    Bytes p(last - 5);
    for (auto& byte : p) byte = static_cast<std::uint8_t>(rng());
    return p;
}

TEST(LayoutsWritten, EachGroupWritesExactlyItsTablePositions) {
    std::mt19937 rng(4);
    for (const WrittenCase& c : kWritten) {
        for (std::uint32_t model : *c.models) {
            SCOPED_TRACE(testing::Message() << c.what << ", model " << model);
            Bytes payload = randomPayload(rng, 250);
            payload[12 - 6] = c.r12;
            expectWritten(model, replyFrame(c.replyCode, c.header3, payload), c.written);
            // A short reply still writes the whole fixed layout.
            if (c.r12 == 0) expectWritten(model, replyFrame(c.replyCode, c.header3, randomPayload(rng, 8)), c.written);
        }
    }
}

TEST(LayoutsWritten, SharedCodesWriteTheSharedExtents) {
    struct Shared {
        const Models* models;
        bool codes5And6;
    };
    const Shared groups[] = {{&kG0, false},      {&kG2_9, true},   {&kG23, true},     {&kG4_22, true},
                             {&kG5_12_13, true}, {&kG11_14, true}, {&kG17_24, true},  {&kG6, false},
                             {&kG8, true},       {&kG18, true},    {&kGDefault, true}};
    std::mt19937 rng(5);
    for (const Shared& g : groups) {
        for (std::uint32_t model : *g.models) {
            SCOPED_TRACE(testing::Message() << "model " << model);
            expectWritten(model, replyFrame(8, 1, randomPayload(rng, 40)), {{0, 1}});
            // Reply code 9: r[6..L], then one zero byte.
            expectWritten(model, replyFrame(9, 1, randomPayload(rng, 250)), {{0, 245}});
            expectWritten(model, replyFrame(9, 1, randomPayload(rng, 6)), {{0, 1}});
            expectWritten(model, replyFrame(9, 1, {}), {{0, 0}});
            if (g.codes5And6) {
                expectWritten(model, replyFrame(5, 1, randomPayload(rng, 40)), {{0, 19}});
                expectWritten(model, replyFrame(6, 1, randomPayload(rng, 40)), {{0, 29}});
            }
        }
    }
}

// Every reply code below 247 that a group has no layout for leaves the
// buffer as the caller had it; the record stage still parses it.
TEST(LayoutsWritten, CodesWithoutLayoutLeaveTheBuffer) {
    struct Group {
        const Models* models;
        std::vector<std::uint8_t> layoutCodes;
    };
    const std::vector<std::uint8_t> common = {1, 3, 5, 6, 8, 9};
    const Group groups[] = {
        {&kG0, {1, 8, 9}},
        {&kG2_9, {1, 2, 3, 5, 6, 8, 9}},
        {&kG23, {1, 2, 3, 5, 6, 8, 9}},
        {&kG4_22, common},
        {&kG5_12_13, common},
        {&kG11_14, common},
        {&kG17_24, common},
        {&kG6, {1, 3, 8, 9}},
        {&kG8, {1, 2, 3, 5, 6, 8, 9}},
        {&kG18, common},
        {&kGDefault, common},
        {&kNone, {}},
    };
    std::mt19937 rng(6);
    for (const Group& g : groups) {
        for (std::uint32_t model : *g.models) {
            for (unsigned code = 0; code <= 246; ++code) {
                if (std::find(g.layoutCodes.begin(), g.layoutCodes.end(), code) != g.layoutCodes.end()) continue;
                SCOPED_TRACE(testing::Message() << "model " << model << ", code " << code);
                const Decoded d = decode(model, static_cast<std::uint8_t>(code), static_cast<std::uint8_t>(rng()),
                                         randomPayload(rng, 60));
                ASSERT_EQ(d.result, 1);
                for (std::size_t k = 0; k < d.buffer.size(); ++k) ASSERT_EQ(d.buffer[k], prefill(k, 0xA5)) << k;
                if (code == 2) {
                    // The code-2 region comes from the untouched buffer.
                    EXPECT_EQ(d.fields().code2Word0, prefill(0, 0xA5) | prefill(1, 0xA5) << 8);
                    EXPECT_EQ(d.fields().code2Word5, prefill(26, 0xA5) | prefill(27, 0xA5) << 8);
                }
            }
        }
    }
}

// Every path through a layout, as its rows in order: an include row is
// replaced by its rows, a chooseBy row forks the path.
using Path = std::vector<const reply::Op*>;

std::vector<Path> pathsOf(const reply::Layout& layout) {
    std::vector<Path> paths(1);
    for (const reply::Op& op : layout.rows) {
        std::vector<Path> tails;
        if (op.kind == reply::OpKind::Include) {
            tails = pathsOf(*op.first);
        } else if (op.kind == reply::OpKind::ChooseBy) {
            tails = pathsOf(*op.first);
            for (Path& p : pathsOf(*op.second)) tails.push_back(std::move(p));
        } else {
            tails = {Path{&op}};
        }
        std::vector<Path> joined;
        for (const Path& head : paths) {
            for (const Path& tail : tails) {
                joined.push_back(head);
                joined.back().insert(joined.back().end(), tail.begin(), tail.end());
            }
        }
        paths = std::move(joined);
    }
    return paths;
}

// The positions a row sets as whole bytes, whatever they held (bit-field and
// OR rows build a byte in place and are not counted; the zeros a widened
// bit-field row writes after it are).
Range wholeBytesOf(const reply::Op& op) {
    using reply::OpKind;
    switch (op.kind) {
        case OpKind::Copy:
        case OpKind::Zero: return {op.out, op.out + op.count - 1U + op.pad};
        case OpKind::Set:
        case OpKind::Flag:
        case OpKind::Map:
        case OpKind::Pack: return {op.out, unsigned{op.out} + op.pad};
        case OpKind::Field:
            if (op.pad == 0) return {1, 0};
            return {op.out, unsigned{op.out} + op.pad};
        case OpKind::Widen: return {op.out, op.out + op.count * (op.pad + 1U) - 1U};
        case OpKind::PayloadToEnd: return {op.out, op.out + reply::kMaxFrameIndex - op.src + 1U};
        default: return {1, 0};
    }
}

// Rows write disjoint runs of whole bytes: a run that reaches into the next
// row's (or any later row's) positions has a miscounted end, which the later
// row hides today and a reordering would not.
TEST(LayoutsWritten, NoTwoRowsSetTheSameWholeByte) {
    std::vector<const reply::GroupLayouts*> groups;
    for (std::uint32_t model = 0; model < 25; ++model) {
        const reply::GroupLayouts* g = reply::groupForModel(model);
        if (g != nullptr && std::find(groups.begin(), groups.end(), g) == groups.end()) groups.push_back(g);
    }
    for (const reply::GroupLayouts* g : groups) {
        for (std::size_t code = 0; code < g->byReplyCode.size(); ++code) {
            if (g->byReplyCode[code] == nullptr) continue;
            for (const Path& path : pathsOf(*g->byReplyCode[code])) {
                std::vector<int> setBy(reply::kReplyBufferSize, -1);
                for (std::size_t row = 0; row < path.size(); ++row) {
                    const Range r = wholeBytesOf(*path[row]);
                    for (unsigned k = r.first; k <= r.last && r.first <= r.last; ++k) {
                        EXPECT_EQ(setBy[k], -1) << "group " << g->name << ", code " << code << ": position " << k
                                                << " set by rows " << setBy[k] << " and " << row;
                        setBy[k] = static_cast<int>(row);
                    }
                }
            }
        }
    }
}

// The table of model groups: every model code 0..24, and codes above.
TEST(LayoutsWritten, ModelCodesDispatchToTheirGroups) {
    using namespace reply;
    const std::pair<const GroupLayouts*, Models> table[] = {
        {&kGroup0, kG0},
        {&kGroup2_9, kG2_9},
        {&kGroup23, kG23},
        {&kGroup4_22, kG4_22},
        {&kGroup5_12_13, kG5_12_13},
        {&kGroup11_14, kG11_14},
        {&kGroup17_24, kG17_24},
        {&kGroup6, kG6},
        {&kGroup8, kG8},
        {&kGroup18, kG18},
        {&kGroupDefaultThreshold, {3, 10, 15, 16}},
        {&kGroupDefault, {7, 20, 21}},
        {nullptr, kNone},
    };
    unsigned seen = 0;
    for (const auto& [group, models] : table) {
        for (std::uint32_t model : models) {
            EXPECT_EQ(groupForModel(model), group) << "model " << model;
            if (model < 25) ++seen;
        }
    }
    EXPECT_EQ(seen, 25U);
}

}  // namespace
}  // namespace kavrol::test::layouts
