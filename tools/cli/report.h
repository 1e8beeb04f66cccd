// How the client shows a transaction: status with its meaning, the frames,
// the buffer positions the layout wrote, and the record fields filled.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "cli/transaction.h"

namespace kavrol::cli {

// "ok", "rejected", "timeout", "frame-error", "device-error".
std::string statusName(std::int32_t status);
// A sentence for someone who does not know the codes.
std::string statusMeaning(std::int32_t status);

// One field of the record region that the reply code fills.
struct FieldValue {
    std::string name;
    bool isArray = false;
    std::size_t elementSize = 1;  // bytes
    std::vector<std::uint32_t> values;
    // Per element: false when its buffer bytes were not written by the
    // layout, so the value is the caller's buffer content.
    std::vector<bool> fromReply;
};

// The fields of the region of the outcome's reply code (empty when the
// status is not 1 or the code has no region).
std::vector<FieldValue> recordFields(const Outcome& o);

// The reply code of a valid reply, else -1.
int replyCodeOf(const Outcome& o);

// What the bytes tell about a failed transaction, one sentence.
std::string failureDetail(const Outcome& o);

// A polling run's line for one transaction: status, reply code or failure
// detail with the bytes that arrived, round-trip time.
std::string pollSummary(const Outcome& o);

// A readable report, each line starting with indent.
void printOutcome(std::ostream& os, const HostCommand& r, const Outcome& o, const std::string& indent = "");

// For a valid reply: the buffer positions the model's layout wrote and the
// record fields filled, as printOutcome shows them.
void printReplyData(std::ostream& os, const HostCommand& r, const Outcome& o, const std::string& indent = "");
// The same as the "buffer", "record" and "record_from_caller_buffer" members of j.
void addReplyDataJson(nlohmann::json& j, const Outcome& o);
// Only the "record" and "record_from_caller_buffer" members.
void addRecordJson(nlohmann::json& j, const Outcome& o);

// The same as one JSON object.
nlohmann::json outcomeJson(const std::string& port, const HostCommand& r, const Outcome& o);

}  // namespace kavrol::cli
