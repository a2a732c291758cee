#include "app/messages/messages.h"

#include <optional>

namespace termiva {

namespace {

std::optional<std::string> try_format(const std::string& text, const MessageArgs& values) {
    std::string out;
    out.reserve(text.size() + 32);
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '}') {
            if (i + 1 < text.size() && text[i + 1] == '}') {
                out += '}';
                ++i;
                continue;
            }
            return std::nullopt;  // a lone closing brace
        }
        if (c != '{') {
            out += c;
            continue;
        }
        if (i + 1 < text.size() && text[i + 1] == '{') {
            out += '{';
            ++i;
            continue;
        }
        auto close = text.find('}', i + 1);
        if (close == std::string::npos) return std::nullopt;
        std::string name = text.substr(i + 1, close - i - 1);
        const std::string* value = nullptr;
        for (const auto& [k, v] : values) {
            if (k == name) value = &v;
        }
        // Positional, empty or otherwise unknown fields cannot be filled.
        if (!value) return std::nullopt;
        out += *value;
        i = close;
    }
    return out;
}

}  // namespace

std::string format_message(const std::string& text, const MessageArgs& values) {
    if (values.empty()) return text;
    auto formatted = try_format(text, values);
    return formatted ? *formatted : text;
}

std::string translate(std::string_view lang, std::string_view key, const MessageArgs& values) {
    const MessageCatalog& catalog = message_catalog();
    auto table = catalog.find(std::string(lang));
    if (table == catalog.end()) table = catalog.find("en");
    const std::string* text = nullptr;
    if (auto it = table->second.find(key); it != table->second.end()) {
        text = &it->second;
    } else {
        const auto& fallback = catalog.at("en");
        if (auto f = fallback.find(key); f != fallback.end()) text = &f->second;
    }
    if (!text) return std::string(key);
    return format_message(*text, values);
}

}  // namespace termiva
