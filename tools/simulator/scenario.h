// Scenarios: what the simulated devices answer, and which faults they inject.
//
// JSON form (every key but "rules" optional; unknown keys are errors):
//   {
//     "name": "example", "description": "...",
//     "routes": [[1, 5]],                  multiplexer routes served
//     "faults": [FAULT, ...],              applied to every reply
//     "rules": [{
//       "route": [1, 5],                   match only this route ([] = direct)
//       "command": 3, "sub": 0,            match only this command / sub-command
//       "reply": 1,                        reply code r[2]
//       "r3": 0,                           second header byte (default: echo sub)
//       "payload": "2A 00 07",             hex text, or an array of numbers
//       "pattern_last": 30,                instead of "payload": r[6..30] with
//                                          r[j] = j + sub-command (mod 256)
//       "faults": [FAULT, ...],            applied to this rule's replies
//       "note": "..."
//     }]
//   }
//   FAULT: {"kind": K, "probability": 0.25, "value": N}
//     delay (value ms, default 200), no-reply, truncate (value = bytes kept),
//     bad-checksum, device-error (value = code 247..255), noise (value = number
//     of bytes), oversize (value = L 251..255). Without a value, one is drawn.
// The first rule that matches a command answers it; no match, no reply.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "common/wire.h"

namespace kavrol::tools {

enum class FaultKind { Delay, NoReply, Truncate, BadChecksum, DeviceError, Noise, Oversize };

inline constexpr FaultKind kAllFaultKinds[] = {FaultKind::Delay,       FaultKind::NoReply,     FaultKind::Truncate,
                                               FaultKind::BadChecksum, FaultKind::DeviceError, FaultKind::Noise,
                                               FaultKind::Oversize};

std::string_view faultName(FaultKind kind);
std::optional<FaultKind> faultKindNamed(std::string_view name);

struct FaultSpec {
    FaultKind kind = FaultKind::NoReply;
    double probability = 1.0;
    std::optional<std::uint32_t> value;
};

// "kind", "kind:probability" or "kind:probability:value", as typed on a
// command line. Throws ScenarioError.
FaultSpec parseFaultText(std::string_view text);

struct Rule {
    std::optional<Bytes> route;
    std::optional<std::uint8_t> command;
    std::optional<std::uint8_t> subCommand;
    std::uint8_t replyCode = 0;
    std::optional<std::uint8_t> header3;  // nullopt: echo the sub-command
    Bytes payload;
    std::optional<unsigned> patternLast;  // payload r[6..last], r[j] = j + sub
    std::vector<FaultSpec> faults;
    std::string note;
};

struct Scenario {
    std::string name;
    std::string description;
    std::vector<Bytes> routes;
    std::vector<FaultSpec> faults;
    std::vector<Rule> rules;
};

class ScenarioError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Throws ScenarioError naming the offending key.
Scenario scenarioFromJson(const nlohmann::json& j);
Scenario scenarioFromText(std::string_view text);
// A regular file of at most kMaxScenarioFileBytes; anything else (a FIFO,
// a device, a directory) is refused without reading it.
inline constexpr std::size_t kMaxScenarioFileBytes = 1 << 20;
Scenario scenarioFromFile(const std::string& path);
nlohmann::json scenarioToJson(const Scenario& s);

// The reply frame a rule gives for a command.
Bytes replyFor(const Rule& r, const protocol::CommandFrameFields& c);

// The index of the first rule answering the command, if any.
std::optional<std::size_t> matchRule(const Scenario& s, const protocol::CommandFrameFields& c);

// Whether a multiplexed frame with this route reaches the simulated devices.
bool routeServed(const Scenario& s, std::span<const std::uint8_t> route);

}  // namespace kavrol::tools
