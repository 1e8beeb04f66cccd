// The test's side of a raw-mode pty pair: the library binds to the pair's
// `port`, the test plays the device on its `device` end with these.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "pty/pty_pair.h"

// In the pair's own namespace, so that calls find them by argument.
namespace kavrol::pty {

// The port end as the handle the exports take.
void* portHandle(const PtyPair& pair);

// Writes bytes on the device side.
void peerWrite(const PtyPair& pair, const std::vector<std::uint8_t>& bytes);
// Reads exactly n bytes on the device side, waiting up to timeoutMs.
std::vector<std::uint8_t> peerRead(const PtyPair& pair, std::size_t n, int timeoutMs = 5000);
// Reads whatever arrives on the device side within quietMs.
std::vector<std::uint8_t> peerDrain(const PtyPair& pair, int quietMs = 100);
// Makes the port side obey XON/XOFF and sends XOFF from the device:
// nothing the port writes can go out. False when the setting failed.
bool holdPortOutput(const PtyPair& pair);
// Waits until the port side has n bytes queued for reading.
bool waitPortInput(const PtyPair& pair, std::size_t n, int timeoutMs = 5000);

}  // namespace kavrol::pty
