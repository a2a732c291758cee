// One page call as text: the page posts {"op": name, "args": [...]} and receives
// {"result": value} or {"error": text}. Kept apart from the toolkit so it can be tested.
#pragma once

#include <string>
#include <string_view>

#include "platform/desktop.h"

namespace termiva::platform::gtk {

// Runs the call through `bridge`; never throws, whatever the message holds.
std::string answer_page_call(const BridgeHandler& bridge, std::string_view message) noexcept;

}  // namespace termiva::platform::gtk
