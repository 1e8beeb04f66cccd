// Fuzzes the reply path. The first byte selects the model code; the rest is
// the port's incoming byte stream, fed through the fake host. MuxReceiveComm
// is called until the stream is used up, and every result is checked against
// the protocol module's judgement of the bytes: which bytes each call
// consumes, and whether it returns 1, -2, -3 or a device error. On every result but 1 the
// caller's buffer and record must be untouched; the guard bytes after the
// 317-byte buffer and the 418-byte record must always stay intact.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "fake_host/host_fake.h"
#include "fuzz_support.h"
#include "kavrol32/kavrol32.h"
#include "protocol/reply_frame.h"
#include "reply/reply_reader.h"

namespace {

using kavrol::fuzz::check;
using kavrol::host::FakeHost;

constexpr std::uint32_t kTimeoutMs = 3;
void* const kPort = reinterpret_cast<void*>(static_cast<std::intptr_t>(0x51));

// 0..31 as they stand (every group, the models without normalization, a few
// codes above 24); other values become codes near 2^32 ("negative" ones).
std::uint32_t ModelFrom(std::uint8_t selector) { return selector < 32 ? selector : 0xFFFFFF00U | selector; }

struct Expected {
    std::int32_t result;
    std::size_t consumed;  // bytes of the stream the call takes
};

// What one call must do with the stream bytes s[0..n): the protocol's
// judgement of a reply, and how far the reader gets before it decides.
Expected predict(const std::uint8_t* s, std::size_t n) {
    using kavrol::protocol::ReplyFault;
    const kavrol::protocol::ReplyJudgement j = kavrol::protocol::judgeReply({s, n});
    switch (j.fault) {
        case ReplyFault::NoReply:
        case ReplyFault::HeaderCut: return {j.status, 0};
        case ReplyFault::LengthAboveRange:
        case ReplyFault::LengthBelowRange:
        case ReplyFault::RestCut: return {j.status, kavrol::protocol::kReplyHeaderSize};
        default: return {j.status, j.last + 1U};
    }
}

// The layout rule the normalization relies on: every position a layout
// writes gets a value that does not depend on the buffer's previous content.
// Decodes the frame twice over differently filled buffers and checks that
// each position either keeps its own previous byte in both or agrees.
void checkContentIndependence(std::uint32_t model, const std::uint8_t* frame, unsigned last) {
    std::uint8_t r1[256] = {};
    std::memcpy(r1, frame, last + 1U);
    std::uint8_t r2[256];
    std::memcpy(r2, r1, sizeof r2);
    std::uint8_t a[KAVROL_REPLY_BUFFER_SIZE];
    std::uint8_t b[KAVROL_REPLY_BUFFER_SIZE];
    std::memset(a, 0x00, sizeof a);
    std::memset(b, 0xFF, sizeof b);
    alignas(8) std::uint8_t recA[sizeof(ReplyRecord)] = {};
    alignas(8) std::uint8_t recB[sizeof(ReplyRecord)] = {};
    check(kavrol::reply::decodeReply(model, r1, a, recA) == 1, "decode of a valid frame");
    check(kavrol::reply::decodeReply(model, r2, b, recB) == 1, "decode of a valid frame");
    for (std::size_t k = 0; k < sizeof a; ++k) {
        const bool untouched = a[k] == 0x00 && b[k] == 0xFF;
        check(untouched || a[k] == b[k], "a written position depends on the buffer's previous content");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    FakeHost* const fake = &kavrol::fuzz::freshFakeHost(kPort, kTimeoutMs);
    kavrol::host::ScopedHost scoped(*fake);

    const std::uint32_t model = ModelFrom(data[0]);
    const std::uint8_t* stream = data + 1;
    const std::size_t n = std::min(size - 1, FakeHost::kMaxStream);
    fake->feed(stream, n);

    static kavrol::fuzz::GuardedArea<KAVROL_REPLY_BUFFER_SIZE> buffer;
    static kavrol::fuzz::GuardedArea<KAVROL_REPLY_RECORD_SIZE> record;
    buffer.fill(data[0]);
    record.fill(static_cast<std::uint8_t>(data[0] ^ 0x5A));
    std::uint8_t bufferBefore[KAVROL_REPLY_BUFFER_SIZE];
    std::uint8_t recordBefore[KAVROL_REPLY_RECORD_SIZE];

    std::size_t pos = 0;
    for (;;) {
        const Expected want = predict(stream + pos, n - pos);
        std::memcpy(bufferBefore, buffer.data(), sizeof bufferBefore);
        std::memcpy(recordBefore, record.data(), sizeof recordBefore);

        const std::int32_t got = MuxReceiveComm(model, buffer.data(), reinterpret_cast<ReplyRecord*>(record.data()));

        check(got == want.result, "result differs from the framing model");
        check(buffer.guardIntact(), "write past the 317-byte buffer");
        check(record.guardIntact(), "write past the 418-byte record");
        check(!fake->overRead, "read more bytes than had arrived");
        check(fake->pendingInput() == n - pos - want.consumed, "consumed a different number of bytes");
        if (got != 1) {
            check(std::memcmp(bufferBefore, buffer.data(), sizeof bufferBefore) == 0, "buffer written on failure");
            check(std::memcmp(recordBefore, record.data(), sizeof recordBefore) == 0, "record written on failure");
        } else {
            checkContentIndependence(model, stream + pos, stream[pos + 1]);
        }
        if (want.consumed == 0) break;
        pos += want.consumed;
    }
    return 0;
}
