// One file at a time, written and read in blocks of chunks.
#pragma once

#include <cstdint>

namespace kavrol::util {

inline constexpr std::int32_t kChunkSize = 32768;

std::int32_t createFile(const char* path, std::int32_t attribute);
std::int32_t openFile(const char* path);
std::int32_t closeFile();
std::int32_t saveBuffer(const std::uint8_t* data, std::int32_t size);
std::int32_t loadBuffer(std::uint8_t* data, std::int32_t size);

}  // namespace kavrol::util
