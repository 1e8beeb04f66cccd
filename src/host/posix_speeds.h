// The standard line speeds and their termios codes: the one table that the
// host layer (reading a port's speed), the tools (setting one) and the
// generated facts for Python (validating one) all use. Each row is built
// from the code's own name, so a code and its number cannot disagree.
#pragma once

#include <cstdint>
#include <optional>

#include <termios.h>

namespace kavrol::host::posix {

struct StandardSpeed {
    std::uint32_t baud;
    speed_t code;
};

#define KAVROL_SPEED(n) \
    StandardSpeed { n, B##n }
inline constexpr StandardSpeed kStandardSpeeds[] = {
    KAVROL_SPEED(50),      KAVROL_SPEED(75),      KAVROL_SPEED(110),     KAVROL_SPEED(134),     KAVROL_SPEED(150),
    KAVROL_SPEED(200),     KAVROL_SPEED(300),     KAVROL_SPEED(600),     KAVROL_SPEED(1200),    KAVROL_SPEED(1800),
    KAVROL_SPEED(2400),    KAVROL_SPEED(4800),    KAVROL_SPEED(9600),    KAVROL_SPEED(19200),   KAVROL_SPEED(38400),
    KAVROL_SPEED(57600),   KAVROL_SPEED(115200),  KAVROL_SPEED(230400),  KAVROL_SPEED(460800),  KAVROL_SPEED(500000),
    KAVROL_SPEED(576000),  KAVROL_SPEED(921600),  KAVROL_SPEED(1000000), KAVROL_SPEED(1152000), KAVROL_SPEED(1500000),
    KAVROL_SPEED(2000000), KAVROL_SPEED(2500000), KAVROL_SPEED(3000000), KAVROL_SPEED(3500000), KAVROL_SPEED(4000000),
};
#undef KAVROL_SPEED

// The speed a termios code stands for; 0 for a code outside the table.
constexpr std::uint32_t baudOfSpeedCode(speed_t code) {
    for (const StandardSpeed& s : kStandardSpeeds) {
        if (s.code == code) return s.baud;
    }
    return 0;
}

// The termios code of a standard speed; nothing for any other number.
constexpr std::optional<speed_t> speedCodeOf(std::uint32_t baud) {
    for (const StandardSpeed& s : kStandardSpeeds) {
        if (s.baud == baud) return s.code;
    }
    return std::nullopt;
}

}  // namespace kavrol::host::posix
