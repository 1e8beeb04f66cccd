// Modbus RTU frames for the echo-style peer of the libmodbus benchmarks.
#pragma once

#include <cstdint>
#include <vector>

namespace kavrol::bench {

inline constexpr int kModbusSlave = 1;

// CRC-16 of Modbus RTU (polynomial 0xA001 reflected, initial 0xFFFF).
std::uint16_t ModbusCrc(const std::uint8_t* bytes, std::size_t n);

// The reply to "read holding registers" of `registers` values: slave, 3,
// byte count, the values high byte first, CRC low byte first.
std::vector<std::uint8_t> ReadRegistersReply(int registers);

}  // namespace kavrol::bench
