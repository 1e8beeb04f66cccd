#include "cli/poll_stats.h"

#include <algorithm>
#include <cmath>
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

// Round trips fall into buckets 1 % wide (bucket i holds [r^i, r^(i+1)) µs,
// r = 1.01); a bucket's value is its geometric middle. Times below 1 µs
// share bucket 0.
constexpr double kBucketRatio = 1.01;

int bucketOf(double ms) {
    const double us = ms * 1000.0;
    return us < 1.0 ? 0 : static_cast<int>(std::floor(std::log(us) / std::log(kBucketRatio)));
}

double bucketMiddleMs(int bucket) { return std::pow(kBucketRatio, bucket + 0.5) / 1000.0; }

}  // namespace

void PollStats::add(std::int32_t status, double roundTripMs) {
    ++sent_;
    ++byStatus_[status];
    ++rttBuckets_[bucketOf(roundTripMs)];
    minMs_ = std::min(minMs_, roundTripMs);
    maxMs_ = std::max(maxMs_, roundTripMs);
    sumMs_ += roundTripMs;
}

void PollStats::merge(const PollStats& other) {
    sent_ += other.sent_;
    for (const auto& [status, count] : other.byStatus_) byStatus_[status] += count;
    for (const auto& [bucket, count] : other.rttBuckets_) rttBuckets_[bucket] += count;
    minMs_ = std::min(minMs_, other.minMs_);
    maxMs_ = std::max(maxMs_, other.maxMs_);
    sumMs_ += other.sumMs_;
}

unsigned PollStats::ok() const {
    const auto it = byStatus_.find(KAVROL_OK);
    return it == byStatus_.end() ? 0 : it->second;
}

double PollStats::percentileMs(double q) const {
    if (sent_ == 0) return 0;
    // The smallest round trip with at least q of all at or below it.
    const double wanted = std::max(1.0, std::ceil(q * sent_));
    double seen = 0;
    for (const auto& [bucket, count] : rttBuckets_) {
        seen += count;
        if (seen >= wanted) return std::clamp(bucketMiddleMs(bucket), minMs_, maxMs_);
    }
    return maxMs_;
}

std::string PollStats::text() const {
    std::string s = std::to_string(sent_) + " sent";
    const char* sep = ": ";
    for (auto it = byStatus_.rbegin(); it != byStatus_.rend(); ++it) {
        s += sep + statusName(it->first) + " " + std::to_string(it->second) + " (" + ms(100.0 * it->second / sent_) +
             " %, status " + std::to_string(it->first) + ")";
        sep = ", ";
    }
    if (sent_ != 0) {
        s += "; round trip min " + ms(minMs_) + " / p50 " + ms(percentileMs(0.50)) + " / p95 " +
             ms(percentileMs(0.95)) + " / p99 " + ms(percentileMs(0.99)) + " / mean " + ms(sumMs_ / sent_) + " / max " +
             ms(maxMs_) + " ms";
    }
    return s;
}

nlohmann::json PollStats::json() const {
    unsigned timeout = 0;
    unsigned frame = 0;
    unsigned device = 0;
    nlohmann::json by = nlohmann::json::object();
    nlohmann::json percent = nlohmann::json::object();
    for (const auto& [status, count] : byStatus_) {
        by[std::to_string(status)] = count;
        percent[std::to_string(status)] = 100.0 * count / sent_;
        if (status == protocol::kTimeout)
            timeout += count;
        else if (protocol::isDeviceErrorResult(status))
            device += count;
        else if (status != KAVROL_OK)
            frame += count;
    }
    nlohmann::json j{{"sent", sent_},          {"ok", ok()},      {"timeout", timeout},          {"frame_error", frame},
                     {"device_error", device}, {"by_status", by}, {"percent_by_status", percent}};
    if (sent_ != 0) {
        j["rtt_ms"] = {{"min", minMs_},
                       {"p50", percentileMs(0.50)},
                       {"p95", percentileMs(0.95)},
                       {"p99", percentileMs(0.99)},
                       {"mean", sumMs_ / sent_},
                       {"max", maxMs_}};
    }
    return j;
}

}  // namespace kavrol::cli
