// The one check every address passes before the desktop is asked to open it.
#include <cctype>

#include "platform/desktop.h"

namespace termiva::platform {

namespace {

// Longer than any address a person clicks; a megabyte of "address" is something else.
constexpr std::size_t MAX_ADDRESS = 16 * 1024;

bool is_scheme_char(unsigned char c) {
    return std::isalnum(c) || c == '+' || c == '-' || c == '.';
}

}  // namespace

bool desktop_may_open(std::string_view url) {
    if (url.empty() || url.size() > MAX_ADDRESS) return false;
    // No blanks or control characters: those make it text, or smuggle a second argument
    // or line to whatever reads it.
    for (unsigned char c : url) {
        if (c <= 0x20 || c == 0x7F) return false;
    }
    // The scheme of RFC 3986: a letter, then letters, digits, "+", "-", ".", up to ":".
    if (!std::isalpha(static_cast<unsigned char>(url.front()))) return false;
    std::size_t colon = 0;
    while (colon < url.size() && is_scheme_char(static_cast<unsigned char>(url[colon])))
        ++colon;
    if (colon >= url.size() || url[colon] != ':') return false;
    std::string scheme;
    for (char c : url.substr(0, colon))
        scheme.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    const std::string_view rest = url.substr(colon + 1);
    if (scheme == "http" || scheme == "https") {
        // "//" and a host: "https:" alone or "http:/etc/passwd" is no web address.
        if (rest.size() < 3 || rest.substr(0, 2) != "//") return false;
        const char after = rest[2];
        return after != '/' && after != '?' && after != '#';
    }
    if (scheme == "mailto") return !rest.empty();
    return false;
}

}  // namespace termiva::platform
