// The record stage: parses the normalized buffer into the caller's record.
#pragma once

#include <cstdint>

namespace kavrol::reply {

// Fills the record region of reply codes 1, 2, 3, 5 and 6 from the buffer;
// any other code leaves the record untouched. Gaps are never written.
void fillReplyRecord(std::uint8_t replyCode, const std::uint8_t* buffer, std::uint8_t* record);

}  // namespace kavrol::reply
