// One page call as text: the page posts {"op": name, "args": [...]} and receives
// {"result": value} or {"error": text}. Kept apart from the toolkit so it can be tested.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "platform/desktop.h"

namespace termiva::platform::gtk {

// Starts the call through `bridge`; `done` receives the answer text exactly once, at once
// for a malformed message, else from wherever the bridge answers. Never throws.
void start_page_call(const BridgeHandler& bridge, std::string_view message,
                     std::function<void(std::string answer)> done) noexcept;

}  // namespace termiva::platform::gtk
