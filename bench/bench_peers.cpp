// Client cost at four peer behaviours over one raw-mode pty: the peer
// answers at once, after 5 ms, one byte per millisecond (a 9600-baud line),
// or never (1 s time-out). The same 8-byte request and 25-byte reply for
// Kavrol32, libmodbus (RTU client, 10 holding registers) and the raw floor
// (write, then a blocking read; poll() for the silent peer), and Kavrol32
// with its waits turned back into a busy loop. Real time per
// transaction; the CPU time is the client thread's only.
#include <benchmark/benchmark.h>
#include <modbus.h>

#include <cstdint>
#include <vector>

#include <poll.h>

#include "decode_cases.h"
#include "host/host_forwarding.h"
#include "kavrol32/kavrol32.h"
#include "modbus_frames.h"
#include "modbus_rtu.h"
#include "pty_link.h"
#include "round_trip_sizes.h"

namespace {

using namespace kavrol::bench;

constexpr std::int64_t kReplyBytes = 25;
constexpr std::uint32_t kTimeoutMs = 1000;
const std::uint8_t kRaw[] = {0x41, 0x42, 0x43};

PeerBehaviour behaviourOf(std::int64_t arg) {
    switch (arg) {
        case 1: return PeerBehaviour{5000, 0, false};
        case 2: return PeerBehaviour{0, 1000, false};
        case 3: return PeerBehaviour{0, 0, true};
        default: return PeerBehaviour{};
    }
}

// Every benchmark here expects the silent peer (argument 3) to time out.
bool silent(const benchmark::State& state) { return state.range(0) == 3; }

void BM_Raw(benchmark::State& state) {
    PtyPair link;
    EchoPeer peer(link, kRequestBytes, replyFrame(9, 0, Filler(kReplyBytes - 6, 9)), behaviourOf(state.range(0)));
    const std::vector<std::uint8_t> request(kRequestBytes, 0x41);
    std::vector<std::uint8_t> reply(kReplyBytes);
    for (auto _ : state) {
        bool ok = writeWhole(link.port(), request.data(), request.size());
        if (ok && silent(state)) {
            pollfd p{link.port(), POLLIN, 0};
            ok = ::poll(&p, 1, static_cast<int>(kTimeoutMs)) == 0;
        } else if (ok) {
            ok = readWhole(link.port(), reply.data(), reply.size());
        }
        if (!ok) {
            state.SkipWithError("raw transfer failed");
            break;
        }
    }
    setTransactionCounters(state, kReplyBytes);
}

// The waits as they were before they slept: every wait returns at once, so
// the link looks at the queues in a busy loop.
class SpinningHost final : public kavrol::host::ForwardingHost {
public:
    SpinningHost() : ForwardingHost(kavrol::host::platform()) {}
    kavrol::host::PortOutcome waitPort(kavrol::host::PortHandle, const kavrol::host::PortWait&,
                                       std::uint32_t) override {
        return kavrol::host::PortOutcome::Done;
    }
};

template <bool kSpinning>
void BM_Kavrol(benchmark::State& state) {
    SpinningHost spinning;
    kavrol::host::Host& host = kSpinning ? static_cast<kavrol::host::Host&>(spinning) : kavrol::host::platform();
    const kavrol::host::ScopedHost scoped(host);
    PtyPair link;
    EchoPeer peer(link, kRequestBytes, replyFrame(9, 0, Filler(kReplyBytes - 6, 9)), behaviourOf(state.range(0)));
    Init_Msg_Bin(0, reinterpret_cast<void*>(static_cast<std::intptr_t>(link.port())), kTimeoutMs);
    std::vector<std::uint8_t> buffer(KAVROL_REPLY_BUFFER_SIZE);
    ReplyRecord record{};
    const std::int32_t expected = silent(state) ? -2 : 1;
    for (auto _ : state) {
        if (MuxSendComm(0, 8, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0, 0, 0, kRaw) != 1 ||
            MuxReceiveComm(0, buffer.data(), &record) != expected) {
            state.SkipWithError("transaction failed");
            break;
        }
    }
    Init_Msg_Bin(0, nullptr, 0);
    setTransactionCounters(state, kReplyBytes);
}

void BM_Modbus(benchmark::State& state) {
    const int registers = registersForReply(kReplyBytes);
    PtyPair link;
    modbus_t* client = rtuOn(link.port());
    modbus_set_response_timeout(client, kTimeoutMs / 1000, 0);
    {
        EchoPeer peer(link, kRequestBytes, ReadRegistersReply(registers), behaviourOf(state.range(0)));
        std::uint16_t regs[125];
        const int expected = silent(state) ? -1 : registers;
        for (auto _ : state) {
            if (modbus_read_registers(client, 0, registers, regs) != expected) {
                state.SkipWithError(modbus_strerror(errno));
                break;
            }
        }
    }
    modbus_free(client);
    setTransactionCounters(state, kReplyBytes);
}

// Arguments 0..2 run for the usual minimum time; the silent peer costs a
// second per transaction, so it runs a fixed few.
void AnsweringPeers(benchmark::internal::Benchmark* b) { b->DenseRange(0, 2)->UseRealTime(); }
void SilentPeer(benchmark::internal::Benchmark* b) { b->Arg(3)->Iterations(3)->UseRealTime(); }

}  // namespace

BENCHMARK(BM_Raw)->Name("peers/raw")->Apply(AnsweringPeers);
BENCHMARK(BM_Kavrol<false>)->Name("peers/kavrol")->Apply(AnsweringPeers);
BENCHMARK(BM_Kavrol<true>)->Name("peers/kavrol_spinning")->Apply(AnsweringPeers);
BENCHMARK(BM_Modbus)->Name("peers/libmodbus")->Apply(AnsweringPeers);
BENCHMARK(BM_Raw)->Name("peers/raw")->Apply(SilentPeer);
BENCHMARK(BM_Kavrol<false>)->Name("peers/kavrol")->Apply(SilentPeer);
BENCHMARK(BM_Kavrol<true>)->Name("peers/kavrol_spinning")->Apply(SilentPeer);
BENCHMARK(BM_Modbus)->Name("peers/libmodbus")->Apply(SilentPeer);

BENCHMARK_MAIN();
