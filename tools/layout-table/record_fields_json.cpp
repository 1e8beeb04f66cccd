#include "record_fields_json.h"

#include <nlohmann/json.hpp>

#include "protocol/record_fields.h"

namespace kavrol::tools {

std::string recordFieldsJson() {
    nlohmann::ordered_json fields = nlohmann::ordered_json::array();
    for (const protocol::RecordField& f : protocol::kRecordFields) {
        fields.push_back({{"name", f.name},
                          {"offset", f.recordOffset},
                          {"size", f.elementSize},
                          {"count", f.count},
                          {"reply_code", f.replyCode},
                          {"buffer_offset", f.bufferOffset}});
    }
    nlohmann::ordered_json table;
    table["record_size"] = KAVROL_REPLY_RECORD_SIZE;
    table["buffer_size"] = KAVROL_REPLY_BUFFER_SIZE;
    table["fields"] = fields;
    return table.dump(2) + "\n";
}

}  // namespace kavrol::tools
