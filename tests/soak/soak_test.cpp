// Soak and fault test over a real pty against kavrol-devsim. Every
// transaction's result must equal what the injected faults predict; every
// successful reply must decode to what the same frame gives on a clean line
// (and, for model 0, to the values of its layout tables); on every other
// result the caller's objects stay untouched; no library call allocates;
// and the simulator's own log of each command must agree.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>
#include <unistd.h>

#include "common/hex.h"
#include "common/scenario.h"
#include "common/serial_port.h"
#include "support/process.h"
#include "kavrol32/kavrol32.h"
#include "reply/reply_reader.h"
#include "soak_options.h"
#include "soak_plan.h"
#include "support/alloc_counter.h"
#include "support/caller_objects.h"
#include "support/temp_dir.h"

namespace kavrol::soak {
namespace {

constexpr std::uint32_t kTimeoutMs = 80;
constexpr std::uint8_t kBufferFill = 0xA5;
constexpr std::uint8_t kRecordFill = 0x5A;
constexpr std::size_t kMaxDetails = 12;

std::int32_t Send(const Transaction& t) {
    const std::uint32_t r0 = t.multiplexed ? kRoute[0] : 0;
    const std::uint32_t r1 = t.multiplexed ? kRoute[1] : 0;
    return MuxSendComm(t.multiplexed ? 2 : 0, t.command, t.subCommand, r0, r1, 0, 0, 0, 0, 0, 0, 0, t.itemCount,
                       t.words[0], t.words[1], t.words[2], t.words[3], t.multiplexed ? 1 : 0, t.raw);
}

// What the library makes of the frame when nothing is in the way.
void ReferenceDecode(std::uint32_t model, const Bytes& frame, test::CallerObjects& out) {
    std::uint8_t area[256] = {};
    std::copy(frame.begin(), frame.end(), area);
    out.fill(kBufferFill, kRecordFill);
    reply::DecodeReply(model, area, out.buffer.data(), out.record.data());
}

// Model 0 writes reply codes 1, 8 and 9 by its layout tables; the values
// follow from the frame alone. Empty when they match.
std::string Model0Check(const Bytes& f, const test::CallerObjects& o) {
    const auto& b = o.buffer;
    const ReplyRecord& rec = o.fields();
    const unsigned last = f[1];
    switch (f[2]) {
        case 1:
            if (b[0] != f[6] || b[1] != 0 || b[2] != f[7] || b[3] != 0 ||
                !std::equal(f.begin() + 8, f.begin() + 12, b.begin() + 4))
                return "code 1 buffer";
            if (rec.code1Word0 != f[6] || rec.code1Word1 != f[7] || rec.code1Word2 != (f[8] | f[9] << 8) ||
                rec.code1Word3 != (f[10] | f[11] << 8))
                return "code 1 record";
            return {};
        case 8:
            return b[0] == f[6] && b[1] == 0 ? std::string() : "code 8 buffer";
        case 9:
            if (!std::equal(f.begin() + 6, f.begin() + last + 1, b.begin()) || b[last - 5] != 0)
                return "code 9 buffer";
            return {};
        default:
            return {};
    }
}

struct Stats {
    std::map<std::int32_t, std::uint64_t> outcomes;
    std::map<std::string, std::uint64_t> faults;
    std::uint64_t faulted = 0;
    std::uint64_t recoveries = 0;        // clean transactions right after a faulted one
    std::uint64_t recoveryFailures = 0;
    std::uint64_t model0Checked = 0;
    std::uint64_t mismatches = 0;
    std::uint64_t allocations = 0;
    std::vector<std::string> details;

    void mismatch(std::uint64_t seq, const std::string& what) {
        ++mismatches;
        if (details.size() < kMaxDetails) details.push_back("#" + std::to_string(seq) + ": " + what);
    }
};

std::string FaultList(const tools::ReplyPlan& plan) {
    std::string s;
    for (const auto& f : plan.applied) s += (s.empty() ? "" : "+") + std::string(tools::faultName(f.kind));
    return s.empty() ? "none" : s;
}

// Compares the simulator's log line of every command with the prediction.
void CheckFaultLog(const std::string& path, const std::vector<Prediction>& predicted, Stats& stats) {
    std::ifstream in(path);
    std::string line;
    std::uint64_t seen = 0;
    while (std::getline(in, line)) {
        const auto j = nlohmann::json::parse(line);
        if (j.contains("dropped")) {
            stats.mismatch(0, "the simulator dropped bytes: " + j.value("reason", std::string()));
            continue;
        }
        const auto seq = j.at("seq").get<std::uint64_t>();
        if (seq == 0 || seq > predicted.size()) {
            stats.mismatch(seq, "log line for a command never sent");
            continue;
        }
        ++seen;
        const Prediction& p = predicted[seq - 1];
        const std::string sent = p.abandoned ? std::string() : tools::toHex(p.plan.bytes);
        if (j.at("expect").get<std::int32_t>() != p.status) stats.mismatch(seq, "simulator expects another status");
        if (j.at("sent").get<std::string>() != sent) stats.mismatch(seq, "simulator sent other bytes");
    }
    if (seen != predicted.size()) stats.mismatch(0, "simulator logged " + std::to_string(seen) + " commands");
}

void Print(const Stats& s, std::uint64_t n, double seconds) {
    std::printf("soak: %llu transactions in %.1f s (%.0f/s), %llu with injected faults\n",
                static_cast<unsigned long long>(n), seconds, static_cast<double>(n) / seconds,
                static_cast<unsigned long long>(s.faulted));
    std::printf("  results:");
    for (const auto& [status, count] : s.outcomes) std::printf("  %d: %llu", status, static_cast<unsigned long long>(count));
    std::printf("\n  faults applied:");
    for (const auto& [kind, count] : s.faults) std::printf("  %s: %llu", kind.c_str(), static_cast<unsigned long long>(count));
    std::printf("\n  first clean transaction after a fault: %llu, failed: %llu\n",
                static_cast<unsigned long long>(s.recoveries), static_cast<unsigned long long>(s.recoveryFailures));
    std::printf("  model 0 replies checked against the layout tables: %llu\n",
                static_cast<unsigned long long>(s.model0Checked));
    std::printf("  heap allocations inside library calls: %llu\n", static_cast<unsigned long long>(s.allocations));
    std::printf("  mismatches: %llu\n", static_cast<unsigned long long>(s.mismatches));
    for (const auto& d : s.details) std::printf("    %s\n", d.c_str());
}

TEST(Soak, EveryResultMatchesTheInjectedFault) {
    const SoakOptions& opt = Options();
    if (opt.devsim.empty()) GTEST_SKIP() << "no kavrol-devsim given (--devsim=PATH)";

    test::TempDir dir;
    const std::string scenario = dir.file("soak.json");
    const std::string faultLog = dir.file("faults.jsonl");
    std::ofstream(scenario) << ScenarioJson();
    std::vector<std::string> args{"--scenario", scenario, "--seed", std::to_string(opt.seed),
                                  "--fault-log", faultLog, "--client-timeout", std::to_string(kTimeoutMs), "--quiet"};
    for (const auto& a : FaultOptions()) args.push_back(a);

    tools::test::Devsim sim(opt.devsim, args);
    const auto port = tools::SerialPort::open(sim.path(), tools::LineSettings{});
    Init_Msg_Bin(0, reinterpret_cast<void*>(static_cast<std::intptr_t>(port->fd())), kTimeoutMs);

    Stats stats;
    std::vector<Prediction> predicted;
    predicted.reserve(opt.transactions);
    test::CallerObjects got;
    test::CallerObjects want;
    bool previousFaulted = false;
    const auto start = std::chrono::steady_clock::now();

    for (std::uint64_t i = 0; i < opt.transactions; ++i) {
        const std::uint64_t seq = i + 1;
        const Transaction t = TransactionAt(i);
        predicted.push_back(Predict(t, opt.seed, seq, kTimeoutMs));
        const Prediction& p = predicted.back();
        got.fill(kBufferFill, kRecordFill);

        test::AllocCounter::start();
        const std::int32_t sent = Send(t);
        const std::int32_t result = got.receive(t.model);
        stats.allocations += test::AllocCounter::stop();

        const bool faulted = !p.plan.applied.empty();
        ++stats.outcomes[result];
        for (const auto& f : p.plan.applied) ++stats.faults[std::string(tools::faultName(f.kind))];
        stats.faulted += faulted ? 1 : 0;
        if (previousFaulted && !faulted) {
            ++stats.recoveries;
            stats.recoveryFailures += result == 1 ? 0 : 1;
        }
        previousFaulted = faulted;

        if (sent != 1) stats.mismatch(seq, "MuxSendComm returned " + std::to_string(sent));
        if (result != p.status) {
            stats.mismatch(seq, "model " + std::to_string(t.model) + " command " + std::to_string(t.command) +
                                    ", faults " + FaultList(p.plan) + ": got " + std::to_string(result) +
                                    ", predicted " + std::to_string(p.status));
            continue;
        }
        if (result == 1) {
            ReferenceDecode(t.model, p.frame, want);
            if (got.buffer != want.buffer || got.record != want.record) stats.mismatch(seq, "decoded objects differ");
            if (t.model == 0) {
                ++stats.model0Checked;
                const std::string bad = Model0Check(p.frame, got);
                if (!bad.empty()) stats.mismatch(seq, "model 0: " + bad);
            }
        } else if (!test::allEqual(got.buffer, kBufferFill) || !test::allEqual(got.record, kRecordFill)) {
            stats.mismatch(seq, "caller objects written on result " + std::to_string(result));
        }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    Init_Msg_Bin(0, nullptr, 0);
    EXPECT_EQ(sim.stop(), 0) << "kavrol-devsim did not end cleanly";
    CheckFaultLog(faultLog, predicted, stats);
    Print(stats, opt.transactions, seconds);

    EXPECT_EQ(stats.mismatches, 0U);
    EXPECT_EQ(stats.recoveryFailures, 0U);
    EXPECT_EQ(stats.allocations, 0U);
    // The faults must have been exercised, each kind and each outcome class.
    for (const char* kind : {"bad-checksum", "truncate", "no-reply", "noise", "device-error", "oversize", "delay"}) {
        EXPECT_GT(stats.faults[kind], 0U) << kind << " never injected";
    }
    EXPECT_GT(stats.outcomes[1], 0U);
    EXPECT_GT(stats.outcomes[-2], 0U);
    EXPECT_GT(stats.outcomes[-3], 0U);
}

}  // namespace
}  // namespace kavrol::soak
