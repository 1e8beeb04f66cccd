#include "reply/record_stage.h"

#include <bit>
#include <cstddef>
#include <cstring>

#include "protocol/record_fields.h"

namespace kavrol::reply {

namespace {

// The field's values, composed low byte first from its buffer bytes, stored
// as native integers at its record position.
void storeField(const protocol::RecordField& field, const std::uint8_t* buffer, std::uint8_t* record) {
    const std::uint8_t* src = buffer + field.bufferOffset;
    std::uint8_t* dest = record + field.recordOffset;
    if constexpr (std::endian::native == std::endian::little) {
        // The buffer holds the values low byte first, as the host does: the
        // field's bytes are its native integers already.
        std::memcpy(dest, src, protocol::sizeOf(field));
        return;
    }
    for (unsigned i = 0; i < field.count; ++i, src += field.elementSize, dest += field.elementSize) {
        std::uint32_t value = 0;
        for (unsigned b = 0; b < field.elementSize; ++b) value |= static_cast<std::uint32_t>(src[b]) << (8 * b);
        if (field.elementSize == 1) {
            *dest = static_cast<std::uint8_t>(value);
        } else if (field.elementSize == 2) {
            const auto v16 = static_cast<std::uint16_t>(value);
            std::memcpy(dest, &v16, sizeof v16);
        } else {
            std::memcpy(dest, &value, sizeof value);
        }
    }
}

}  // namespace

void fillReplyRecord(std::uint8_t replyCode, const std::uint8_t* buffer, std::uint8_t* record) {
    for (const protocol::RecordField& field : protocol::recordFieldsOf(replyCode)) storeField(field, buffer, record);
}

}  // namespace kavrol::reply
