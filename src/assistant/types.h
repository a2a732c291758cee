// What the assistant component shares with its caller: JSON values, and the one way it
// words a message (the caller's catalog, looked up by key with named values).
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace termiva::assistant {

using Json = nlohmann::json;
using MessageValues = std::vector<std::pair<std::string, std::string>>;
// Looks a message up by its dotted key in the interface language and fills its placeholders.
using Translate = std::function<std::string(std::string_view key, const MessageValues& values)>;

// Surrounding white space removed (blank, tab, CR, LF, FF, VT).
std::string trim(std::string_view s);
// A value as the request text shows it (the wording the prompts were written against):
// texts as they are, null or missing as "None", booleans as "True"/"False", numbers in
// decimal.
std::string request_text_of(const Json& v);
// Whether a value counts as set: null, false, 0, "", [] and {} do not.
bool truthy(const Json& v);

}  // namespace termiva::assistant
