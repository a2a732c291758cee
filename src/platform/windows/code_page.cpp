#include "platform/code_page.h"

#include <windows.h>

#include <algorithm>
#include <stdexcept>
#include <string>

#include "platform/windows/wide_text.h"

namespace termiva::platform {

namespace {

constexpr unsigned GB18030 = 54936;
constexpr unsigned EUC_JP = 20932;
constexpr unsigned US_ASCII = 20127;
const std::string FFFD = "\xEF\xBF\xBD";

// One character's bytes to UTF-8, or U+FFFD when the code page does not define them.
bool convert(unsigned code_page, std::string_view bytes, std::string& out) {
    if (bytes.empty()) return true;
    const int in_len = static_cast<int>(bytes.size());
    std::wstring wide(bytes.size(), L'\0');
    int n = MultiByteToWideChar(code_page, MB_ERR_INVALID_CHARS, bytes.data(), in_len, wide.data(),
                                static_cast<int>(wide.size()));
    if (n <= 0) return false;
    wide.resize(static_cast<std::size_t>(n));
    out += windows::to_utf8(wide);
    return true;
}

}  // namespace

bool code_page_installed(unsigned code_page) {
    CPINFO info{};
    return IsValidCodePage(code_page) && GetCPInfo(code_page, &info);
}

std::size_t code_page_char_length(unsigned code_page, const unsigned char* lead_bytes,
                                  std::string_view bytes) {
    if (bytes.empty()) return 0;
    const auto b0 = static_cast<unsigned char>(bytes[0]);
    if (code_page == GB18030) {
        if (b0 < 0x81 || b0 == 0xFF) return 1;
        if (bytes.size() < 2) return 0;
        const auto b1 = static_cast<unsigned char>(bytes[1]);
        return (b1 >= 0x30 && b1 <= 0x39) ? 4 : 2;
    }
    if (code_page == EUC_JP) {
        if (b0 == 0x8F) return 3;  // JIS X 0212
        return (b0 == 0x8E || (b0 >= 0xA1 && b0 <= 0xFE)) ? 2 : 1;
    }
    return lead_bytes[b0] ? 2 : 1;
}

CodePageDecoder::CodePageDecoder(unsigned code_page) : m_code_page(code_page) {
    CPINFO info{};
    if (!IsValidCodePage(code_page) || !GetCPInfo(code_page, &info))
        throw std::invalid_argument("code page " + std::to_string(code_page) + " is not installed");
    for (int i = 0; i + 1 < MAX_LEADBYTES && info.LeadByte[i] != 0; i += 2) {
        for (unsigned b = info.LeadByte[i]; b <= info.LeadByte[i + 1] && b < 256; ++b)
            m_lead_bytes[b] = 1;
    }
}

std::string CodePageDecoder::decode(std::string_view bytes) {
    std::string whole = std::move(m_carry);
    m_carry.clear();
    whole.append(bytes);

    // Hold back a character whose last bytes have not arrived yet.
    std::size_t complete = 0;
    while (complete < whole.size()) {
        std::size_t len = code_page_char_length(m_code_page, m_lead_bytes,
                                                std::string_view(whole).substr(complete));
        if (len == 0 || complete + len > whole.size()) break;
        complete += len;
    }
    m_carry = whole.substr(complete);
    whole.resize(complete);

    std::string out;
    out.reserve(whole.size() * 2);
    // Windows' ASCII code page strips the eighth bit, which would show a different character
    // than the peer sent.
    const bool eight_bit_in_ascii =
        m_code_page == US_ASCII &&
        std::any_of(whole.begin(), whole.end(), [](char c) { return (c & 0x80) != 0; });
    if (!eight_bit_in_ascii && convert(m_code_page, whole, out)) return out;
    return convert_one_by_one(whole);
}

// The slow path, only for text holding bytes the code page does not define: each
// character alone, so one bad byte costs one U+FFFD and not the whole read.
std::string CodePageDecoder::convert_one_by_one(std::string_view whole) const {
    std::string out;
    std::size_t i = 0;
    while (i < whole.size()) {
        if (m_code_page == US_ASCII && (whole[i] & 0x80) != 0) {
            out += FFFD;
            ++i;
            continue;
        }
        std::size_t len = code_page_char_length(m_code_page, m_lead_bytes, whole.substr(i));
        if (len == 0 || i + len > whole.size()) len = whole.size() - i;
        if (convert(m_code_page, whole.substr(i, len), out)) {
            i += len;
            continue;
        }
        out += FFFD;
        // A bad lead byte followed by ASCII: the ASCII is text of its own, as ICU reads it.
        i += (len > 1 && static_cast<unsigned char>(whole[i + 1]) < 0x80) ? 1 : len;
    }
    return out;
}

std::string encode_code_page(unsigned code_page, std::string_view utf8) {
    std::wstring wide = windows::to_utf16(utf8);
    if (wide.empty()) return {};
    // GB18030 and the UTF code pages take neither a default character nor the no-best-fit
    // flag; they hold every character anyway.
    const bool full_unicode = code_page == GB18030 || code_page == CP_UTF7 || code_page == CP_UTF8;
    const DWORD flags = full_unicode ? 0 : WC_NO_BEST_FIT_CHARS;
    const char* default_char = full_unicode ? nullptr : "?";
    const int wide_len = static_cast<int>(wide.size());
    int n = WideCharToMultiByte(code_page, flags, wide.data(), wide_len, nullptr, 0, default_char,
                                nullptr);
    if (n <= 0) throw std::runtime_error("encode: code page " + std::to_string(code_page));
    std::string out(static_cast<std::size_t>(n), '\0');
    n = WideCharToMultiByte(code_page, flags, wide.data(), wide_len, out.data(), n, default_char,
                            nullptr);
    out.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return out;
}

}  // namespace termiva::platform
