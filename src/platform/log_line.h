// The one layout of a diagnostic line, shared by every system's log module.
#pragma once

#include <string>
#include <string_view>

#include "platform/log.h"

namespace termiva::log {

// "[component] message (warn, thread 1a2b)\n", or "name: message (…)\n" for a component
// given as "name:".
std::string format_line(Level level, std::string_view component, std::string_view message,
                        unsigned long thread);

}  // namespace termiva::log
