#include "gateway/metrics.h"

#include <cstdio>
#include <sstream>

#include "cli/report.h"

namespace kavrol::gateway {

namespace {

std::string seconds(double ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", ms / 1000.0);
    return text;
}

void header(std::ostringstream& s, const char* name, const char* type, const char* help) {
    s << "# HELP " << name << " " << help << "\n# TYPE " << name << " " << type << "\n";
}

}  // namespace

Metrics::Metrics(const GatewayConfig& config) : lines_(config.lines.size()) {
    for (std::size_t i = 0; i < lines_.size(); ++i) lines_[i].name = config.lines[i].name;
}

void Metrics::transaction(std::size_t line, const std::string& device, const std::string& poll, std::int32_t status,
                          double roundTripMs) {
    LineMetrics& m = lines_.at(line);
    const std::lock_guard<std::mutex> lock(m.mutex);
    ++m.transactions[{device, poll, cli::statusName(status)}];
    for (std::size_t b = 0; b < kBucketsMs.size(); ++b) {
        if (roundTripMs <= kBucketsMs[b]) ++m.buckets[b];
    }
    ++m.count;
    m.sumMs += roundTripMs;
}

void Metrics::lineLost(std::size_t line) {
    LineMetrics& m = lines_.at(line);
    const std::lock_guard<std::mutex> lock(m.mutex);
    ++m.lost;
}

std::string Metrics::render(const std::vector<QueueStats>& queues, bool brokerConnected) const {
    std::ostringstream s;
    header(s, "kavrol_gateway_transactions_total", "counter", "Transactions by line, device, poll and status.");
    for (const LineMetrics& m : lines_) {
        const std::lock_guard<std::mutex> lock(m.mutex);
        for (const auto& [key, n] : m.transactions) {
            const auto& [device, poll, status] = key;
            s << "kavrol_gateway_transactions_total{line=\"" << m.name << "\",device=\"" << device << "\",poll=\""
              << poll << "\",status=\"" << status << "\"} " << n << "\n";
        }
    }
    header(s, "kavrol_gateway_round_trip_seconds", "histogram", "Round trip of each transaction, per line.");
    for (const LineMetrics& m : lines_) {
        const std::lock_guard<std::mutex> lock(m.mutex);
        const std::string label = "line=\"" + m.name + "\"";
        for (std::size_t b = 0; b < kBucketsMs.size(); ++b) {
            s << "kavrol_gateway_round_trip_seconds_bucket{" << label << ",le=\"" << seconds(kBucketsMs[b]) << "\"} "
              << m.buckets[b] << "\n";
        }
        s << "kavrol_gateway_round_trip_seconds_bucket{" << label << ",le=\"+Inf\"} " << m.count << "\n";
        s << "kavrol_gateway_round_trip_seconds_sum{" << label << "} " << seconds(m.sumMs) << "\n";
        s << "kavrol_gateway_round_trip_seconds_count{" << label << "} " << m.count << "\n";
    }
    header(s, "kavrol_gateway_queue_depth", "gauge", "Messages of the line waiting for the broker.");
    for (std::size_t i = 0; i < lines_.size() && i < queues.size(); ++i) {
        s << "kavrol_gateway_queue_depth{line=\"" << lines_[i].name << "\"} " << queues[i].depth << "\n";
    }
    header(s, "kavrol_gateway_dropped_messages_total", "counter",
           "Messages dropped because the line's queue was full.");
    for (std::size_t i = 0; i < lines_.size() && i < queues.size(); ++i) {
        s << "kavrol_gateway_dropped_messages_total{line=\"" << lines_[i].name << "\"} " << queues[i].dropped << "\n";
    }
    header(s, "kavrol_gateway_line_lost_total", "counter", "Times the line's port was lost.");
    for (const LineMetrics& m : lines_) {
        const std::lock_guard<std::mutex> lock(m.mutex);
        s << "kavrol_gateway_line_lost_total{line=\"" << m.name << "\"} " << m.lost << "\n";
    }
    header(s, "kavrol_gateway_broker_connected", "gauge", "1 while the broker has accepted the connection.");
    s << "kavrol_gateway_broker_connected " << (brokerConnected ? 1 : 0) << "\n";
    return s.str();
}

}  // namespace kavrol::gateway
