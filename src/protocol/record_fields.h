// The fields of ReplyRecord: where each sits in the record, which reply code
// fills it, and which bytes of the normalized buffer feed it. The record
// stage, the tools' reports and the generated exports all read this table.
//
// Each reply code's region is fed by a packed run of the buffer from
// position 0, in field order; values are composed low byte first.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "kavrol32/kavrol32.h"

namespace kavrol::protocol {

struct RecordField {
    const char* name;            // as declared in ReplyRecord
    std::uint16_t recordOffset;  // record byte of element 0
    std::uint8_t elementSize;    // 1, 2 or 4 bytes
    std::uint16_t count;         // 1 for a plain field
    std::uint8_t replyCode;
    std::uint16_t bufferOffset;  // buffer byte of element 0
};

constexpr std::size_t sizeOf(const RecordField& f) { return static_cast<std::size_t>(f.elementSize) * f.count; }

namespace detail {

// Buffer offsets follow from the field order: a region's buffer run is
// packed from 0, so each field starts where the previous one of its code
// ended.
template <std::size_t N>
constexpr std::array<RecordField, N> withBufferOffsets(std::array<RecordField, N> fields) {
    for (std::size_t i = 0; i < N; ++i) {
        std::size_t at = 0;
        for (std::size_t k = 0; k < i; ++k) {
            if (fields[k].replyCode == fields[i].replyCode) at += sizeOf(fields[k]);
        }
        fields[i].bufferOffset = static_cast<std::uint16_t>(at);
    }
    return fields;
}

}  // namespace detail

// clang-format off
// An array field, and a plain one, of reply code c.
#define KAVROL_ARRAY_FIELD(c, f)                                                                           \
    RecordField {                                                                                          \
        #f, offsetof(ReplyRecord, f), sizeof(ReplyRecord::f[0]), sizeof(ReplyRecord::f) / sizeof(ReplyRecord::f[0]), c, 0 \
    }
#define KAVROL_PLAIN_FIELD(c, f) RecordField{#f, offsetof(ReplyRecord, f), sizeof(ReplyRecord::f), 1, c, 0}

// In record order; the fields of one reply code stand together.
inline constexpr auto kRecordFields = detail::withBufferOffsets(std::array{
    KAVROL_ARRAY_FIELD(3, code3Words),  KAVROL_ARRAY_FIELD(3, code3Bytes), KAVROL_ARRAY_FIELD(3, code3QuadA),
    KAVROL_ARRAY_FIELD(3, code3QuadB),  KAVROL_ARRAY_FIELD(3, code3Words2), KAVROL_ARRAY_FIELD(3, code3QuadC),
    KAVROL_ARRAY_FIELD(3, code3Longs),
    KAVROL_PLAIN_FIELD(1, code1Word0),  KAVROL_PLAIN_FIELD(1, code1Word1), KAVROL_PLAIN_FIELD(1, code1Word2),
    KAVROL_PLAIN_FIELD(1, code1Word3),  KAVROL_PLAIN_FIELD(1, code1Word4), KAVROL_PLAIN_FIELD(1, code1Word5),
    KAVROL_PLAIN_FIELD(1, code1Word6),  KAVROL_PLAIN_FIELD(1, code1Word7), KAVROL_PLAIN_FIELD(1, code1Word8),
    KAVROL_PLAIN_FIELD(1, code1Word9),
    KAVROL_PLAIN_FIELD(6, code6Word0),  KAVROL_PLAIN_FIELD(6, code6Word1), KAVROL_ARRAY_FIELD(6, code6Pair0),
    KAVROL_ARRAY_FIELD(6, code6Pair1),  KAVROL_ARRAY_FIELD(6, code6Pair2), KAVROL_ARRAY_FIELD(6, code6Pair3),
    KAVROL_ARRAY_FIELD(6, code6Pair4),  KAVROL_ARRAY_FIELD(6, code6Pair5), KAVROL_PLAIN_FIELD(6, code6Word2),
    KAVROL_PLAIN_FIELD(2, code2Word0),  KAVROL_ARRAY_FIELD(2, code2Bits),  KAVROL_PLAIN_FIELD(2, code2Word1),
    KAVROL_PLAIN_FIELD(2, code2Word2),  KAVROL_PLAIN_FIELD(2, code2Word3), KAVROL_PLAIN_FIELD(2, code2Word4),
    KAVROL_PLAIN_FIELD(2, code2Word5),
    KAVROL_ARRAY_FIELD(5, code5Pair0),  KAVROL_ARRAY_FIELD(5, code5Pair1), KAVROL_ARRAY_FIELD(5, code5Pair2),
    KAVROL_ARRAY_FIELD(5, code5Pair3),  KAVROL_ARRAY_FIELD(5, code5Pair4),
});

#undef KAVROL_ARRAY_FIELD
#undef KAVROL_PLAIN_FIELD
// clang-format on

// The fields of a reply code's region, in record order (empty: no region).
constexpr std::span<const RecordField> recordFieldsOf(std::uint8_t replyCode) {
    std::size_t first = 0;
    while (first < kRecordFields.size() && kRecordFields[first].replyCode != replyCode) ++first;
    std::size_t end = first;
    while (end < kRecordFields.size() && kRecordFields[end].replyCode == replyCode) ++end;
    return std::span<const RecordField>(kRecordFields).subspan(first, end - first);
}

// Bytes of the buffer run that a reply code's region reads.
constexpr std::size_t bufferRunOf(std::uint8_t replyCode) {
    std::size_t n = 0;
    for (const RecordField& f : recordFieldsOf(replyCode)) n += sizeOf(f);
    return n;
}

// The buffer byte that feeds record byte `recordByte` of the reply code's
// region, or -1 when no field of the region holds it (a gap, another region).
constexpr std::ptrdiff_t bufferByteOf(std::uint8_t replyCode, std::size_t recordByte) {
    for (const RecordField& f : recordFieldsOf(replyCode)) {
        if (recordByte >= f.recordOffset && recordByte < f.recordOffset + sizeOf(f)) {
            return static_cast<std::ptrdiff_t>(f.bufferOffset + (recordByte - f.recordOffset));
        }
    }
    return -1;
}

}  // namespace kavrol::protocol
