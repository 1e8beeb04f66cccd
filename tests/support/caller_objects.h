// The caller's buffer and record of one MuxReceiveComm call, each followed
// by guard bytes, so that a test sees every byte a call writes, in bounds or
// not.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>

#include "kavrol32/kavrol32.h"
#include "support/record_map.h"

namespace kavrol::test {

struct CallerObjects {
    static constexpr std::size_t kGuard = 64;

    alignas(8) std::array<std::uint8_t, kBufferSize + kGuard> buffer{};
    alignas(8) std::array<std::uint8_t, kRecordSize + kGuard> record{};

    // Every byte, guards included, set to the given value.
    void fill(std::uint8_t bufferByte, std::uint8_t recordByte) {
        buffer.fill(bufferByte);
        record.fill(recordByte);
    }

    std::int32_t receive(std::uint32_t modelCode) {
        return MuxReceiveComm(modelCode, buffer.data(), reinterpret_cast<ReplyRecord*>(record.data()));
    }

    const ReplyRecord& fields() const { return *reinterpret_cast<const ReplyRecord*>(record.data()); }

    std::span<const std::uint8_t> bufferGuard() const { return std::span(buffer).subspan(kBufferSize); }
    std::span<const std::uint8_t> recordGuard() const { return std::span(record).subspan(kRecordSize); }
};

inline bool allEqual(std::span<const std::uint8_t> bytes, std::uint8_t value) {
    return std::all_of(bytes.begin(), bytes.end(), [value](std::uint8_t b) { return b == value; });
}

}  // namespace kavrol::test
