// MuxSendComm argument sets and the exact bytes each one puts on the line,
// shared by the fake-host and the real-pty tests.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "kavrol32/kavrol32.h"

namespace kavrol::test {

struct SendArgs {
    std::uint32_t routeCount = 0;
    std::uint32_t command = 0;
    std::uint32_t subCommand = 0;
    std::array<std::uint32_t, 9> route{};
    std::uint32_t itemCount = 0;
    std::array<std::uint32_t, 4> words{};
    std::uint32_t muxMode = 0;
    const std::uint8_t* rawData = nullptr;
};

inline std::int32_t muxSend(const SendArgs& a) {
    return MuxSendComm(a.routeCount, a.command, a.subCommand, a.route[0], a.route[1], a.route[2], a.route[3],
                       a.route[4], a.route[5], a.route[6], a.route[7], a.route[8], a.itemCount, a.words[0], a.words[1],
                       a.words[2], a.words[3], a.muxMode, a.rawData);
}

struct CommandExample {
    const char* name;
    SendArgs args;
    std::vector<std::uint8_t> sent;
};

inline constexpr std::uint8_t kRawABC[] = {0x41, 0x42, 0x43};
inline constexpr std::uint8_t kRaw10To40[] = {0x10, 0x20, 0x30, 0x40};
inline constexpr std::array<std::uint32_t, 9> kSomeRoute = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99};

inline const std::vector<CommandExample>& commandExamples() {
    static const std::vector<CommandExample> examples = {
        {"DirectWords",
         {0, 3, 0, {}, 2, {0x1234, 0x0056, 0, 0}, 0, nullptr},
         {0x09, 0x03, 0x00, 0x1B, 0x5D, 0x34, 0x12, 0x56, 0x00}},
        {"DirectRaw", {0, 8, 1, {}, 3, {}, 0, kRawABC}, {0x08, 0x08, 0x01, 0x4B, 0x36, 0x41, 0x42, 0x43}},
        {"DirectNoItems", {0, 5, 7, {}, 0, {}, 0, nullptr}, {0x05, 0x05, 0x07, 0x02, 0x39}},
        {"MuxWords",
         {2, 3, 0, {0x01, 0x05}, 1, {0x0102, 0, 0, 0}, 1, nullptr},
         {0x24, 0x0D, 0x2F, 0x02, 0x01, 0x05, 0x3C, 0x07, 0x03, 0x00, 0x06, 0x3D, 0x02, 0x01}},
        {"MuxRawNoRoute",
         {0, 11, 2, {}, 4, {}, 1, kRaw10To40},
         {0x24, 0x0D, 0x29, 0x00, 0x3C, 0x09, 0x0B, 0x02, 0x6B, 0x17, 0x10, 0x20, 0x30, 0x40}},
        {"FiveWordsSendNoPayload",
         {0, 3, 0, {}, 5, {0x1111, 0x2222, 0x3333, 0x4444}, 0, nullptr},
         {0x05, 0x03, 0x00, 0x05, 0x3F}},
        {"ManyWordsSendNoPayload",
         {0, 3, 0, {}, 255, {0x1111, 0x2222, 0x3333, 0x4444}, 0, nullptr},
         {0x05, 0x03, 0x00, 0x05, 0x3F}},
        // Raw commands never take the words.
        {"RawIgnoresWords",
         {0, 8, 1, {}, 3, {0xDEAD, 0xBEEF, 0xCAFE, 0xF00D}, 0, kRawABC},
         {0x08, 0x08, 0x01, 0x4B, 0x36, 0x41, 0x42, 0x43}},
        // Direct frames ignore the route, whatever muxMode other than 1 says.
        {"MuxMode2IsDirect",
         {5, 3, 0, kSomeRoute, 2, {0x1234, 0x0056, 0, 0}, 2, nullptr},
         {0x09, 0x03, 0x00, 0x1B, 0x5D, 0x34, 0x12, 0x56, 0x00}},
        {"MuxMode255IsDirect",
         {9, 3, 0, kSomeRoute, 2, {0x1234, 0x0056, 0, 0}, 255, nullptr},
         {0x09, 0x03, 0x00, 0x1B, 0x5D, 0x34, 0x12, 0x56, 0x00}},
        {"MuxMode256IsDirect",
         {2, 3, 0, kSomeRoute, 2, {0x1234, 0x0056, 0, 0}, 256, nullptr},
         {0x09, 0x03, 0x00, 0x1B, 0x5D, 0x34, 0x12, 0x56, 0x00}},
        {"DirectIgnoresRouteCountAboveNine", {10, 5, 7, kSomeRoute, 0, {}, 0, nullptr}, {0x05, 0x05, 0x07, 0x02, 0x39}},
        // Only the low 8 bits of muxMode count.
        {"MuxMode257IsMultiplexed",
         {2, 3, 0, {0x01, 0x05}, 1, {0x0102, 0, 0, 0}, 257, nullptr},
         {0x24, 0x0D, 0x2F, 0x02, 0x01, 0x05, 0x3C, 0x07, 0x03, 0x00, 0x06, 0x3D, 0x02, 0x01}},
        // Only the named low bits of every argument count.
        {"HighBitsIgnored",
         {0xFF00, 0x103, 0xAB00, {}, 0x7702, {0xFFFF1234U, 0x80000056U, 0, 0}, 0xFF00, nullptr},
         {0x09, 0x03, 0x00, 0x1B, 0x5D, 0x34, 0x12, 0x56, 0x00}},
        {"MuxHighBitsIgnored",
         {0x302, 0x1003, 0x100, {0x701, 0xF05, 0x1FF}, 0x301, {0xABCD0102U, 0, 0, 0}, 0x0101, nullptr},
         {0x24, 0x0D, 0x2F, 0x02, 0x01, 0x05, 0x3C, 0x07, 0x03, 0x00, 0x06, 0x3D, 0x02, 0x01}},
    };
    return examples;
}

}  // namespace kavrol::test
