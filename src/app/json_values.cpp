#include "app/json_values.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <limits>

namespace termiva {

bool is_false_like(const nlohmann::json& v) {
    if (v.is_null()) return true;
    if (v.is_boolean()) return !v.get<bool>();
    if (v.is_number_integer()) return v.get<long long>() == 0;
    if (v.is_number_unsigned()) return v.get<unsigned long long>() == 0;
    if (v.is_number_float()) return v.get<double>() == 0.0;
    if (v.is_string()) return v.get_ref<const std::string&>().empty();
    if (v.is_array() || v.is_object()) return v.empty();
    return false;
}

std::optional<long long> to_integer(const nlohmann::json& v) {
    if (v.is_boolean()) return v.get<bool>() ? 1 : 0;
    if (v.is_number_integer()) return v.get<long long>();
    if (v.is_number_unsigned()) {
        auto u = v.get<unsigned long long>();
        if (u > static_cast<unsigned long long>(std::numeric_limits<long long>::max())) {
            return std::nullopt;
        }
        return static_cast<long long>(u);
    }
    if (v.is_number_float()) {
        double d = v.get<double>();
        if (!std::isfinite(d) || std::fabs(d) > 9.0e18) return std::nullopt;
        return static_cast<long long>(std::trunc(d));
    }
    if (!v.is_string()) return std::nullopt;
    const std::string& s = v.get_ref<const std::string&>();
    std::size_t i = 0, n = s.size();
    while (i < n && std::isspace(static_cast<unsigned char>(s[i])))
        ++i;
    while (n > i && std::isspace(static_cast<unsigned char>(s[n - 1])))
        --n;
    bool negative = false;
    if (i < n && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    if (i >= n) return std::nullopt;
    long long value = 0;
    for (; i < n; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(s[i]))) return std::nullopt;
        if (value > (std::numeric_limits<long long>::max() - 9) / 10) return std::nullopt;
        value = value * 10 + (s[i] - '0');
    }
    return negative ? -value : value;
}

const nlohmann::json& member(const nlohmann::json& obj, std::string_view key) {
    static const nlohmann::json null_value;
    if (!obj.is_object()) return null_value;
    auto it = obj.find(key);
    return it == obj.end() ? null_value : *it;
}

int int_field(const nlohmann::json& obj, std::string_view key, int fallback) {
    const auto& v = member(obj, key);
    if (is_false_like(v)) return fallback;
    auto n = to_integer(v);
    if (!n || *n == 0 || *n > std::numeric_limits<int>::max() ||
        *n < std::numeric_limits<int>::min()) {
        return fallback;
    }
    return static_cast<int>(*n);
}

std::string text_of(const nlohmann::json& v) {
    if (v.is_string()) return v.get<std::string>();
    if (v.is_null()) return "";
    if (v.is_boolean()) return v.get<bool>() ? "True" : "False";
    return v.dump();
}

std::string text_field(const nlohmann::json& obj, std::string_view key, std::string_view fallback) {
    const auto& v = member(obj, key);
    if (v.is_null() || (v.is_string() && v.get_ref<const std::string&>().empty())) {
        return std::string(fallback);
    }
    return text_of(v);
}

bool bool_field(const nlohmann::json& obj, std::string_view key, bool fallback) {
    const auto& v = member(obj, key);
    if (v.is_null()) return fallback;
    return !is_false_like(v);
}

std::string to_lower(std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

}  // namespace termiva
