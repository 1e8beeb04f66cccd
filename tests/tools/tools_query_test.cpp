// kavrol-devsim and kavrol query --json as separate processes over a
// pseudo-terminal. Expected values are worked out from the layout tables
// for the built-in payload r[j] = j + sub-command.
#include <gtest/gtest.h>

#include <fstream>

#include <nlohmann/json.hpp>

#include "support/process.h"

namespace kavrol::tools::test {
namespace {

using nlohmann::json;

json queryJson(const Devsim& sim, const std::vector<std::string>& args, int expectedExit = 0) {
    const RunResult r = query(sim.path(), args);
    EXPECT_EQ(r.exitCode, expectedExit) << r.err << "\nsimulator:\n" << sim.log();
    try {
        return json::parse(r.out);
    } catch (const json::exception&) {
        ADD_FAILURE() << "no JSON: " << r.out << r.err;
        return json::object();
    }
}

class ToolsQuery : public ::testing::Test {
protected:
    static void SetUpTestSuite() { sim_ = new Devsim({"--scenario", "all-models"}); }
    static void TearDownTestSuite() {
        delete sim_;
        sim_ = nullptr;
    }
    static Devsim* sim_;
};
Devsim* ToolsQuery::sim_ = nullptr;

TEST_F(ToolsQuery, Model2ReplyCode1Direct) {
    const json j = queryJson(*sim_, {"--model", "2", "--command", "1"});
    EXPECT_EQ(j["status"], 1);
    EXPECT_EQ(j["status_name"], "ok");
    EXPECT_EQ(j["sent"], "05 01 00 05 3D");
    EXPECT_EQ(j["reply_code"], 1);
    EXPECT_EQ(j["buffer"], json::parse(R"([{"at": 0, "bytes": [6, 0, 7, 0, 8, 9, 10, 11]}])"));
    EXPECT_EQ(j["record"]["code1Word0"], 6);
    EXPECT_EQ(j["record"]["code1Word1"], 7);
    EXPECT_EQ(j["record"]["code1Word2"], 0x0908);
    EXPECT_EQ(j["record"]["code1Word3"], 0x0B0A);
    EXPECT_EQ(j["record_from_caller_buffer"],
              json::parse(R"(["code1Word4", "code1Word5", "code1Word6", "code1Word7", "code1Word8", "code1Word9"])"));
}

TEST_F(ToolsQuery, Model23ReplyCode3ThroughTheMultiplexer) {
    const json j = queryJson(*sim_, {"--model", "23", "--command", "3", "--route", "1,5"});
    EXPECT_EQ(j["status"], 1);
    EXPECT_EQ(j["request"]["multiplexed"], true);
    EXPECT_EQ(j["sent"], "24 0B 29 02 01 05 3C 05 03 00 05 3F");
    const json& rec = j["record"];
    EXPECT_EQ(rec["code3Words"][0], 0x0706);
    EXPECT_EQ(rec["code3Words"][7], 0x1514);
    EXPECT_EQ(rec["code3Words"][8], 0);
    EXPECT_EQ(rec["code3Bytes"][0], 22);
    EXPECT_EQ(rec["code3QuadA"][0], 23);
    EXPECT_EQ(rec["code3Words2"][0], 0x1918);
    EXPECT_EQ(rec["code3Words2"][1], 0x1B1A);
    EXPECT_EQ(rec["code3Longs"][0], 0x1F1E1D1CU);
    EXPECT_EQ(rec["code3Longs"][1], 0x23222120U);
    // The top byte of code3Longs[2] (buffer 128) is not written.
    EXPECT_EQ(rec["code3Longs"][2], 0x00262524U);
    const auto caller = j["record_from_caller_buffer"].get<std::vector<std::string>>();
    EXPECT_NE(std::find(caller.begin(), caller.end(), "code3Bytes[1..24]"), caller.end());
}

TEST_F(ToolsQuery, Model5ReplyCode3WithEmptyRoute) {
    // --mux with no route: an envelope whose route count is 0; the scenario serves route 1,5 only.
    const json dropped = queryJson(*sim_, {"--model", "5", "--command", "3", "--mux", "--timeout", "300"}, 1);
    EXPECT_EQ(dropped["status"], -2);
    EXPECT_EQ(dropped["sent"].get<std::string>().substr(0, 14), "24 09 2D 00 3C");

    const json j = queryJson(*sim_, {"--model", "5", "--command", "3", "--route", "1,5", "--sub", "0"});
    EXPECT_EQ(j["record"]["code3Words"][0], 0x1110);
    EXPECT_EQ(j["record"]["code3Words"][3], 0x1716);
    EXPECT_EQ(j["record"]["code3Bytes"][0], 6);
    EXPECT_EQ(j["record"]["code3Bytes"][9], 15);
    EXPECT_EQ(j["record"]["code3Bytes"][10], 0);
}

TEST_F(ToolsQuery, Model3ReplyCode1FillsAllTenWords) {
    const json j = queryJson(*sim_, {"--model", "3", "--command", "1"});
    EXPECT_EQ(j["record"]["code1Word0"], 6);
    EXPECT_EQ(j["record"]["code1Word4"], 0x0D0C);
    EXPECT_EQ(j["record"]["code1Word9"], 0x1716);
    EXPECT_EQ(j["record_from_caller_buffer"], json::array());
}

TEST_F(ToolsQuery, Model8ReplyCode2IsOneWord) {
    const json j = queryJson(*sim_, {"--model", "8", "--command", "2"});
    EXPECT_EQ(j["buffer"], json::parse(R"([{"at": 0, "bytes": [6, 0]}])"));
    EXPECT_EQ(j["record"]["code2Word0"], 6);
}

TEST_F(ToolsQuery, Model0ReplyCode9CopiesThePayload) {
    // Sub-command 1: r[j] = j + 1, so r[6..21] = 7..22, then one zero byte.
    const json j = queryJson(*sim_, {"--model", "0", "--command", "9", "--sub", "1"});
    EXPECT_EQ(j["r3"], 1);
    std::vector<int> expected;
    for (int v = 7; v <= 22; ++v) expected.push_back(v);
    expected.push_back(0);
    EXPECT_EQ(j["buffer"][0]["at"], 0);
    EXPECT_EQ(j["buffer"][0]["bytes"].get<std::vector<int>>(), expected);
    EXPECT_EQ(j["record"], json::object());
}

TEST_F(ToolsQuery, Model19WritesNoBuffer) {
    const json j = queryJson(*sim_, {"--model", "19", "--command", "6"});
    EXPECT_EQ(j["status"], 1);
    EXPECT_EQ(j["buffer"], json::array());
    EXPECT_EQ(j["record"]["code6Word2"], 0);
    EXPECT_EQ(j["record_from_caller_buffer"].size(), 9U);
}

TEST_F(ToolsQuery, DeviceErrorCommand) {
    const json j = queryJson(*sim_, {"--model", "2", "--command", "250"}, 1);
    EXPECT_EQ(j["status"], -9);
    EXPECT_EQ(j["status_name"], "device-error");
    EXPECT_EQ(j["device_error_code"], 250);
    EXPECT_FALSE(j.contains("record"));
}

TEST_F(ToolsQuery, RawPayloadCommand) {
    // Command 8 answers with reply code 8: out 0 = r[6], out 1 = 0.
    const json j = queryJson(*sim_, {"--model", "2", "--command", "8", "--raw", "41 42 43", "--sub", "1"});
    EXPECT_EQ(j["sent"], "08 08 01 4B 36 41 42 43");
    EXPECT_EQ(j["buffer"], json::parse(R"([{"at": 0, "bytes": [7, 0]}])"));
}

TEST(ToolsQueryFile, ScenarioFileServesItsRoute) {
    const std::string file = tempPath("scenario.json");
    std::ofstream(file) << R"({"routes": [[2]], "rules": [
        {"route": [2], "command": 6, "reply": 6, "payload": "01 02 12 34 0A 0B 0C 0D 0E 10 27 1A 1B 1C 1D 1E 20 4E"}]})";
    Devsim sim({"--scenario", file});
    const json j = queryJson(sim, {"--model", "9", "--command", "6", "--route", "2"});
    EXPECT_EQ(j["record"]["code6Word0"], 1);
    EXPECT_EQ(j["record"]["code6Pair2"], json::parse("[10000, 20000]"));
    EXPECT_EQ(j["record"]["code6Word2"], 0x1234);
    // No rule answers a direct command 6.
    EXPECT_EQ(queryJson(sim, {"--model", "9", "--command", "6", "--timeout", "300"}, 1)["status"], -2);
    std::remove(file.c_str());
}

}  // namespace
}  // namespace kavrol::tools::test
