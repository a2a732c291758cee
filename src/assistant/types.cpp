#include "assistant/types.h"

namespace termiva::assistant {

std::string trim(std::string_view s) {
    constexpr std::string_view blanks = " \t\r\n\f\v";
    const auto b = s.find_first_not_of(blanks);
    if (b == std::string_view::npos) return "";
    const auto e = s.find_last_not_of(blanks);
    return std::string(s.substr(b, e - b + 1));
}

std::string request_text_of(const Json& v) {
    if (v.is_null()) return "None";
    if (v.is_string()) return v.get<std::string>();
    if (v.is_boolean()) return v.get<bool>() ? "True" : "False";
    if (v.is_number_integer()) return std::to_string(v.get<long long>());
    if (v.is_number_unsigned()) return std::to_string(v.get<unsigned long long>());
    return v.dump();
}

bool truthy(const Json& v) {
    if (v.is_null()) return false;
    if (v.is_boolean()) return v.get<bool>();
    if (v.is_number()) return v.get<double>() != 0.0;
    if (v.is_string()) return !v.get_ref<const std::string&>().empty();
    return !v.empty();
}

}  // namespace termiva::assistant
