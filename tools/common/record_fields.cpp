#include "common/record_fields.h"

#include "kavrol32/kavrol32.h"

namespace kavrol::tools {

namespace {

// An array field, and a plain one.
#define KAVROL_FIELD(f) \
    RecordField{#f, offsetof(ReplyRecord, f), sizeof(ReplyRecord::f[0]), sizeof(ReplyRecord::f) / sizeof(ReplyRecord::f[0])}
#define KAVROL_PLAIN(f) RecordField{#f, offsetof(ReplyRecord, f), sizeof(ReplyRecord::f), 1}

const RecordField kCode1[] = {
    KAVROL_PLAIN(code1Word0), KAVROL_PLAIN(code1Word1), KAVROL_PLAIN(code1Word2), KAVROL_PLAIN(code1Word3),
    KAVROL_PLAIN(code1Word4), KAVROL_PLAIN(code1Word5), KAVROL_PLAIN(code1Word6), KAVROL_PLAIN(code1Word7),
    KAVROL_PLAIN(code1Word8), KAVROL_PLAIN(code1Word9),
};
const RecordField kCode2[] = {
    KAVROL_PLAIN(code2Word0), KAVROL_FIELD(code2Bits),  KAVROL_PLAIN(code2Word1), KAVROL_PLAIN(code2Word2),
    KAVROL_PLAIN(code2Word3), KAVROL_PLAIN(code2Word4), KAVROL_PLAIN(code2Word5),
};
const RecordField kCode3[] = {
    KAVROL_FIELD(code3Words),  KAVROL_FIELD(code3Bytes), KAVROL_FIELD(code3QuadA), KAVROL_FIELD(code3QuadB),
    KAVROL_FIELD(code3Words2), KAVROL_FIELD(code3QuadC), KAVROL_FIELD(code3Longs),
};
const RecordField kCode5[] = {
    KAVROL_FIELD(code5Pair0), KAVROL_FIELD(code5Pair1), KAVROL_FIELD(code5Pair2),
    KAVROL_FIELD(code5Pair3), KAVROL_FIELD(code5Pair4),
};
const RecordField kCode6[] = {
    KAVROL_PLAIN(code6Word0), KAVROL_PLAIN(code6Word1), KAVROL_FIELD(code6Pair0), KAVROL_FIELD(code6Pair1),
    KAVROL_FIELD(code6Pair2), KAVROL_FIELD(code6Pair3), KAVROL_FIELD(code6Pair4), KAVROL_FIELD(code6Pair5),
    KAVROL_PLAIN(code6Word2),
};

#undef KAVROL_FIELD
#undef KAVROL_PLAIN

}  // namespace

std::span<const RecordField> RecordFieldsOf(std::uint8_t replyCode) {
    switch (replyCode) {
        case 1: return kCode1;
        case 2: return kCode2;
        case 3: return kCode3;
        case 5: return kCode5;
        case 6: return kCode6;
        default: return {};
    }
}

}  // namespace kavrol::tools
