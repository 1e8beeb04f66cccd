// libmodbus over the same raw-mode pty pair and byte counts as the Kavrol
// round trip: an RTU client (main thread) reads N holding registers, an
// 8-byte request and a 5 + 2N byte reply. Against a libmodbus server in a
// peer thread (libmodbus on both ends), and against the same echo-style peer
// thread the Kavrol benchmark uses (client cost alone). Both contexts are
// bound to the pty descriptors with modbus_set_socket, so neither one
// reconfigures the line; all timeouts are libmodbus's defaults.
#include <benchmark/benchmark.h>
#include <modbus.h>

#include <atomic>
#include <cstdint>
#include <stdexcept>
#include <thread>
#include <vector>

#include "modbus_frames.h"
#include "modbus_rtu.h"
#include "pty_link.h"
#include "round_trip_sizes.h"

namespace {

using namespace kavrol::bench;

class ModbusServer {
public:
    explicit ModbusServer(const PtyPair& link)
        : link_(link), ctx_(rtuOn(link.device())), map_(modbus_mapping_new(0, 0, 125, 0)), thread_([this] { run(); }) {
        for (int i = 0; i < 125; ++i) map_->tab_registers[i] = static_cast<std::uint16_t>(i);
    }
    ~ModbusServer() {
        stop_ = true;
        // One more valid request wakes the server, which then leaves unanswered.
        modbus_t* waker = rtuOn(link_.port());
        std::uint16_t regs[1];
        modbus_set_response_timeout(waker, 0, 1000);
        modbus_read_registers(waker, 0, 1, regs);
        modbus_free(waker);
        thread_.join();
        modbus_mapping_free(map_);
        modbus_free(ctx_);
    }
    ModbusServer(const ModbusServer&) = delete;
    ModbusServer& operator=(const ModbusServer&) = delete;

private:
    void run() {
        std::uint8_t query[MODBUS_RTU_MAX_ADU_LENGTH];
        while (!stop_) {
            const int n = modbus_receive(ctx_, query);
            if (stop_) break;
            if (n > 0) modbus_reply(ctx_, query, n, map_);
        }
    }

    const PtyPair& link_;
    modbus_t* ctx_;
    modbus_mapping_t* map_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

void readLoop(benchmark::State& state, modbus_t* client, int registers) {
    std::uint16_t regs[125];
    for (auto _ : state) {
        if (modbus_read_registers(client, 0, registers, regs) != registers) {
            state.SkipWithError(modbus_strerror(errno));
            break;
        }
        benchmark::DoNotOptimize(regs);
    }
}

void BM_ModbusServer(benchmark::State& state) {
    const std::int64_t replyBytes = state.range(0);
    PtyPair link;
    modbus_t* client = rtuOn(link.port());
    {
        ModbusServer server(link);
        readLoop(state, client, registersForReply(replyBytes));
    }
    modbus_free(client);
    setTransactionCounters(state, replyBytes);
}

void BM_ModbusEcho(benchmark::State& state) {
    const std::int64_t replyBytes = state.range(0);
    const int registers = registersForReply(replyBytes);
    PtyPair link;
    modbus_t* client = rtuOn(link.port());
    {
        EchoPeer peer(link, kRequestBytes, ReadRegistersReply(registers));
        readLoop(state, client, registers);
    }
    modbus_free(client);
    setTransactionCounters(state, replyBytes);
}

}  // namespace

BENCHMARK(BM_ModbusServer)->Name("roundtrip/libmodbus_server")->Apply(replySizeArgs);
BENCHMARK(BM_ModbusEcho)->Name("roundtrip/libmodbus_echo")->Apply(replySizeArgs);

BENCHMARK_MAIN();
