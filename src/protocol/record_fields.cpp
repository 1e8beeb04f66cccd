#include "protocol/record_fields.h"

namespace kavrol::protocol {

namespace {

// Each region is one block of fields, the blocks do not overlap, and the
// buffer runs are as long as the caller's buffer must be.
constexpr bool fieldsOfOneCodeStandTogether() {
    for (std::size_t i = 0; i < kRecordFields.size(); ++i) {
        const std::uint8_t code = kRecordFields[i].replyCode;
        if (recordFieldsOf(code).data() + recordFieldsOf(code).size() <= &kRecordFields[i]) return false;
    }
    return true;
}
constexpr bool fieldsDoNotOverlap() {
    for (std::size_t i = 1; i < kRecordFields.size(); ++i) {
        if (kRecordFields[i - 1].recordOffset + sizeOf(kRecordFields[i - 1]) > kRecordFields[i].recordOffset) {
            return false;
        }
    }
    const RecordField& last = kRecordFields.back();
    return last.recordOffset + sizeOf(last) <= KAVROL_REPLY_RECORD_SIZE;
}

static_assert(fieldsOfOneCodeStandTogether());
static_assert(fieldsDoNotOverlap());
static_assert(bufferRunOf(1) == 20 && bufferRunOf(2) == 28 && bufferRunOf(5) == 20 && bufferRunOf(6) == 30);
static_assert(bufferRunOf(3) == KAVROL_REPLY_BUFFER_SIZE);
static_assert(recordFieldsOf(4).empty() && recordFieldsOf(0).empty());
// Code 3's record has alignment gaps the buffer does not have.
static_assert(bufferByteOf(3, offsetof(ReplyRecord, code3Words2)) == 97);
static_assert(bufferByteOf(3, offsetof(ReplyRecord, code3Longs)) == 117);
static_assert(bufferByteOf(3, 97) == -1 && bufferByteOf(3, 118) == -1 && bufferByteOf(3, 119) == -1);

}  // namespace

}  // namespace kavrol::protocol
