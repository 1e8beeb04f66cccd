// What the soak sends and what it must see. The simulator answers from the
// rules below and injects the listed faults by seed; the fault schedule of
// command number seq is the simulator's own pure function (planReply), and
// the status a host must then report is derived here from the bytes that go
// on the line, by the protocol module's judgement of a reply.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/host_command.h"
#include "simulator/fault_plan.h"

namespace kavrol::soak {

using tools::Bytes;

// The command of one transaction of the soak, a pure function of its index.
tools::HostCommand transactionAt(std::uint64_t index);

inline constexpr std::uint8_t kRoute[] = {1, 5};  // of the multiplexed commands

// The simulator's scenario (JSON) and the fault options it is started with.
std::string scenarioJson();
std::vector<std::string> faultOptions();
std::vector<tools::FaultSpec> faultSpecs();

// The reply the scenario gives for a transaction on a clean line.
Bytes cleanReply(const tools::HostCommand& t);

struct Prediction {
    tools::ReplyPlan plan;    // the simulator's schedule for this command
    bool abandoned = false;   // delayed past the time-out: the reply never comes
    std::int32_t status = 0;  // what MuxReceiveComm must return
    Bytes frame;              // a reply read whole: the frame the reader takes
};
Prediction predict(const tools::HostCommand& t, std::uint64_t seed, std::uint64_t seq, std::uint32_t timeoutMs);

}  // namespace kavrol::soak
