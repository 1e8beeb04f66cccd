// The file calls on the Wine drive.
#pragma once

#include "wine_check.h"
#include "wine_library.h"

namespace kavrol::wintest {

// Byte i of the 100,000-byte block; a prime period, so that a chunk written
// at the wrong offset shows. The test runner checks the file left on the
// drive against the same rule.
inline unsigned char blockByte(unsigned i) { return static_cast<unsigned char>(i % 251); }
inline constexpr unsigned kBlockSize = 100000;

// `dir` is a Windows directory path without the trailing backslash; the
// block file is left there as block.bin.
void testFileCalls(const Library& lib, const char* dir, Checks& checks);

}  // namespace kavrol::wintest
