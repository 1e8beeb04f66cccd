// The record field table as JSON, for clients that cannot read the C++
// table (the Python package ships it as python/kavrol/record_fields.json).
#pragma once

#include <string>

namespace kavrol::tools {

// {"record_size": 418, "buffer_size": 317, "fields": [{"name", "offset",
// "size", "count", "reply_code", "buffer_offset"}, ...]} in record order,
// offsets in bytes, size per element.
std::string recordFieldsJson();

}  // namespace kavrol::tools
