#include "cli/poll_stats.h"

#include <algorithm>
#include <cstdio>

#include <nlohmann/json.hpp>

#include "cli/report.h"
#include "kavrol32/kavrol32.h"
#include "protocol/frame.h"

namespace kavrol::cli {

namespace {

std::string ms(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", v);
    return text;
}

}  // namespace

void PollStats::add(std::int32_t status, double roundTripMs) {
    ++sent_;
    ++byStatus_[status];
    minMs_ = std::min(minMs_, roundTripMs);
    maxMs_ = std::max(maxMs_, roundTripMs);
    sumMs_ += roundTripMs;
}

void PollStats::merge(const PollStats& other) {
    sent_ += other.sent_;
    for (const auto& [status, count] : other.byStatus_) byStatus_[status] += count;
    minMs_ = std::min(minMs_, other.minMs_);
    maxMs_ = std::max(maxMs_, other.maxMs_);
    sumMs_ += other.sumMs_;
}

unsigned PollStats::ok() const {
    const auto it = byStatus_.find(KAVROL_OK);
    return it == byStatus_.end() ? 0 : it->second;
}

std::string PollStats::text() const {
    std::string s = std::to_string(sent_) + " sent";
    const char* sep = ": ";
    for (auto it = byStatus_.rbegin(); it != byStatus_.rend(); ++it) {
        s += sep + statusName(it->first) + " " + std::to_string(it->second) + " (status " + std::to_string(it->first) +
             ")";
        sep = ", ";
    }
    if (sent_ != 0) {
        s += "; round trip min " + ms(minMs_) + " / mean " + ms(sumMs_ / sent_) + " / max " + ms(maxMs_) + " ms";
    }
    return s;
}

nlohmann::json PollStats::json() const {
    unsigned timeout = 0;
    unsigned frame = 0;
    unsigned device = 0;
    nlohmann::json by = nlohmann::json::object();
    for (const auto& [status, count] : byStatus_) {
        by[std::to_string(status)] = count;
        if (status == protocol::kTimeout) timeout += count;
        else if (protocol::isDeviceErrorResult(status)) device += count;
        else if (status != KAVROL_OK) frame += count;
    }
    nlohmann::json j{{"sent", sent_}, {"ok", ok()}, {"timeout", timeout}, {"frame_error", frame},
                     {"device_error", device}, {"by_status", by}};
    if (sent_ != 0) j["rtt_ms"] = {{"min", minMs_}, {"mean", sumMs_ / sent_}, {"max", maxMs_}};
    return j;
}

}  // namespace kavrol::cli
