// Every fault the simulator injects reaches the client with the right
// status, and the simulator's fault log predicts what the client sees.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "support/process.h"

namespace kavrol::tools::test {
namespace {

using nlohmann::json;

std::vector<json> readJsonLines(const std::string& text) {
    std::vector<json> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty()) out.push_back(json::parse(line));
    }
    return out;
}

std::vector<json> commandEntries(const std::string& faultLog) {
    std::ifstream in(faultLog);
    std::ostringstream s;
    s << in.rdbuf();
    std::vector<json> out;
    for (json& j : readJsonLines(s.str())) {
        if (j.contains("seq")) out.push_back(std::move(j));
    }
    return out;
}

// The command entries of the fault log once it holds at least n of them
// (or after 10 s).
std::vector<json> waitForEntries(const std::string& faultLog, std::size_t n) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    auto entries = commandEntries(faultLog);
    while (entries.size() < n && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        entries = commandEntries(faultLog);
    }
    return entries;
}

TEST(ToolsFaults, EachFaultIsReportedWithItsStatus) {
    struct Case {
        const char* fault;
        const char* timeoutMs;
        std::int32_t status;  // 0: either -2 or -3, as the noise decides
    };
    const Case cases[] = {
        {"delay:1:100", "1500", 1},          {"no-reply", "300", -2},
        {"truncate:1:10", "300", -2},        {"bad-checksum", "1500", -3},
        {"device-error:1:247", "1500", -12}, {"device-error:1:255", "1500", -4},
        {"oversize:1:251", "1500", -3},      {"noise:1:2", "300", 0},
    };
    for (const Case& c : cases) {
        const std::string log = tempPath("faults.jsonl");
        std::int32_t status = 0;
        {
            Devsim sim({"--quiet", "--fault", c.fault, "--fault-log", log});
            const RunResult r = query(sim.path(), {"--model", "2", "--command", "1", "--timeout", c.timeoutMs});
            const json j = json::parse(r.out);
            status = j["status"].get<std::int32_t>();
            if (c.status != 0) {
                EXPECT_EQ(status, c.status) << c.fault;
            } else {
                EXPECT_TRUE(status == -2 || status == -3) << c.fault << ": " << status;
            }
            EXPECT_EQ(r.exitCode, status == 1 ? 0 : 1) << c.fault;
        }
        const auto entries = commandEntries(log);
        ASSERT_EQ(entries.size(), 1U) << c.fault;
        EXPECT_EQ(entries[0]["expect"], status) << c.fault;
        EXPECT_EQ(entries[0]["faults"].size(), 1U) << c.fault;
        std::remove(log.c_str());
    }
}

TEST(ToolsFaults, ALateReplyIsAbandonedAndSpoilsNoLaterTransaction) {
    const std::string file = tempPath("late.json");
    const std::string log = tempPath("late.jsonl");
    std::ofstream(file) << R"({"rules": [
        {"command": 1, "reply": 1, "payload": "2A", "faults": [{"kind": "delay", "value": 1500}]},
        {"command": 2, "reply": 2, "payload": "A5 01"}]})";
    {
        Devsim sim({"--quiet", "--scenario", file, "--fault-log", log});
        const json late = json::parse(query(sim.path(), {"--model", "2", "--command", "1", "--timeout", "200"}).out);
        EXPECT_EQ(late["status"], -2);
        const json next = json::parse(query(sim.path(), {"--model", "2", "--command", "2"}).out);
        EXPECT_EQ(next["status"], 1);
        EXPECT_EQ(next["reply_code"], 2);
    }
    const auto entries = commandEntries(log);
    ASSERT_EQ(entries.size(), 2U);
    EXPECT_EQ(entries[0]["abandoned"], true);
    EXPECT_EQ(entries[0]["expect"], -2);
    EXPECT_EQ(entries[1]["expect"], 1);
    std::remove(file.c_str());
    std::remove(log.c_str());
}

TEST(ToolsFaults, AReplyLaterThanTheClientTimeOutIsLoggedAsATimeOut) {
    // The last command of a run: no next command cuts the delay short, the
    // simulator sends its reply after the client (both at the default time-out
    // of 1000 ms) has given up.
    const std::string log = tempPath("last.jsonl");
    Devsim sim({"--quiet", "--fault", "delay:1:2000", "--fault-log", log});
    const json j = json::parse(query(sim.path(), {"--model", "2", "--command", "1"}).out);
    EXPECT_EQ(j["status"], -2);
    const auto entries = waitForEntries(log, 1);
    ASSERT_EQ(entries.size(), 1U);
    EXPECT_EQ(entries[0]["abandoned"], false);
    EXPECT_NE(entries[0]["sent"], "");
    EXPECT_EQ(entries[0]["expect"], j["status"]) << entries[0].dump();
    std::remove(log.c_str());
}

// Noise before the reply: the library takes the first byte for the start
// byte; the diagnosis says it is not, and where the reply begins.
TEST(ToolsFaults, NoiseBeforeTheReplyIsNamedInTheDiagnosis) {
    for (const char* seed : {"1", "2", "3"}) {
        Devsim sim({"--quiet", "--seed", seed, "--fault", "noise:1:2"});
        const RunResult r =
            run({KAVROL_CLI_PATH, "query", "--port", sim.path(), "--model", "2", "--command", "1", "--timeout", "300"});
        EXPECT_NE(r.out.find("is not the start byte 3E, a valid reply follows at offset 2"), std::string::npos)
            << "seed " << seed << "\n"
            << r.out;
    }
}

TEST(ToolsFaults, TheReportListsEveryByteThatArrived) {
    // The library stops reading at a bad header, a time-out or a bad
    // checksum; the report still shows all the simulator sent.
    const char* faults[] = {"truncate:1:12", "noise:1:3", "oversize:1:251", "bad-checksum", "no-reply"};
    for (const char* fault : faults) {
        const std::string log = tempPath("arrived.jsonl");
        Devsim sim({"--quiet", "--fault", fault, "--fault-log", log});
        const json j = json::parse(query(sim.path(), {"--model", "2", "--command", "1", "--timeout", "300"}).out);
        const auto entries = waitForEntries(log, 1);
        ASSERT_EQ(entries.size(), 1U) << fault;
        EXPECT_EQ(j["arrived"], entries[0]["sent"]) << fault;
        EXPECT_EQ(j["arrived_ascii"].get<std::string>().size(), (j["arrived"].get<std::string>().size() + 1) / 3)
            << fault;

        const RunResult text =
            run({KAVROL_CLI_PATH, "query", "--port", sim.path(), "--model", "2", "--command", "1", "--timeout", "300"});
        // The first line of the hex dump holds 24 bytes.
        const auto both = waitForEntries(log, 2);
        ASSERT_EQ(both.size(), 2U) << fault;
        const std::string firstLine = both[1]["sent"].get<std::string>().substr(0, 24 * 3 - 1);
        if (!firstLine.empty()) {
            EXPECT_NE(text.out.find("received  " + firstLine), std::string::npos) << fault << "\n" << text.out;
        }
        std::remove(log.c_str());
    }
}

TEST(ToolsFaults, SeededScheduleMatchesTheClientTransactionByTransaction) {
    const std::string log = tempPath("mix.jsonl");
    std::vector<json> results;
    {
        Devsim sim({"--quiet", "--seed", "11", "--fault", "no-reply:0.2", "--fault", "bad-checksum:0.2", "--fault",
                    "device-error:0.2", "--fault", "noise:0.1", "--fault-log", log});
        const RunResult r = query(sim.path(), {"--model", "23", "--command", "6", "--route", "1,5", "--timeout", "400",
                                               "--repeat", "16", "--interval", "0"});
        results = readJsonLines(r.out);
    }
    ASSERT_EQ(results.size(), 17U);  // 16 transactions and the summary
    const auto entries = commandEntries(log);
    ASSERT_EQ(entries.size(), 16U);
    std::set<std::int32_t> seen;
    for (std::size_t i = 0; i < 16; ++i) {
        EXPECT_EQ(entries[i]["seq"], i + 1);
        EXPECT_EQ(results[i]["status"], entries[i]["expect"]) << "transaction " << i + 1 << ": " << entries[i].dump();
        seen.insert(results[i]["status"].get<std::int32_t>());
    }
    EXPECT_GE(seen.size(), 3U);
    EXPECT_EQ(results[16]["summary"]["sent"], 16);
    std::remove(log.c_str());
}

}  // namespace
}  // namespace kavrol::tools::test
