// Transactions with the scripted device on the far end of the port.
#pragma once

#include <windows.h>

#include "wine_check.h"
#include "wine_library.h"

namespace kavrol::wintest {

// Runs every serial step, in the order of peer_script.txt.
void testTransactions(const Library& lib, HANDLE port, Checks& checks);

}  // namespace kavrol::wintest
