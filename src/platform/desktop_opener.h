// The desktop's own opener program (xdg-open on Linux), which hands an address to the
// browser or mail program the user chose. Callers check the address first
// (Desktop::open_url does); this only starts the program.
#pragma once

#include <chrono>
#include <string>

namespace termiva::platform {

// Starts the opener for `url` (as one argument, no shell) and waits up to `wait` for its
// answer: false when it is missing, cannot start or reports a failure; true when it
// succeeded or is still busy (then it is reaped in the background when it ends).
bool run_desktop_opener(const std::string& url, std::chrono::milliseconds wait);

}  // namespace termiva::platform
