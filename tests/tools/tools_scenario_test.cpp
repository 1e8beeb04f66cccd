// Scenario files and the built-in scenarios.
#include <gtest/gtest.h>

#include <string_view>

#include <nlohmann/json.hpp>

#include "simulator/builtin_scenarios.h"
#include "simulator/scenario.h"

namespace kavrol::tools {
namespace {

using namespace std::string_view_literals;
using protocol::CommandFrameFields;

TEST(ToolsScenario, RejectsMalformedFilesNamingTheKey) {
    struct Case {
        std::string_view json;
        const char* mentions;
    };
    const Case cases[] = {
        {R"({"rules": [{"reply": 1, "paylod": "01"}]})", "unknown key 'paylod'"},
        {R"({"rules": [{"command": 1}]})", "needs \"reply\""},
        {R"({"rules": [{"reply": 256}]})", "rules[0].reply"},
        {R"({"rules": [{"reply": 1, "payload": "0G"}]})", "not a hex digit"},
        {R"({"rules": [{"reply": 1, "route": [1,2,3,4,5,6,7,8,9,10]}]})", "at most 9"},
        {R"({"rules": [{"reply": 1, "faults": [{"kind": "fire"}]}]})", "unknown fault 'fire'"},
        {R"({"rules": [], "faults": [{"kind": "delay", "probability": 1.5}]})", "probability"},
        {R"({"rules": [], "faults": [{"kind": "device-error", "value": 246}]})", "247..255"},
        {R"({"rules": [], "faults": [{"kind": "no-reply", "value": 3}]})", "takes no value"},
        {R"({"rules": [{"reply": 1, "payload": "01", "pattern_last": 9}]})", "not both"},
        {R"({"rules": [)", "not valid JSON"},
        {"{\"rules\": []}\0{\"rules\": 5}"sv, "NUL byte at offset 13"},
        {"{\"rules\": []}\0"sv, "NUL byte"},
        {R"({"rules": []} trailing)", "not valid JSON"},
    };
    for (const Case& c : cases) {
        try {
            scenarioFromText(c.json);
            ADD_FAILURE() << "accepted: " << c.json;
        } catch (const ScenarioError& e) {
            EXPECT_NE(std::string(e.what()).find(c.mentions), std::string::npos) << e.what();
        }
    }
    // 245 payload bytes make L = 250, the longest reply; 246 do not fit.
    const std::string ok = R"({"rules": [{"reply": 1, "payload": ")" + std::string(2 * 245, 'A') + "\"}]}";
    EXPECT_EQ(scenarioFromText(ok).rules[0].payload.size(), 245U);
    const std::string tooLong = R"({"rules": [{"reply": 1, "payload": ")" + std::string(2 * 246, 'A') + "\"}]}";
    EXPECT_THROW(scenarioFromText(tooLong), ScenarioError);
}

TEST(ToolsScenario, FirstMatchingRuleAnswers) {
    const Scenario s = scenarioFromText(R"({
      "routes": [[1, 5]],
      "rules": [
        {"route": [1, 5], "command": 3, "reply": 30},
        {"command": 3, "sub": 1, "reply": 31},
        {"command": 3, "reply": 32},
        {"reply": 99}
      ]})");
    auto ruleFor = [&](Bytes route, std::uint8_t command, std::uint8_t sub) {
        return matchRule(s, CommandFrameFields{!route.empty(), route, command, sub, {}});
    };
    EXPECT_EQ(ruleFor({1, 5}, 3, 1), 0U);
    EXPECT_EQ(ruleFor({}, 3, 1), 1U);
    EXPECT_EQ(ruleFor({}, 3, 0), 2U);
    EXPECT_EQ(ruleFor({}, 4, 0), 3U);
    EXPECT_TRUE(routeServed(s, Bytes{1, 5}));
    EXPECT_FALSE(routeServed(s, Bytes{1}));
    EXPECT_FALSE(routeServed(s, Bytes{}));
}

TEST(ToolsScenario, ReplyEchoesTheSubCommandUnlessToldOtherwise) {
    const Scenario s = scenarioFromText(R"({"rules": [
        {"command": 1, "reply": 1, "payload": [42, 7]},
        {"command": 2, "reply": 2, "r3": 9, "pattern_last": 8}]})");
    const CommandFrameFields c1{false, {}, 1, 4, {}};
    EXPECT_EQ(toHex(replyFor(s.rules[0], c1)), toHex(replyFrame(1, 4, Bytes{42, 7})));
    // pattern: r[j] = j + sub-command, here r[6..8] = 08 09 0A.
    const CommandFrameFields c2{false, {}, 2, 2, {}};
    EXPECT_EQ(toHex(replyFor(s.rules[1], c2)), toHex(replyFrame(2, 9, Bytes{8, 9, 10})));
}

TEST(ToolsScenario, FaultTextOfTheCommandLine) {
    const FaultSpec f = parseFaultText("delay:0.25:300");
    EXPECT_EQ(f.kind, FaultKind::Delay);
    EXPECT_DOUBLE_EQ(f.probability, 0.25);
    EXPECT_EQ(f.value, 300U);
    EXPECT_DOUBLE_EQ(parseFaultText("no-reply").probability, 1.0);
    for (const char* bad : {"fire", "delay:x", "delay:2", "oversize:1:250", "delay:1:1:1", "truncate:1:-3"}) {
        EXPECT_THROW(parseFaultText(bad), ScenarioError) << bad;
    }
}

TEST(ToolsScenario, EveryBuiltinSurvivesItsJsonForm) {
    const auto all = builtinScenarios();
    EXPECT_EQ(all.size(), 14U);  // all-models, twelve model groups, demo
    for (const BuiltinInfo& b : all) {
        const Scenario s = *builtinScenario(b.name);
        const nlohmann::json j = scenarioToJson(s);
        EXPECT_EQ(scenarioToJson(scenarioFromJson(j)), j) << b.name;
    }
    EXPECT_FALSE(builtinScenario("model-99").has_value());
}

TEST(ToolsScenario, GroupScenariosSendWhatTheLayoutsRead) {
    // The last reply position of reply code 3 is the highest that the
    // group's code-3 layout reads.
    struct Case {
        const char* name;
        unsigned code3Last;
    };
    const Case cases[] = {{"model-2-9", 18}, {"model-23", 38},  {"model-17-24", 80},
                          {"model-8", 105},  {"model-18", 241}, {"all-models", 241}};
    for (const Case& c : cases) {
        const Scenario s = *builtinScenario(c.name);
        const auto i = matchRule(s, CommandFrameFields{false, {}, 3, 0, {}});
        ASSERT_TRUE(i.has_value()) << c.name;
        EXPECT_EQ(replyFor(s.rules[*i], CommandFrameFields{false, {}, 3, 0, {}})[1], c.code3Last) << c.name;
    }
    const Scenario s = *builtinScenario("model-6");
    const auto error = matchRule(s, CommandFrameFields{false, {}, 250, 0, {}});
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(s.rules[*error].replyCode, 250);
}

}  // namespace
}  // namespace kavrol::tools
