// The fields of ReplyRecord by reply code, named as in the public header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace kavrol::tools {

struct RecordField {
    const char* name;
    std::size_t offset;     // record byte of element 0
    std::size_t elementSize;
    std::size_t count;      // 1 for a plain field
};

// The fields of the record region of a reply code (empty: no region).
std::span<const RecordField> RecordFieldsOf(std::uint8_t replyCode);

}  // namespace kavrol::tools
