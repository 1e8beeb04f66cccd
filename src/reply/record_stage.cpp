#include "reply/record_stage.h"

#include <bit>
#include <cstddef>
#include <cstring>
#include <span>

#include "kavrol32/kavrol32.h"

namespace kavrol::reply {

namespace {

// count values of `width` bytes, composed low byte first from buffer[from]
// on and stored as native integers at record[to] on.
struct FieldRun {
    std::size_t to;
    std::size_t from;
    unsigned width;
    unsigned count;
};

#define KAVROL_AT(field) offsetof(ReplyRecord, field)

constexpr FieldRun kCode1[] = {
    {KAVROL_AT(code1Word0), 0, 2, 10},
};

constexpr FieldRun kCode2[] = {
    {KAVROL_AT(code2Word0), 0, 2, 1},
    {KAVROL_AT(code2Bits), 2, 2, 8},
    {KAVROL_AT(code2Word1), 18, 2, 5},
};

constexpr FieldRun kCode3[] = {
    {KAVROL_AT(code3Words), 0, 2, 32},
    {KAVROL_AT(code3Bytes), 64, 1, 25},
    {KAVROL_AT(code3QuadA), 89, 1, 4},
    {KAVROL_AT(code3QuadB), 93, 1, 4},
    {KAVROL_AT(code3Words2), 97, 2, 8},
    {KAVROL_AT(code3QuadC), 113, 1, 4},
    {KAVROL_AT(code3Longs), 117, 4, 50},
};

constexpr FieldRun kCode5[] = {
    {KAVROL_AT(code5Pair0), 0, 2, 10},
};

constexpr FieldRun kCode6[] = {
    {KAVROL_AT(code6Word0), 0, 2, 2},
    {KAVROL_AT(code6Pair0), 4, 2, 12},
    {KAVROL_AT(code6Word2), 28, 2, 1},
};

#undef KAVROL_AT

// The runs of one region must tile it without touching a gap: consecutive
// fields of the record, in declaration order.
static_assert(offsetof(ReplyRecord, code1Word9) == offsetof(ReplyRecord, code1Word0) + 18);
static_assert(offsetof(ReplyRecord, code2Word5) == offsetof(ReplyRecord, code2Word1) + 8);
static_assert(offsetof(ReplyRecord, code5Pair4) == offsetof(ReplyRecord, code5Pair0) + 16);
static_assert(offsetof(ReplyRecord, code6Pair5) == offsetof(ReplyRecord, code6Pair0) + 20);
static_assert(offsetof(ReplyRecord, code6Pair0) == offsetof(ReplyRecord, code6Word0) + 4);

void storeRun(const FieldRun& run, const std::uint8_t* buffer, std::uint8_t* record) {
    if constexpr (std::endian::native == std::endian::little) {
        // The buffer holds the values low byte first, as the host does: the
        // run's bytes are its native integers already.
        std::memcpy(record + run.to, buffer + run.from, static_cast<std::size_t>(run.width) * run.count);
        return;
    }
    for (unsigned i = 0; i < run.count; ++i) {
        const std::uint8_t* src = buffer + run.from + static_cast<std::size_t>(i) * run.width;
        std::uint8_t* dest = record + run.to + static_cast<std::size_t>(i) * run.width;
        std::uint32_t value = 0;
        for (unsigned b = 0; b < run.width; ++b) value |= static_cast<std::uint32_t>(src[b]) << (8 * b);
        if (run.width == 1) {
            *dest = static_cast<std::uint8_t>(value);
        } else if (run.width == 2) {
            const auto v16 = static_cast<std::uint16_t>(value);
            std::memcpy(dest, &v16, sizeof v16);
        } else {
            std::memcpy(dest, &value, sizeof value);
        }
    }
}

std::span<const FieldRun> runsOf(std::uint8_t replyCode) {
    switch (replyCode) {
        case 1: return kCode1;
        case 2: return kCode2;
        case 3: return kCode3;
        case 5: return kCode5;
        case 6: return kCode6;
        default: return {};
    }
}

}  // namespace

void FillReplyRecord(std::uint8_t replyCode, const std::uint8_t* buffer, std::uint8_t* record) {
    for (const FieldRun& run : runsOf(replyCode)) storeRun(run, buffer, record);
}

}  // namespace kavrol::reply
