// Polling runs: --duration beside --repeat, and the summary's share per
// status and round-trip percentiles, checked against the run's own lines.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <functional>
#include <map>

#include <nlohmann/json.hpp>

#include "support/json_lines.h"
#include "support/process.h"

namespace kavrol::tools::test {
namespace {

using nlohmann::json;

double secondsOf(const std::function<void()>& f) {
    const auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST(ToolsPoll, DurationEndsTheRunAndRepeatStillCounts) {
    Devsim sim({"--quiet"});
    struct Case {
        std::vector<std::string> args;
        double atLeastS;     // the run lasts this long at least
        unsigned exactSent;  // 0: any number of at least 2
    };
    const Case cases[] = {
        {{"--duration", "1s", "--interval", "50"}, 1.0, 0},
        {{"--duration", "1200ms", "--interval", "100"}, 1.2, 0},
        // --repeat ends the run first.
        {{"--duration", "2m", "--repeat", "3", "--interval", "0"}, 0, 3},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args{"--model", "2", "--command", "1"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        RunResult r;
        const double seconds = secondsOf([&] { r = query(sim.path(), args); });
        const std::vector<json> lines = jsonLines(r.out);
        ASSERT_GE(lines.size(), 2U) << c.args[1] << "\n" << r.out << r.err;
        EXPECT_EQ(r.exitCode, 0) << r.err;
        const json& summary = lines.back()["summary"];
        ASSERT_TRUE(summary.is_object()) << r.out;
        EXPECT_EQ(summary["sent"], lines.size() - 1);
        if (c.exactSent != 0) {
            EXPECT_EQ(summary["sent"], c.exactSent);
        } else {
            EXPECT_GE(summary["sent"].get<unsigned>(), 2U) << r.out;
        }
        EXPECT_GE(seconds, c.atLeastS) << c.args[1];
        // No transaction starts after the time is up: the run ends within
        // one transaction and one interval of it (wide margin for a loaded machine).
        EXPECT_LT(seconds, c.atLeastS + 20.0) << c.args[1];
    }
}

TEST(ToolsPoll, BadDurationsAreRefused) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"10x", "'10x' is not a duration such as 10s, 500ms, 2m or 1h"},
        {"-1s", "'-1s' is not a duration"},
        {"s", "'s' is not a duration"},
        {"0s", "a duration of 0 polls nothing"},
        {"367d", "'367d' is not a duration"},
        {"9000h", "is not a duration"},
    };
    for (const auto& [text, message] : cases) {
        const RunResult r = run(
            {KAVROL_CLI_PATH, "query", "--port", "/dev/null", "--model", "2", "--command", "1", "--duration", text});
        EXPECT_EQ(r.exitCode, 2) << text << "\n" << r.err;
        EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
    }
}

// The round trip below which a share q of the values lie, by the summary's
// rule: the ceil(q * n)-th smallest.
double percentile(std::vector<double> values, double q) {
    std::sort(values.begin(), values.end());
    const std::size_t rank =
        std::max<std::size_t>(1, static_cast<std::size_t>(std::ceil(q * static_cast<double>(values.size()))));
    return values[rank - 1];
}

TEST(ToolsPoll, SummaryGivesTheShareOfEachStatusAndRoundTripPercentiles) {
    // A seeded quarter of the commands get no reply: a time-out of 200 ms
    // among round trips of a millisecond or so.
    Devsim sim({"--quiet", "--seed", "5", "--fault", "no-reply:0.25"});
    const RunResult r =
        query(sim.path(), {"--model", "2", "--command", "1", "--repeat", "40", "--interval", "0", "--timeout", "200"});
    const std::vector<json> lines = jsonLines(r.out);
    ASSERT_EQ(lines.size(), 41U) << r.out << r.err;
    std::vector<double> rtts;
    std::map<std::string, unsigned> counts;
    for (std::size_t i = 0; i < 40; ++i) {
        rtts.push_back(lines[i]["rtt_ms"].get<double>());
        ++counts[std::to_string(lines[i]["status"].get<int>())];
    }
    ASSERT_GE(counts.size(), 2U) << "the seed gives both results";
    const json& s = lines[40]["summary"];
    double total = 0;
    for (const auto& [status, count] : counts) {
        EXPECT_EQ(s["by_status"][status], count);
        EXPECT_DOUBLE_EQ(s["percent_by_status"][status].get<double>(), 100.0 * count / 40) << status;
        total += s["percent_by_status"][status].get<double>();
    }
    EXPECT_DOUBLE_EQ(total, 100.0);
    const json& rtt = s["rtt_ms"];
    for (const auto& [name, q] : {std::pair{"p50", 0.50}, std::pair{"p95", 0.95}, std::pair{"p99", 0.99}}) {
        const double expected = percentile(rtts, q);
        EXPECT_NEAR(rtt[name].get<double>(), expected, expected * 0.011 + 0.001) << name;
    }
    EXPECT_LE(rtt["min"].get<double>(), rtt["p50"].get<double>());
    EXPECT_LE(rtt["p99"].get<double>(), rtt["max"].get<double>());
    // The time-outs are the slow end.
    EXPECT_GE(rtt["p99"].get<double>(), 200.0);

    // The text summary says the same.
    const RunResult plain = run({KAVROL_CLI_PATH, "query", "--port", sim.path(), "--model", "2", "--command", "1",
                                 "--repeat", "4", "--interval", "0", "--timeout", "200"});
    EXPECT_NE(plain.out.find(" sent: "), std::string::npos) << plain.out;
    EXPECT_NE(plain.out.find(" %, status "), std::string::npos) << plain.out;
    for (const char* p : {" / p50 ", " / p95 ", " / p99 "})
        EXPECT_NE(plain.out.find(p), std::string::npos) << plain.out;
}

}  // namespace
}  // namespace kavrol::tools::test
