// One reply's worth of each measured step, shared by the benchmark and the
// instruction-count probe: the plain copy of the frame bytes (the floor),
// the transport alone (the frame fed through the fake host and read with
// the two timed reads), and the whole MuxReceiveComm.
#pragma once

#include <cstdint>
#include <cstring>

#include "decode_cases.h"
#include "fake_host/host_fake.h"
#include "kavrol32/kavrol32.h"
#include "link/link_state.h"
#include "link/timed_io.h"

namespace kavrol::bench {

inline void* const kFakePort = reinterpret_cast<void*>(static_cast<std::intptr_t>(0x77));

struct DecodeTarget {
    alignas(64) std::uint8_t area[256] = {};
    alignas(64) std::uint8_t buffer[KAVROL_REPLY_BUFFER_SIZE] = {};
    ReplyRecord record{};
};

inline void copyStep(const DecodeCase& c, DecodeTarget& t) { std::memcpy(t.area, c.frame.data(), c.frame.size()); }

inline std::int32_t TransportStep(const DecodeCase& c, host::FakeHost& fake, DecodeTarget& t) {
    fake.feed(c.frame.data(), c.frame.size());
    std::int32_t r = link::timedRead(kavrol::link::defaultLink(), t.area, 2);
    if (r == 1) r = link::timedRead(kavrol::link::defaultLink(), t.area + 2, static_cast<std::uint16_t>(t.area[1] - 1));
    return r;
}

inline std::int32_t DecodeStep(const DecodeCase& c, host::FakeHost& fake, DecodeTarget& t) {
    fake.feed(c.frame.data(), c.frame.size());
    return MuxReceiveComm(c.model, t.buffer, &t.record);
}

// Binds the library to the fake port with a time-out no step reaches.
inline void bindFake(host::FakeHost& fake) {
    fake.setTick(0);
    Init_Msg_Bin(0, kFakePort, 1000000);
}

}  // namespace kavrol::bench
