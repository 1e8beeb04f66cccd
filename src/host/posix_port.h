// Bounded operations on a POSIX tty descriptor for the POSIX host: no call
// blocks past its time budget, and a hung-up or vanished port is told apart
// from a slow one.
#pragma once

#include <cstdint>

#include "host/host.h"

namespace kavrol::host::posix {

// The descriptor a port handle carries, or -1 when the value is no valid
// descriptor (negative or above INT_MAX): such a port is unbound.
int descriptorOf(PortHandle port);

// One queue count with one ioctl: FIONREAD for input, TIOCOUTQ for output.
bool queryQueue(int fd, PortWait::Kind kind, std::uint32_t& count);
PortOutcome writeBounded(int fd, const std::uint8_t* bytes, std::uint32_t count, std::uint32_t budgetMs);
PortOutcome readBounded(int fd, std::uint8_t* dest, std::uint32_t count, std::uint32_t budgetMs);
PortOutcome waitPort(int fd, const PortWait& wait, std::uint32_t budgetMs);

}  // namespace kavrol::host::posix
