// Why a transfer failed, as a short code with named parts, so that an owner with its own
// wording (the application's message catalog) can say it in the user's language. The
// engine's own text for each code is English; it is what the "done" event's `reason`
// carries, beside `reason_code` and `reason_values`.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

namespace termiva::xfer {

// The English text of `code` with its "{name}" parts filled from `values` (an object of
// strings). An unknown code is returned as it is.
std::string reason_text(std::string_view code, const nlohmann::json& values);

// Every code the engine reports, for the owner's catalog and its tests.
const std::vector<std::string_view>& reason_codes();

}  // namespace termiva::xfer
