// Parsing JSON that comes from outside the program (the page's calls, the host's input
// lines, the stores on disk, answers from the network) with a limit on nesting. A value
// nested a hundred thousand levels deep parses fine, but copying, printing or comparing
// it recurses once per level and ends the program on a full stack; no record of ours
// comes near the limit.
#pragma once

#include <stdexcept>
#include <string_view>

#include <nlohmann/json.hpp>

namespace termiva::platform {

// Levels of arrays and objects any accepted document may have. The page's lines put a
// record two levels below the top, and the stores put it two levels down too, so a record
// the page may save is one a store can read back.
inline constexpr int MAX_JSON_DEPTH = 64;

// Thrown (when exceptions are allowed) for a document nested beyond the limit.
class JsonTooDeep : public std::runtime_error {
public:
    JsonTooDeep();
};

// Whether arrays and objects in `text` nest at most `limit` levels. Exact for valid JSON;
// for anything else the answer does not matter, as the parser refuses it.
bool json_nesting_within(std::string_view text, int limit = MAX_JSON_DEPTH);

// nlohmann::json::parse for outside text: beyond MAX_JSON_DEPTH levels the text is
// refused like malformed JSON (a discarded value, or JsonTooDeep when
// `allow_exceptions`) before anything is built from it.
nlohmann::json parse_json_bounded(std::string_view text, bool allow_exceptions);

}  // namespace termiva::platform
