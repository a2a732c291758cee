#include "platform/bounded_json.h"

#include <string>

namespace termiva::platform {

JsonTooDeep::JsonTooDeep()
    : std::runtime_error("JSON nested deeper than " + std::to_string(MAX_JSON_DEPTH) + " levels") {}

bool json_nesting_within(std::string_view text, int limit) {
    int depth = 0;
    bool in_string = false;
    bool escaped = false;
    for (const char c : text) {
        if (in_string) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                in_string = false;
            }
            continue;
        }
        switch (c) {
            case '\0':
                // The parser ends a document at a NUL, so nothing after it is read.
                return true;
            case '"':
                in_string = true;
                break;
            case '[':
            case '{':
                if (++depth > limit) return false;
                break;
            case ']':
            case '}':
                if (depth > 0) --depth;
                break;
            default:
                break;
        }
    }
    return true;
}

nlohmann::json parse_json_bounded(std::string_view text, bool allow_exceptions) {
    if (!json_nesting_within(text)) {
        if (allow_exceptions) throw JsonTooDeep();
        return nlohmann::json(nlohmann::json::value_t::discarded);
    }
    return nlohmann::json::parse(text, nullptr, allow_exceptions);
}

}  // namespace termiva::platform
