// Transactions over a real serial port through the Win32 host layer. The
// device on the far end follows peer_script.txt, step by step in this order;
// the step names are the same on both sides. The peer answers every send
// before the next one, so that no purge can meet unread bytes (see there).
#include "wine_transactions.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "wine_serial.h"

namespace kavrol::wintest {

namespace {

constexpr std::uint32_t kTimeoutMs = 5000;  // generous: the peer is a script on a shared machine
constexpr std::uint32_t kShortTimeoutMs = 300;
constexpr std::uint8_t kBufferFill = 0xA5;
constexpr std::uint8_t kRecordFill = 0x5A;
constexpr unsigned kBufferSize = KAVROL_REPLY_BUFFER_SIZE + 16;  // room to see stray writes

struct Command {
    std::uint32_t routeCount = 0;
    std::uint32_t command = 0;
    std::uint32_t subCommand = 0;
    std::uint32_t route[9] = {};
    std::uint32_t itemCount = 0;
    std::uint32_t words[4] = {};
    std::uint32_t muxMode = 0;
    const std::uint8_t* rawData = nullptr;
};

// Command 5, sub-command 7, no payload: the request of every reply step.
Command request() {
    Command c;
    c.command = 5;
    c.subCommand = 7;
    return c;
}

std::int32_t send(const Library& lib, const Command& c) {
    return lib.muxSendComm(c.routeCount, c.command, c.subCommand, c.route[0], c.route[1], c.route[2], c.route[3],
                           c.route[4], c.route[5], c.route[6], c.route[7], c.route[8], c.itemCount, c.words[0],
                           c.words[1], c.words[2], c.words[3], c.muxMode, c.rawData);
}

// The caller's objects before and after one MuxReceiveComm.
struct Outcome {
    std::uint8_t buffer[kBufferSize];
    ReplyRecord record;
    std::int32_t result = 0;
    DWORD elapsedMs = 0;
    double wallMs = 0;  // the same, from the performance counter
    double cpuMs = 0;   // this thread's CPU time (user + kernel) in the call
};

double threadCpuMs() {
    FILETIME created, exited, kernel, user;
    if (!::GetThreadTimes(::GetCurrentThread(), &created, &exited, &kernel, &user)) return 0;
    const auto ticks = [](const FILETIME& t) {
        return (static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
    };
    return static_cast<double>(ticks(kernel) + ticks(user)) / 10000.0;  // 100 ns units
}

double counterMs() {
    LARGE_INTEGER now, frequency;
    ::QueryPerformanceCounter(&now);
    ::QueryPerformanceFrequency(&frequency);
    return 1000.0 * static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

struct Expected {
    std::uint8_t buffer[kBufferSize];
    ReplyRecord record;

    Expected() {
        std::memset(buffer, kBufferFill, sizeof buffer);
        std::memset(&record, kRecordFill, sizeof record);
    }
    void bytes(unsigned pos, std::initializer_list<std::uint8_t> values) {
        for (std::uint8_t v : values) buffer[pos++] = v;
    }
};

// Receives one reply into prefilled caller objects.
Outcome receive(const Library& lib, std::uint32_t modelCode) {
    Outcome out;
    std::memset(out.buffer, kBufferFill, sizeof out.buffer);
    std::memset(&out.record, kRecordFill, sizeof out.record);
    const DWORD start = ::GetTickCount();
    const double wallStart = counterMs();
    const double cpuStart = threadCpuMs();
    out.result = lib.muxReceiveComm(modelCode, out.buffer, &out.record);
    out.cpuMs = threadCpuMs() - cpuStart;
    out.wallMs = counterMs() - wallStart;
    out.elapsedMs = ::GetTickCount() - start;
    return out;
}

// Sends the request, then receives the reply.
Outcome transact(const Library& lib, Checks& checks, std::uint32_t modelCode) {
    checks.equal(send(lib, request()), KAVROL_OK, "MuxSendComm of the request");
    return receive(lib, modelCode);
}

void compareBytes(Checks& checks, const char* what, const void* got, const void* want, unsigned size) {
    const auto* g = static_cast<const std::uint8_t*>(got);
    const auto* w = static_cast<const std::uint8_t*>(want);
    unsigned shown = 0;
    for (unsigned i = 0; i < size && shown < 8; ++i) {
        if (g[i] != w[i]) {
            checks.check(false, "%s byte %u: got 0x%02X, want 0x%02X", what, i, g[i], w[i]);
            ++shown;
        }
    }
    if (shown == 0) checks.check(true, "");
}

void expectDecoded(Checks& checks, const Outcome& got, const Expected& want) {
    checks.equal(got.result, KAVROL_OK, "MuxReceiveComm");
    compareBytes(checks, "buffer", got.buffer, want.buffer, kBufferSize);
    compareBytes(checks, "record", &got.record, &want.record, sizeof(ReplyRecord));
}

// A failed receive, or a reply of a code without layout or record region,
// leaves both caller objects as they were.
void expectUntouched(Checks& checks, const Outcome& got, std::int32_t result) {
    checks.equal(got.result, result, "MuxReceiveComm");
    const Expected untouched;
    compareBytes(checks, "buffer", got.buffer, untouched.buffer, kBufferSize);
    compareBytes(checks, "record", &got.record, &untouched.record, sizeof(ReplyRecord));
}

std::uint8_t pattern(unsigned i, unsigned mul, unsigned add) { return static_cast<std::uint8_t>(i * mul + add); }

// The peer's answer to a command frame or an acknowledge: a reply of code 0.
void expectAnswer(const Library& lib, Checks& checks) { expectUntouched(checks, receive(lib, 0), KAVROL_OK); }

void sendAndExpectAnswer(const Library& lib, Checks& checks, const Command& c) {
    checks.equal(send(lib, c), KAVROL_OK, "MuxSendComm");
    expectAnswer(lib, checks);
}

void commandFrames(const Library& lib, Checks& checks) {
    {
        checks.step("direct frame with two words");
        Command c;
        c.command = 0xABCD0003U;                    // only the low byte counts
        for (std::uint32_t& r : c.route) r = 0xEE;  // ignored by a direct frame
        c.itemCount = 2;
        c.words[0] = 0xFFFF1234U;
        c.words[1] = 0x0056;
        sendAndExpectAnswer(lib, checks, c);
    }
    static const std::uint8_t kAbc[] = {0x41, 0x42, 0x43};
    {
        checks.step("direct frame with raw bytes");
        Command c;
        c.command = 8;
        c.subCommand = 1;
        c.itemCount = 3;
        c.words[0] = 0xFFFF;  // raw commands never read the words
        c.rawData = kAbc;
        sendAndExpectAnswer(lib, checks, c);
    }
    {
        checks.step("direct frame without payload");
        sendAndExpectAnswer(lib, checks, request());
    }
    Command mux;
    mux.routeCount = 2;
    mux.route[0] = 0x01;
    mux.route[1] = 0x05;
    mux.route[2] = 0x77;  // beyond the route count
    mux.command = 3;
    mux.itemCount = 1;
    mux.words[0] = 0x0102;
    mux.muxMode = 1;
    checks.step("multiplexed frame with one word");
    sendAndExpectAnswer(lib, checks, mux);
    checks.step("multiplexed frame mode 257");
    mux.muxMode = 257;
    sendAndExpectAnswer(lib, checks, mux);
    {
        checks.step("multiplexed frame with raw bytes and no route");
        static const std::uint8_t kRaw[] = {0x10, 0x20, 0x30, 0x40};
        Command c;
        c.command = 11;
        c.subCommand = 2;
        c.itemCount = 4;
        c.muxMode = 1;
        c.rawData = kRaw;
        sendAndExpectAnswer(lib, checks, c);
    }
    {
        checks.step("word command with five items sends no payload");
        Command c;
        c.command = 3;
        c.itemCount = 5;
        c.words[0] = 0x1111;
        sendAndExpectAnswer(lib, checks, c);
    }
    {
        checks.step("oversized raw frame is rejected and nothing is sent");
        static std::uint8_t raw45[45] = {};
        Command c;
        c.command = 8;
        c.itemCount = 45;
        c.rawData = raw45;
        checks.equal(send(lib, c), KAVROL_E_REJECTED, "MuxSendComm");
    }
    checks.step("acknowledge sends the low byte");
    checks.equal(lib.inviaAck(0x1234), 1, "_Invia_Ack@4");
    expectAnswer(lib, checks);
}

void decodedReplies(const Library& lib, Checks& checks) {
    {
        checks.step("model 0 reply code 1");
        // SharedLayout1: r6, 0, r7, 0, r8..r11. The payload holds the bytes a
        // cooked terminal would alter: XON, XOFF, CR, LF.
        Expected want;
        want.bytes(0, {0x11, 0x00, 0x13, 0x00, 0x0D, 0x0A, 0x80, 0xFF});
        want.record.code1Word0 = 0x0011;
        want.record.code1Word1 = 0x0013;
        want.record.code1Word2 = 0x0A0D;
        want.record.code1Word3 = 0xFF80;
        want.record.code1Word4 = want.record.code1Word5 = want.record.code1Word6 = 0xA5A5;
        want.record.code1Word7 = want.record.code1Word8 = want.record.code1Word9 = 0xA5A5;
        expectDecoded(checks, transact(lib, checks, 0), want);
    }
    {
        checks.step("model 2 reply code 6");
        // SharedLayout6 with r6 = 61, r7 = 62, r8 = 18, r9 = 52, r10..r23 = 70..7D.
        Expected want;
        want.bytes(0, {0x61, 0,    0x62, 0,    0x73, 0,    0x7A, 0,    0x74, 0,    0x7B, 0,    0x75, 0x76, 0x7C,
                       0x7D, 0x72, 0,    0x79, 0,    0x71, 0,    0x78, 0,    0x70, 0,    0x77, 0,    52,   18});
        ReplyRecord& r = want.record;
        r.code6Word0 = 0x61;
        r.code6Word1 = 0x62;
        r.code6Pair0[0] = 0x73, r.code6Pair0[1] = 0x7A;
        r.code6Pair1[0] = 0x74, r.code6Pair1[1] = 0x7B;
        r.code6Pair2[0] = 0x7675, r.code6Pair2[1] = 0x7D7C;
        r.code6Pair3[0] = 0x72, r.code6Pair3[1] = 0x79;
        r.code6Pair4[0] = 0x71, r.code6Pair4[1] = 0x78;
        r.code6Pair5[0] = 0x70, r.code6Pair5[1] = 0x77;
        r.code6Word2 = 18 * 256 + 52;
        expectDecoded(checks, transact(lib, checks, 2), want);
    }
    {
        checks.step("model 23 reply code 3");
        // r[j] = 0x80 + (j - 6) for j = 6..38.
        Expected want;
        for (unsigned k = 0; k <= 15; ++k) want.buffer[k] = pattern(k, 1, 0x80);  // r6..r21
        for (unsigned k = 16; k <= 63; ++k) want.buffer[k] = 0;
        want.buffer[64] = 0x90;                                                            // r22
        want.buffer[89] = 0x91;                                                            // r23
        want.bytes(97, {0x92, 0x93, 0x94, 0x95});                                          // r24..r27
        for (unsigned k = 117; k <= 127; ++k) want.buffer[k] = pattern(k - 117, 1, 0x96);  // r28..r38
        ReplyRecord& r = want.record;
        for (unsigned i = 0; i < 32; ++i) r.code3Words[i] = 0;
        for (unsigned i = 0; i < 8; ++i) r.code3Words[i] = static_cast<std::uint16_t>(0x8180 + 0x0202 * i);
        std::memset(r.code3Bytes, 0xA5, sizeof r.code3Bytes);
        r.code3Bytes[0] = 0x90;
        std::memset(r.code3QuadA, 0xA5, 4);
        r.code3QuadA[0] = 0x91;
        std::memset(r.code3QuadB, 0xA5, 4);
        for (std::uint16_t& w : r.code3Words2) w = 0xA5A5;
        r.code3Words2[0] = 0x9392;
        r.code3Words2[1] = 0x9594;
        std::memset(r.code3QuadC, 0xA5, 4);
        for (std::uint32_t& l : r.code3Longs) l = 0xA5A5A5A5U;
        r.code3Longs[0] = 0x99989796U;
        r.code3Longs[1] = 0x9D9C9B9AU;
        r.code3Longs[2] = 0xA5A09F9EU;  // top byte (out 128) is not written
        expectDecoded(checks, transact(lib, checks, 23), want);
    }
    {
        checks.step("model 9 reply code 2");
        // SharedLayout2 with r6 = 5 (bits 0 and 2), r7 = 255 (flag set).
        Expected want;
        want.bytes(0, {1, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
        ReplyRecord& r = want.record;
        r.code2Word0 = 1;
        const std::uint16_t bits[8] = {1, 0, 1, 0, 0, 0, 0, 0};
        std::memcpy(r.code2Bits, bits, sizeof bits);
        r.code2Word1 = r.code2Word2 = r.code2Word3 = r.code2Word4 = r.code2Word5 = 0xA5A5;
        expectDecoded(checks, transact(lib, checks, 9), want);
    }
    {
        checks.step("model 0 reply code 9 of the longest frame");
        // SharedLayout9 at L = 250: out 0..244 = r6..r250, out 245 = 0.
        Expected want;
        for (unsigned k = 0; k < 245; ++k) want.buffer[k] = pattern(k, 7, 1);
        want.buffer[245] = 0;
        expectDecoded(checks, transact(lib, checks, 0), want);
    }
    {
        checks.step("reply arriving in two parts");
        // SharedLayout8: out 0 = r6, out 1 = 0.
        Expected want;
        want.bytes(0, {0x42, 0x00});
        expectDecoded(checks, transact(lib, checks, 0), want);
    }
    {
        // The peer answers 20 ms after the request: how much later than
        // that the wait sees the reply, and what the wait costs in CPU.
        checks.step("reply after 20 ms");
        Expected want;
        want.bytes(0, {0x42, 0x00});
        const Outcome got = transact(lib, checks, 0);
        expectDecoded(checks, got, want);
        std::printf("wait figures: reply after 20 ms seen after %.2f ms, wait CPU %.2f ms\n", got.wallMs, got.cpuMs);
    }
}

void expectTimeout(Checks& checks, const Outcome& got) {
    expectUntouched(checks, got, KAVROL_E_TIMEOUT);
    checks.check(got.elapsedMs >= kShortTimeoutMs && got.elapsedMs < kShortTimeoutMs + 10000,
                 "time-out after %lu ms, expected just over %lu", got.elapsedMs, kShortTimeoutMs);
    // A wait that blocks in the driver uses a small part of its wall time
    // (the thread's CPU clock counts in steps of several milliseconds).
    std::printf("wait figures: silent device, time-out after %.1f ms, wait CPU %.2f ms\n", got.wallMs, got.cpuMs);
    checks.check(got.cpuMs < got.wallMs / 10, "the silent wait used %.1f ms of CPU in %.1f ms", got.cpuMs, got.wallMs);
}

void failedReplies(const Library& lib, HANDLE port, Checks& checks) {
    checks.step("device error code 250");
    expectUntouched(checks, transact(lib, checks, 0), -9);
    checks.step("broken checksum");
    expectUntouched(checks, transact(lib, checks, 0), KAVROL_E_FRAME);

    checks.step("stale input is purged");
    // An unsolicited error frame (code 255, 6 bytes) waits in the input
    // queue; the purge of the next command must drop it.
    const long queued = waitQueuedInput(port, 6, 10000);
    checks.equal(queued, 6, "ClearCommError cbInQue with the stale frame queued");
    {
        Expected want;
        want.bytes(0, {0x5C, 0x00});
        expectDecoded(checks, transact(lib, checks, 0), want);
    }

    checks.equal(lib.initMsgBin(0xDEADBEEFU, port, kShortTimeoutMs), 1, "Init_Msg_Bin");
    checks.step("missing reply times out");
    expectTimeout(checks, transact(lib, checks, 0));
    // The frame that comes long after shows that the request got through.
    // The next request must purge it, or the next receive reads it instead
    // of timing out.
    checks.equal(waitQueuedInput(port, 6, 10000), 6, "late frame queued");
    checks.step("header without the rest times out");
    expectTimeout(checks, transact(lib, checks, 0));
    checks.equal(lib.initMsgBin(0, port, kTimeoutMs), 1, "Init_Msg_Bin");
}

}  // namespace

void testTransactions(const Library& lib, HANDLE port, Checks& checks) {
    checks.step("bind the library to the port");
    checks.equal(lib.initMsgBin(7, port, kTimeoutMs), 1, "Init_Msg_Bin");
    commandFrames(lib, checks);
    decodedReplies(lib, checks);
    failedReplies(lib, port, checks);
}

}  // namespace kavrol::wintest
