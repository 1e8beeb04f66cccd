#include "gateway/payload.h"

#include <cmath>

#include "cli/report.h"
#include "common/hex.h"
#include "gateway/log.h"
#include "protocol/result_names.h"

namespace kavrol::gateway {

using nlohmann::json;

json replyJson(const cli::Outcome& o, bool includeBuffer) {
    json j;
    j["time"] = utcTimestamp();
    j["status"] = o.status;
    j["status_name"] = cli::statusName(o.status);
    j["rtt_ms"] = std::round(o.roundTripMs * 1000.0) / 1000.0;
    if (protocol::isDeviceErrorResult(o.status)) j["device_error_code"] = protocol::deviceErrorCodeOf(o.status);
    if (o.status != KAVROL_OK) {
        j["detail"] = cli::failureDetail(o);
        return j;
    }
    j["reply_code"] = cli::replyCodeOf(o);
    cli::addRecordJson(j, o);
    if (includeBuffer) j["buffer"] = tools::toHex(o.buffer, 0);
    return j;
}

std::string stateJson(const std::string& state, const LineCounts& counts) {
    return json{{"state", state},         {"time", utcTimestamp()},      {"transactions", counts.transactions},
                {"lost", counts.lost},    {"reopened", counts.reopened}, {"dropped", counts.dropped},
                {"queued", counts.queued}}
        .dump();
}

std::string commandErrorJson(const std::string& error, const json& id) {
    json j{{"time", utcTimestamp()}, {"error", error}, {"sent", false}};
    if (!id.is_null()) j["id"] = id;
    return j.dump();
}

}  // namespace kavrol::gateway
