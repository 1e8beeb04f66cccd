// Exit statuses of kavrol and kavrol-devsim, the same in both tools.
#pragma once

namespace kavrol::tools {

inline constexpr int kExitOk = 0;
// kavrol: a transaction (or a demo step) did not give what it should;
// kavrol-devsim: the line failed while serving, or the fault log cannot be written.
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;  // bad arguments or scenario; nothing was sent
inline constexpr int kExitPort = 3;   // the port could not be opened or configured, is busy, or was lost

}  // namespace kavrol::tools
