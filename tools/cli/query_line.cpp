#include "cli/query_line.h"

#include <atomic>
#include <chrono>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "cli/report.h"

namespace kavrol::cli {

namespace {

std::atomic<bool> g_interrupted{false};

using Clock = std::chrono::steady_clock;

// Sleeps ms, in short steps so that an interruption ends it soon.
template <typename Stop>
void pause(unsigned ms, Stop stop) {
    const auto until = Clock::now() + std::chrono::milliseconds(ms);
    while (!stop() && Clock::now() < until) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
        std::this_thread::sleep_for(std::min(left, std::chrono::milliseconds(20)));
    }
}

constexpr unsigned kReopenPollMs = 50;

class LineRunner {
public:
    LineRunner(const std::string& port, const QueryOptions& o, const HostCommand& r, PollOutput& out)
        : path_(port), o_(o), r_(r), out_(out) {}

    LineRun run() {
        if (o_.durationMs != 0) deadline_ = Clock::now() + std::chrono::milliseconds(o_.durationMs);
        LineRun result;
        try {
            open();
        } catch (const tools::PortError& e) {
            std::cerr << "kavrol query: " << e.what() << "\n";
            result.portFailed = true;
            return result;
        }
        for (unsigned i = 0; (o_.repeat == 0 || i < o_.repeat) && !stopped(); ++i) {
            if (i != 0) pause(o_.intervalMs, [this] { return stopped(); });
            if (stopped() || (port_->lost() && !followLostPort())) break;
            const Outcome outcome = line_->transact(r_);
            result.stats.add(outcome.status, outcome.roundTripMs);
            report(result.stats.sent(), outcome);
            if (!line_->portLost() && !port_->lost()) continue;
            const bool more = (o_.repeat == 0 || i + 1 < o_.repeat) && !timeUp();
            if (!more) {
                lose();
            } else if (!followLostPort()) {
                break;
            }
        }
        result.portFailed = port_ == nullptr;
        return result;
    }

private:
    bool polling() const { return isPolling(o_); }
    // --duration has passed: no transaction starts any more.
    bool timeUp() const { return deadline_ && Clock::now() >= *deadline_; }
    // Interrupted, the output cannot be written any more, or the time is up.
    bool stopped() const { return queryInterrupted() || out_.failed() || timeUp(); }

    void open() {
        port_ = tools::SerialPort::open(path_, o_.line, !o_.shared);
        line_ = std::make_unique<Line>(port_->fd(), o_.timeoutMs);
    }

    void event(const std::string& what) {
        if (o_.json) {
            out_.write(nlohmann::json{{"port", path_}, {"time", PollOutput::timestamp()}, {"event", what}}.dump() +
                       "\n");
        } else {
            out_.write(PollOutput::timestamp() + "  " + path_ + "  " + what + "\n");
        }
    }

    void lose() {
        event("port lost");
        line_.reset();
        port_.reset();
    }

    // Says "port lost" and, with --reopen, waits for the path to lead to a
    // port again and opens it with the same settings. False when the line
    // ends here.
    bool followLostPort() {
        lose();
        if (!o_.reopen) return false;
        while (!stopped()) {
            try {
                open();
                event("port reopened");
                return true;
            } catch (const tools::PortError&) {
                pause(kReopenPollMs, [this] { return stopped(); });
            }
        }
        return false;
    }

    void report(unsigned seq, const Outcome& outcome) {
        if (o_.json) {
            nlohmann::json j = outcomeJson(path_, r_, outcome);
            if (polling()) {
                j["seq"] = seq;
                j["time"] = PollOutput::timestamp();
            }
            out_.write(j.dump() + "\n");
            return;
        }
        std::ostringstream s;
        if (!polling()) {
            s << "port      " << path_ << " (" << tools::describeLine(o_.line) << ", time-out " << o_.timeoutMs
              << " ms, opened with " << port_->via() << ")\n";
            printOutcome(s, r_, outcome);
        } else {
            s << PollOutput::timestamp() << "  " << path_ << "  #" << seq << "  " << pollSummary(outcome) << "\n";
        }
        out_.write(s.str());
    }

    std::string path_;
    const QueryOptions& o_;
    const HostCommand& r_;
    PollOutput& out_;
    std::unique_ptr<tools::SerialPort> port_;
    std::unique_ptr<Line> line_;
    std::optional<Clock::time_point> deadline_;
};

}  // namespace

void interruptQuery() { g_interrupted.store(true); }
bool queryInterrupted() { return g_interrupted.load(); }

LineRun runLine(const std::string& port, const QueryOptions& o, const HostCommand& r, PollOutput& out) {
    return LineRunner(port, o, r, out).run();
}

}  // namespace kavrol::cli
