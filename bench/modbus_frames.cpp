#include "modbus_frames.h"

namespace kavrol::bench {

std::uint16_t ModbusCrc(const std::uint8_t* bytes, std::size_t n) {
    std::uint16_t crc = 0xFFFF;
    for (std::size_t i = 0; i < n; ++i) {
        crc = static_cast<std::uint16_t>(crc ^ bytes[i]);
        for (int b = 0; b < 8; ++b) {
            crc = (crc & 1U) != 0 ? static_cast<std::uint16_t>((crc >> 1) ^ 0xA001U)
                                  : static_cast<std::uint16_t>(crc >> 1);
        }
    }
    return crc;
}

std::vector<std::uint8_t> ReadRegistersReply(int registers) {
    std::vector<std::uint8_t> f{static_cast<std::uint8_t>(kModbusSlave), 3, static_cast<std::uint8_t>(2 * registers)};
    for (int i = 0; i < registers; ++i) {
        f.push_back(static_cast<std::uint8_t>(i >> 8));
        f.push_back(static_cast<std::uint8_t>(i));
    }
    const std::uint16_t crc = ModbusCrc(f.data(), f.size());
    f.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    f.push_back(static_cast<std::uint8_t>(crc >> 8));
    return f;
}

}  // namespace kavrol::bench
