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
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include <thread>

#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <nlohmann/json.hpp>

#include "common/hex.h"
#include "common/serial_port.h"
#include "kavrol32/kavrol32.h"
#include "protocol/reply_frame.h"
#include "reply/reply_reader.h"
#include "simulator/scenario.h"
#include "soak_options.h"
#include "soak_plan.h"
#include "support/alloc_counter.h"
#include "support/caller_objects.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace kavrol::soak {
namespace {

constexpr std::uint32_t kTimeoutMs = 80;
constexpr std::uint8_t kBufferFill = 0xA5;
constexpr std::uint8_t kRecordFill = 0x5A;
constexpr std::size_t kMaxDetails = 12;
constexpr std::int64_t kOversleepUs = 20000;  // a receive this much past its time-out was descheduled
constexpr int kHoldMs = 200;                  // how long a held-up simulator is stopped

// The exports' arguments are the fields of the command the link API takes.
std::int32_t Send(const tools::HostCommand& t) {
    const KavrolCommand c = t.linkCommand();
    const std::uint8_t* r = c.route;
    return MuxSendComm(c.routeCount, c.command, c.subCommand, r[0], r[1], r[2], r[3], r[4], r[5], r[6], r[7], r[8],
                       c.itemCount, c.words[0], c.words[1], c.words[2], c.words[3], c.muxMode, c.rawData);
}

// What the library makes of the frame when nothing is in the way.
void referenceDecode(std::uint32_t model, const Bytes& frame, test::CallerObjects& out) {
    std::uint8_t area[256] = {};
    std::copy(frame.begin(), frame.end(), area);
    out.fill(kBufferFill, kRecordFill);
    reply::decodeReply(model, area, out.buffer.data(), out.record.data());
}

// Model 0 writes reply codes 1, 8 and 9 by its layout tables; the values
// follow from the frame alone. Empty when they match.
std::string model0Check(const Bytes& f, const test::CallerObjects& o) {
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
        case 8: return b[0] == f[6] && b[1] == 0 ? std::string() : "code 8 buffer";
        case 9:
            if (!std::equal(f.begin() + 6, f.begin() + last + 1, b.begin()) || b[last - 5] != 0) return "code 9 buffer";
            return {};
        default: return {};
    }
}

struct Stats {
    std::map<std::int32_t, std::uint64_t> outcomes;
    std::map<std::string, std::uint64_t> faults;
    std::uint64_t faulted = 0;
    std::uint64_t recoveries = 0;  // clean transactions right after a faulted one
    std::uint64_t recoveryFailures = 0;
    std::uint64_t model0Checked = 0;
    std::uint64_t mismatches = 0;
    std::uint64_t allocations = 0;
    std::uint64_t late = 0;  // time-outs of replies the machine's load made late
    std::vector<std::string> details;

    void mismatch(std::uint64_t seq, const std::string& what) {
        ++mismatches;
        if (details.size() < kMaxDetails) details.push_back("#" + std::to_string(seq) + ": " + what);
    }
};

std::string faultList(const tools::ReplyPlan& plan) {
    std::string s;
    for (const auto& f : plan.applied) s += (s.empty() ? "" : "+") + std::string(tools::faultName(f.kind));
    return s.empty() ? "none" : s;
}

// When a transaction ran, on the monotonic clock the simulator's log uses.
struct Outcome {
    std::int32_t result = 0;
    std::int64_t receiveStartUs = 0;
    std::int64_t receiveEndUs = 0;
    // Bytes of the reply that reached the port only after the call gave up
    // (the kernel can hold a pty's bytes back on a loaded machine).
    bool arrivedAfter = false;
};

std::int64_t NowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Lines of the simulator's fault log by sequence number; dropped runs are mismatches.
std::map<std::uint64_t, nlohmann::json> ReadFaultLog(const std::string& path, Stats& stats) {
    std::map<std::uint64_t, nlohmann::json> bySeq;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        auto j = nlohmann::json::parse(line);
        if (j.contains("dropped")) {
            stats.mismatch(0, "the simulator dropped bytes: " + j.value("reason", std::string()));
            continue;
        }
        const auto seq = j.at("seq").get<std::uint64_t>();
        bySeq[seq] = std::move(j);
    }
    return bySeq;
}

// Judges every transaction by the prediction and by what the simulator's
// log says happened. A reply that went out whole before the client's
// deadline must give the status its bytes predict. A machine under load can
// make it late: the simulator wrote it after the deadline (its log says
// when), the client's call overslept its deadline, or the kernel handed the
// written bytes to the port only after the call had given up (they are
// still queued there afterwards). Then a time-out is
// right too, and the transaction counts as late; whether the reply was
// abandoned during a long delay is also the log's to say.
void judgeRun(const std::string& faultLog, const std::vector<Prediction>& predicted,
              const std::vector<Outcome>& outcomes, std::uint32_t timeoutMs, Stats& stats) {
    const auto log = ReadFaultLog(faultLog, stats);
    if (log.size() != predicted.size())
        stats.mismatch(0, "simulator logged " + std::to_string(log.size()) + " commands");
    for (const auto& [seq, j] : log) {
        if (seq == 0 || seq > predicted.size()) stats.mismatch(seq, "log line for a command never sent");
    }
    const std::int64_t timeoutUs = std::int64_t{timeoutMs} * 1000;
    for (std::uint64_t i = 0; i < predicted.size(); ++i) {
        const std::uint64_t seq = i + 1;
        const auto it = log.find(seq);
        if (it == log.end()) continue;
        const nlohmann::json& j = it->second;
        const Prediction& p = predicted[i];
        const Outcome& o = outcomes[i];
        const bool abandoned = j.at("abandoned").get<bool>();
        const std::string sent = abandoned ? std::string() : tools::toHex(p.plan.bytes);
        if (j.at("sent").get<std::string>() != sent) stats.mismatch(seq, "simulator sent other bytes");
        if (j.at("expect").get<std::int32_t>() != tools::clientVerdict(p.plan, abandoned, timeoutMs).status) {
            stats.mismatch(seq, "simulator expects another status");
        }
        const bool readable = !sent.empty() && !j.at("sent_us").is_null();
        const std::int32_t byBytes = readable ? protocol::judgeReply(p.plan.bytes).status : protocol::kTimeout;
        const bool late = readable && (j.at("sent_us").get<std::int64_t>() > o.receiveStartUs + timeoutUs ||
                                       o.receiveEndUs - o.receiveStartUs > timeoutUs + kOversleepUs || o.arrivedAfter);
        if (o.result == byBytes) continue;
        if (late && o.result == protocol::kTimeout) {
            ++stats.late;
            continue;
        }
        stats.mismatch(seq, "faults " + faultList(p.plan) + ": got " + std::to_string(o.result) + ", predicted " +
                                std::to_string(byBytes) + (late ? " (late)" : ""));
    }
}

void print(const Stats& s, std::uint64_t n, double seconds) {
    std::printf("soak: %llu transactions in %.1f s (%.0f/s), %llu with injected faults\n",
                static_cast<unsigned long long>(n), seconds, static_cast<double>(n) / seconds,
                static_cast<unsigned long long>(s.faulted));
    std::printf("  results:");
    for (const auto& [status, count] : s.outcomes)
        std::printf("  %d: %llu", status, static_cast<unsigned long long>(count));
    std::printf("\n  faults applied:");
    for (const auto& [kind, count] : s.faults)
        std::printf("  %s: %llu", kind.c_str(), static_cast<unsigned long long>(count));
    std::printf("\n  first clean transaction after a fault: %llu, failed: %llu\n",
                static_cast<unsigned long long>(s.recoveries), static_cast<unsigned long long>(s.recoveryFailures));
    std::printf("  model 0 replies checked against the layout tables: %llu\n",
                static_cast<unsigned long long>(s.model0Checked));
    std::printf("  late replies (time-outs under load): %llu\n", static_cast<unsigned long long>(s.late));
    std::printf("  heap allocations inside library calls: %llu\n", static_cast<unsigned long long>(s.allocations));
    std::printf("  mismatches: %llu\n", static_cast<unsigned long long>(s.mismatches));
    for (const auto& d : s.details) std::printf("    %s\n", d.c_str());
}

// Waits until the simulator's log holds command seq (it logs once the
// reply is out), so that a late reply cannot cross the next command.
void awaitLogged(const std::string& faultLog, std::uint64_t seq) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        std::ifstream in(faultLog);
        std::uint64_t lines = 0;
        for (std::string line; std::getline(in, line);) lines += line.find("\"seq\"") != std::string::npos ? 1U : 0U;
        if (lines >= seq) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// Waits (at most 1 s) until the kernel shows the process stopped.
void awaitStopped(pid_t pid) {
    const std::string path = "/proc/" + std::to_string(pid) + "/stat";
    for (int i = 0; i < 1000; ++i) {
        std::ifstream in(path);
        std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const auto close = stat.rfind(')');
        if (close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'T') return;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// Runs `transactions` against a fresh simulator; with holdEvery, the
// simulator is stopped for kHoldMs after every holdEvery-th command is
// sent, as a loaded machine may deschedule it.
Stats runSoak(const SoakOptions& opt, std::uint64_t transactions, std::uint64_t holdEvery) {
    test::TempDir dir;
    const std::string scenario = dir.file("soak.json");
    const std::string faultLog = dir.file("faults.jsonl");
    std::ofstream(scenario) << scenarioJson();
    std::vector<std::string> args{"--scenario",  scenario, "--seed",           std::to_string(opt.seed),
                                  "--fault-log", faultLog, "--client-timeout", std::to_string(kTimeoutMs),
                                  "--quiet"};
    for (const auto& a : faultOptions()) args.push_back(a);

    tools::test::Devsim sim(opt.devsim, args);
    const auto port = tools::SerialPort::open(sim.path(), tools::LineSettings{});
    Init_Msg_Bin(0, reinterpret_cast<void*>(static_cast<std::intptr_t>(port->fd())), kTimeoutMs);

    Stats stats;
    std::vector<Prediction> predicted;
    std::vector<Outcome> outcomes;
    predicted.reserve(transactions);
    outcomes.reserve(transactions);
    test::CallerObjects got;
    test::CallerObjects want;
    bool previousFaulted = false;
    const auto start = std::chrono::steady_clock::now();

    for (std::uint64_t i = 0; i < transactions; ++i) {
        const std::uint64_t seq = i + 1;
        const tools::HostCommand t = transactionAt(i);
        predicted.push_back(predict(t, opt.seed, seq, kTimeoutMs));
        const Prediction& p = predicted.back();
        got.fill(kBufferFill, kRecordFill);

        // A held-up simulator is stopped before the command goes out, so
        // that it cannot have answered before the stop: its reply is late
        // however fast or slow this machine is.
        const bool hold = holdEvery != 0 && seq % holdEvery == 0 && p.plan.delayMs == 0;
        std::thread release;
        if (hold) {
            ::kill(sim.pid(), SIGSTOP);
            awaitStopped(sim.pid());
            release = std::thread([pid = sim.pid()] {
                std::this_thread::sleep_for(std::chrono::milliseconds(kHoldMs));
                ::kill(pid, SIGCONT);
            });
        }
        test::AllocCounter::start();
        const std::int32_t sent = Send(t);
        stats.allocations += test::AllocCounter::stop();
        Outcome o;
        o.receiveStartUs = NowUs();
        test::AllocCounter::start();
        o.result = got.receive(t.model);
        stats.allocations += test::AllocCounter::stop();
        o.receiveEndUs = NowUs();
        outcomes.push_back(o);
        if (release.joinable()) release.join();
        const std::int32_t result = o.result;

        const bool faulted = !p.plan.applied.empty();
        ++stats.outcomes[result];
        for (const auto& f : p.plan.applied) ++stats.faults[std::string(tools::faultName(f.kind))];
        stats.faulted += faulted ? 1 : 0;
        // A time-out that its bytes do not predict may be a late reply; it
        // must be on the line before the next command goes out.
        const bool unexplained = result == protocol::kTimeout && p.status != protocol::kTimeout;
        if (unexplained) {
            awaitLogged(faultLog, seq);
            int queued = 0;
            outcomes.back().arrivedAfter = ::ioctl(port->fd(), FIONREAD, &queued) == 0 && queued > 0;
        }
        if (previousFaulted && !faulted && !unexplained) {
            ++stats.recoveries;
            stats.recoveryFailures += result == 1 ? 0 : 1;
        }
        previousFaulted = faulted;

        if (sent != 1) stats.mismatch(seq, "MuxSendComm returned " + std::to_string(sent));
        if (result == 1) {
            if (p.frame.empty()) {
                stats.mismatch(seq, "model " + std::to_string(t.model) + ": ok for a reply that is not whole");
                continue;
            }
            referenceDecode(t.model, p.frame, want);
            if (got.buffer != want.buffer || got.record != want.record) stats.mismatch(seq, "decoded objects differ");
            if (t.model == 0) {
                ++stats.model0Checked;
                const std::string bad = model0Check(p.frame, got);
                if (!bad.empty()) stats.mismatch(seq, "model 0: " + bad);
            }
        } else if (!test::allEqual(got.buffer, kBufferFill) || !test::allEqual(got.record, kRecordFill)) {
            stats.mismatch(seq, "caller objects written on result " + std::to_string(result));
        }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    Init_Msg_Bin(0, nullptr, 0);
    EXPECT_EQ(sim.stop(), 0) << "kavrol-devsim did not end cleanly";
    judgeRun(faultLog, predicted, outcomes, kTimeoutMs, stats);
    print(stats, transactions, seconds);
    return stats;
}

TEST(Soak, EveryResultMatchesTheInjectedFault) {
    const SoakOptions& opt = options();
    if (opt.devsim.empty()) GTEST_SKIP() << "no kavrol-devsim given (--devsim=PATH)";
    Stats stats = runSoak(opt, opt.transactions, 0);

    EXPECT_EQ(stats.mismatches, 0U);
    EXPECT_EQ(stats.recoveryFailures, 0U);
    EXPECT_EQ(stats.allocations, 0U);
    // Lateness excuses a few transactions of a loaded machine, never the run.
    EXPECT_LE(stats.late * 20, opt.transactions) << "more than 5 % of the replies came late";
    // The faults must have been exercised, each kind and each outcome class.
    for (const char* kind : {"bad-checksum", "truncate", "no-reply", "noise", "device-error", "oversize", "delay"}) {
        EXPECT_GT(stats.faults[kind], 0U) << kind << " never injected";
    }
    EXPECT_GT(stats.outcomes[1], 0U);
    EXPECT_GT(stats.outcomes[-2], 0U);
    EXPECT_GT(stats.outcomes[-3], 0U);
}

// A simulator held up past the client's time-out, as on a busy machine:
// those replies are late, and nothing else is wrong.
TEST(Soak, ASimulatorHeldUpPastTheTimeOutGivesLateRepliesOnly) {
    const SoakOptions& opt = options();
    if (opt.devsim.empty()) GTEST_SKIP() << "no kavrol-devsim given (--devsim=PATH)";
    constexpr std::uint64_t kTransactions = 300;
    constexpr std::uint64_t kHoldEvery = 25;
    Stats stats = runSoak(opt, kTransactions, kHoldEvery);

    EXPECT_EQ(stats.mismatches, 0U);
    EXPECT_EQ(stats.recoveryFailures, 0U);
    EXPECT_GE(stats.late, kTransactions / kHoldEvery / 2) << "the hold-ups made too few replies late";
}

}  // namespace
}  // namespace kavrol::soak
