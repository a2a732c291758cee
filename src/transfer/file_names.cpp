#include "transfer/file_names.h"

#include <algorithm>
#include <array>
#include <cctype>

#include "platform/utf8_path.h"

namespace termiva::xfer {
namespace {

constexpr std::size_t MAX_NAME_BYTES = 200;
constexpr const char* FALLBACK_NAME = "received-file";

std::string upper_ascii(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

// Cuts at a byte limit without splitting a UTF-8 sequence.
std::string truncate_utf8(std::string s, std::size_t limit) {
    if (s.size() <= limit) return s;
    std::size_t cut = limit;
    while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80)
        --cut;
    s.resize(cut);
    return s;
}

}  // namespace

bool is_device_name(std::string_view name) {
    std::string base = upper_ascii(name.substr(0, name.find('.')));
    while (!base.empty() && base.back() == ' ')
        base.pop_back();
    static const std::array<const char*, 6> plain = {"CON", "PRN",    "AUX",
                                                     "NUL", "CONIN$", "CONOUT$"};
    for (const char* p : plain) {
        if (base == p) return true;
    }
    if (base.size() == 4 && (base.starts_with("COM") || base.starts_with("LPT")) &&
        std::isdigit(static_cast<unsigned char>(base[3]))) {
        return true;
    }
    return false;
}

std::string safe_base_name(std::string_view sent) {
    // Only the text before a NUL counts; the rest of a YMODEM header is not a name.
    sent = sent.substr(0, sent.find('\0'));
    std::string_view last;
    std::size_t start = 0;
    while (start <= sent.size()) {
        std::size_t end = sent.find_first_of("/\\", start);
        if (end == std::string_view::npos) end = sent.size();
        std::string_view part = sent.substr(start, end - start);
        if (!part.empty()) last = part;
        start = end + 1;
    }
    // A drive prefix ("C:name") is a path too.
    if (auto colon = last.rfind(':'); colon != std::string_view::npos) {
        last = last.substr(colon + 1);
    }

    std::string name;
    for (char ch : last) {
        auto c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c == 0x7F || std::string_view("<>:\"|?*").find(ch) != std::string::npos) {
            name += '_';
        } else {
            name += ch;
        }
    }
    while (!name.empty() && (name.back() == '.' || name.back() == ' '))
        name.pop_back();
    while (!name.empty() && name.front() == ' ')
        name.erase(name.begin());
    name = truncate_utf8(name, MAX_NAME_BYTES);
    if (name.empty() || name == "." || name == "..") return FALLBACK_NAME;
    if (is_device_name(name)) name = "_" + name;
    return name;
}

std::filesystem::path numbered_free_path(const std::filesystem::path& dir, const std::string& name,
                                         int first_number) {
    std::filesystem::path plain = dir / platform::path_from_utf8(name);
    std::error_code ec;
    if (first_number <= 1 && !std::filesystem::exists(plain, ec)) return plain;
    std::filesystem::path as_path = platform::path_from_utf8(name);
    std::string stem = platform::path_to_utf8(as_path.stem());
    std::string ext = platform::path_to_utf8(as_path.extension());
    for (int n = std::max(first_number, 1);; ++n) {
        auto candidate =
            dir / platform::path_from_utf8(stem + " (" + std::to_string(n) + ")" + ext);
        if (!std::filesystem::exists(candidate, ec)) return candidate;
    }
}

}  // namespace termiva::xfer
