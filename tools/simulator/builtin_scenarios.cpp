#include "simulator/builtin_scenarios.h"

#include <algorithm>
#include <array>
#include <cstdlib>

#include "reply/model_groups.h"

namespace kavrol::tools {

namespace {

// A model group as a device of it answers, and the last reply position its
// code-3 layout reads (0: none). The reply codes its layouts cover come
// from the library's own group table.
struct GroupDevice {
    const char* scenario;
    const char* models;
    unsigned code3Last;
};

constexpr GroupDevice kGroups[] = {
    {"model-0", "0", 0},
    {"model-2-9", "2, 9", 18},
    {"model-23", "23", 38},
    {"model-4-22", "4, 22", 29},
    {"model-5-12-13", "5, 12, 13", 23},
    {"model-11-14", "11, 14", 65},
    {"model-17-24", "17, 24", 80},
    {"model-6", "6", 47},
    {"model-8", "8", 105},
    {"model-18", "18", 241},
    {"model-3-7-10-15-16-20-21", "3, 7, 10, 15, 16, 20, 21", 105},
    {"model-1-19", "1, 19", 0},
};

// "1, 3, 8, 9": the reply codes the layouts of the group's first model cover.
std::string layoutCodesOf(const GroupDevice& g) {
    const reply::GroupLayouts* layouts = reply::groupForModel(static_cast<std::uint32_t>(std::atoi(g.models)));
    std::string codes;
    for (std::size_t c = 0; layouts != nullptr && c < layouts->byReplyCode.size(); ++c) {
        if (layouts->byReplyCode[c] != nullptr) codes += (codes.empty() ? "" : ", ") + std::to_string(c);
    }
    return codes;
}

// "layouts for reply codes 1, 3, 8, 9", or that the group has none.
std::string layoutsText(const GroupDevice& g) {
    const std::string codes = layoutCodesOf(g);
    return codes.empty() ? "no layouts: replies are not normalized" : "layouts for reply codes " + codes;
}

// Last reply position to send per reply code 0..9: what the widest layout
// of that code reads (code 1 of models 3, 7, ... reads up to r[23], code 5
// up to r[26], code 6 up to r[23]); codes without layouts get six bytes.
constexpr std::array<unsigned, 10> kLastByCode = {11, 23, 7, 11, 11, 26, 23, 11, 6, 21};

// Commands 1..9 answer with reply codes 1..9, the second header byte
// echoing the sub-command and payload r[j] = j + sub-command; commands
// 247..255 answer with those device error codes.
Scenario groupScenario(std::string name, std::string description, unsigned code3Last) {
    Scenario s;
    s.name = std::move(name);
    s.description = std::move(description);
    s.routes = {{1, 5}};
    for (unsigned code = 1; code <= 9; ++code) {
        Rule r;
        r.command = static_cast<std::uint8_t>(code);
        r.replyCode = static_cast<std::uint8_t>(code);
        r.patternLast = (code == 3 && code3Last != 0) ? code3Last : kLastByCode[code];
        s.rules.push_back(r);
    }
    for (unsigned code = kFirstDeviceError; code <= 255; ++code) {
        Rule r;
        r.command = static_cast<std::uint8_t>(code);
        r.replyCode = static_cast<std::uint8_t>(code);
        r.note = "device error code " + std::to_string(code);
        s.rules.push_back(r);
    }
    return s;
}

constexpr const char* kGroupHelp =
    "commands 1..9 answer with reply codes 1..9 (r[3] = sub-command, payload r[j] = j + sub-command), "
    "commands 247..255 with those device error codes; route 1,5 is served";

// The tour of the demonstration. The demo's expected values are written
// out by hand from these payloads, so a change here must change them too.
constexpr const char* kDemoJson = R"({
  "name": "demo",
  "description": "the devices of the demonstration tour: a model 2 device on the line, two more behind the multiplexer on route 1,5",
  "routes": [[1, 5]],
  "rules": [
    {"route": [], "command": 1, "reply": 1, "r3": 0, "payload": "2A 07 E8 03 10 27",
     "note": "four measurements: 42, 7, 1000, 10000"},
    {"route": [], "command": 2, "reply": 2, "r3": 0, "payload": "A5 01",
     "note": "eight input bits A5 and a flag"},
    {"route": [1, 5], "command": 6, "reply": 6, "r3": 0,
     "payload": "01 02 12 34 0A 0B 0C 0D 0E 10 27 1A 1B 1C 1D 1E 20 4E",
     "note": "fifteen settings, the last one high byte first"},
    {"route": [1, 5], "command": 3, "reply": 3, "r3": 0,
     "payload": "01 02 81 00 05 06 07 08 09 10 11 12 13 14 15 16 17 18 19 1A FF 0C A0 42",
     "note": "status block"},
    {"route": [], "command": 9, "reply": 9, "r3": 0, "payload": "48 65 6C 6C 6F",
     "note": "free text 'Hello'"},
    {"route": [], "command": 4, "reply": 4, "r3": 0, "payload": "01 02 03",
     "note": "a reply code that no model has a layout for"},
    {"route": [], "command": 20, "reply": 250, "r3": 0, "payload": "",
     "note": "the device refuses: error code 250"},
    {"route": [], "command": 21, "reply": 1, "r3": 0, "payload": "2A 07 E8 03 10 27",
     "faults": [{"kind": "bad-checksum"}], "note": "a reply damaged on the line"},
    {"route": [], "command": 22, "reply": 1, "r3": 0, "payload": "2A 07 E8 03 10 27",
     "faults": [{"kind": "no-reply"}], "note": "the device stays silent"}
  ]
})";

}  // namespace

std::vector<BuiltinInfo> builtinScenarios() {
    std::vector<std::string> names{std::string(kDefaultScenario)};
    for (const GroupDevice& g : kGroups) names.emplace_back(g.scenario);
    names.emplace_back(kDemoScenario);
    std::vector<BuiltinInfo> out;
    for (const std::string& n : names) out.push_back({n, builtinScenario(n)->description});
    return out;
}

std::optional<Scenario> builtinScenario(std::string_view name) {
    if (name == kDemoScenario) return scenarioFromText(kDemoJson);
    if (name == kDefaultScenario) {
        unsigned widest = 0;
        for (const GroupDevice& g : kGroups) widest = std::max(widest, g.code3Last);
        return groupScenario(std::string(name), std::string("replies long enough for every model; ") + kGroupHelp,
                             widest);
    }
    for (const GroupDevice& g : kGroups) {
        if (name == g.scenario) {
            return groupScenario(
                g.scenario,
                std::string("a device of model group {") + g.models + "} (" + layoutsText(g) + "); " + kGroupHelp,
                g.code3Last);
        }
    }
    return std::nullopt;
}

}  // namespace kavrol::tools
