// Waiting for a child of ours to end without asking again and again: its pidfd becomes
// readable when it has ended.
#pragma once

#include <sys/types.h>

#include <chrono>

namespace termiva::platform::linux_process {

// Returns when `pid` has ended (it may still need reaping) or at `deadline`, whichever
// comes first; at once when the process is gone already. Never reaps.
void wait_for_end(pid_t pid, std::chrono::steady_clock::time_point deadline);

}  // namespace termiva::platform::linux_process
