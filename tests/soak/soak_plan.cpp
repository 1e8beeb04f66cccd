#include "soak_plan.h"

#include <algorithm>
#include <stdexcept>

#include "protocol/reply_frame.h"
#include "simulator/scenario.h"
#include "support/frames.h"

namespace kavrol::soak {

namespace {

// Command c is answered with reply code `reply`, r[3] = the sub-command and
// payload r[j] = j + sub-command for j = 6..last.
struct RuleRow {
    std::uint8_t command;
    std::uint8_t reply;
    unsigned last;
};
constexpr RuleRow kRules[] = {
    {1, 1, 23}, {2, 2, 7},  {3, 3, 250}, {4, 4, 11},  {5, 5, 26},
    {6, 6, 23}, {7, 7, 11}, {8, 8, 6},   {9, 9, 250}, {10, 0, 9},
};

// Every model group, the models without normalization, one code above 24.
constexpr std::uint32_t kModels[] = {0, 2, 23, 4, 5, 11, 17, 6, 8, 18, 3, 7, 1, 25};

// Rates in percent; the two delays lie far on either side of the time-out.
const char* const kFaults[] = {
    "bad-checksum:0.02", "truncate:0.02", "no-reply:0.02", "noise:0.02",
    "device-error:0.02", "oversize:0.02", "delay:0.02:5",  "delay:0.01:400",
};

const RuleRow& ruleFor(std::uint8_t command) {
    for (const RuleRow& r : kRules) {
        if (r.command == command) return r;
    }
    throw std::logic_error("no rule for the command");
}

}  // namespace

tools::HostCommand transactionAt(std::uint64_t i) {
    tools::HostCommand t;
    t.command = kRules[i % std::size(kRules)].command;
    t.model = kModels[(i / 7) % std::size(kModels)];
    t.subCommand = static_cast<std::uint8_t>((i / 11) % 4);
    if (i % 3 == 2) {
        t.muxMode = 1;
        t.setRoute(kRoute);
    }
    if (t.command == 8) {
        for (unsigned k = 0; k < 3; ++k) t.raw.push_back(static_cast<std::uint8_t>(i + k));
    } else {
        t.itemCount = static_cast<std::uint8_t>(i % 6);  // 5: no payload
        for (unsigned k = 0; k < 4; ++k) t.words[k] = static_cast<std::uint16_t>(i * 7 + k);
    }
    return t;
}

std::string scenarioJson() {
    std::string rules;
    for (const RuleRow& r : kRules) {
        rules += (rules.empty() ? "" : ",\n    ") + std::string("{\"command\": ") + std::to_string(r.command) +
                 ", \"reply\": " + std::to_string(r.reply) + ", \"pattern_last\": " + std::to_string(r.last) + "}";
    }
    return "{\n  \"name\": \"soak\",\n  \"routes\": [[1, 5]],\n  \"rules\": [\n    " + rules + "\n  ]\n}\n";
}

std::vector<std::string> faultOptions() {
    std::vector<std::string> out;
    for (const char* f : kFaults) {
        out.emplace_back("--fault");
        out.emplace_back(f);
    }
    return out;
}

std::vector<tools::FaultSpec> faultSpecs() {
    std::vector<tools::FaultSpec> out;
    for (const char* f : kFaults) out.push_back(tools::parseFaultText(f));
    return out;
}

Bytes cleanReply(const tools::HostCommand& t) {
    const RuleRow& r = ruleFor(t.command);
    Bytes payload;
    for (unsigned j = 6; j <= r.last; ++j) payload.push_back(static_cast<std::uint8_t>(j + t.subCommand));
    return test::replyFrame(r.reply, t.subCommand, payload);
}

Prediction predict(const tools::HostCommand& t, std::uint64_t seed, std::uint64_t seq, std::uint32_t timeoutMs) {
    Prediction p;
    static const auto faults = faultSpecs();
    p.plan = tools::planReply(cleanReply(t), faults, seed, seq);
    // Delays are either far below the time-out (the reply is read) or far
    // above it (the host gives up; the simulator drops the reply when the
    // next command comes). Anything near it would be a race.
    if (p.plan.delayMs * 4 > timeoutMs && p.plan.delayMs < timeoutMs * 4) {
        throw std::logic_error("a delay fault too close to the time-out");
    }
    p.abandoned = p.plan.delayMs >= timeoutMs;
    p.status = p.abandoned ? protocol::kTimeout : protocol::judgeReply(p.plan.bytes).status;
    // The frame a reader takes if the reply is read after all (a client held
    // up past the delay finds it waiting).
    if (protocol::judgeReply(p.plan.bytes).status == 1) {
        p.frame.assign(p.plan.bytes.begin(), p.plan.bytes.begin() + p.plan.bytes[1] + 1);
    }
    return p;
}

}  // namespace kavrol::soak
