// Reading loosely-typed values from sessions, settings and page calls, the way users
// expect: numbers typed as text still count, empty values fall back to defaults.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace termiva {

using Json = nlohmann::json;

// Absent, null, false, 0, "", [] and {} are false-like.
bool is_false_like(const nlohmann::json& v);

// The integer a value stands for: integers, booleans, finite numbers (truncated) and
// texts holding a decimal integer (surrounding blanks allowed). Nothing otherwise.
std::optional<long long> to_integer(const nlohmann::json& v);

// The member `key` of an object, or null when `obj` is not an object or lacks it.
const nlohmann::json& member(const nlohmann::json& obj, std::string_view key);

// An integer field: `fallback` when missing, empty, 0 or not a number.
int int_field(const nlohmann::json& obj, std::string_view key, int fallback);

// A value in its text form: texts as they are, numbers in decimal, true/false as
// "True"/"False", null as "".
std::string text_of(const nlohmann::json& v);

// A text field: `fallback` when missing, null or "".
std::string text_field(const nlohmann::json& obj, std::string_view key,
                       std::string_view fallback = "");

// A boolean field: `fallback` when missing or null, else whether it is true-like.
bool bool_field(const nlohmann::json& obj, std::string_view key, bool fallback);

std::string to_lower(std::string_view s);

}  // namespace termiva
