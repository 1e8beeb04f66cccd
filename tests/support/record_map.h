// Where the record stage puts the normalized buffer, per reply code, as runs
// of record bytes taken from buffer bytes. Fields are composed low byte first
// and stored as native integers; on a little-endian host that makes each
// record byte equal to its buffer byte. An independent oracle on purpose:
// written from the record's description, not from the protocol module's
// field table, which the tests check against it.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace kavrol::test {

static_assert(std::endian::native == std::endian::little, "record byte map assumes a little-endian host");

inline constexpr std::size_t kBufferSize = 317;
inline constexpr std::size_t kRecordSize = 418;

struct RecordRun {
    std::size_t recordFirst;
    std::size_t bufferFirst;
    std::size_t length;
};

// Code 3 skips record bytes 97, 118 and 119 (alignment gaps).
inline constexpr RecordRun kRecordRuns3[] = {{0, 0, 97}, {98, 97, 20}, {120, 117, 200}};
inline constexpr RecordRun kRecordRuns1[] = {{320, 0, 20}};
inline constexpr RecordRun kRecordRuns6[] = {{340, 0, 30}};
inline constexpr RecordRun kRecordRuns2[] = {{370, 0, 28}};
inline constexpr RecordRun kRecordRuns5[] = {{398, 0, 20}};

inline std::span<const RecordRun> recordRunsOf(std::uint8_t replyCode) {
    switch (replyCode) {
        case 1: return kRecordRuns1;
        case 2: return kRecordRuns2;
        case 3: return kRecordRuns3;
        case 5: return kRecordRuns5;
        case 6: return kRecordRuns6;
        default: return {};
    }
}

// The record expected after the record stage has parsed `buffer` for the
// reply code into a record that held `before` (kRecordSize bytes or more;
// bytes past the record are kept as they were).
inline std::vector<std::uint8_t> expectedRecord(std::uint8_t replyCode, const std::uint8_t* buffer,
                                                std::span<const std::uint8_t> before) {
    std::vector<std::uint8_t> rec(before.begin(), before.end());
    for (const RecordRun& run : recordRunsOf(replyCode)) {
        for (std::size_t i = 0; i < run.length; ++i) rec[run.recordFirst + i] = buffer[run.bufferFirst + i];
    }
    return rec;
}

}  // namespace kavrol::test
