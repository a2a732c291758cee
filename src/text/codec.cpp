#include "text/codec.h"

#include <unicode/ucnv.h>
#include <unicode/ucnv_cb.h>
#include <unicode/ustring.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <stdexcept>
#include <utility>
#include <vector>

namespace termiva::text {

namespace {

// Names users type, mapped to ICU converter names. Anything else is handed to ICU's own
// alias table as it is.
constexpr std::array<std::pair<std::string_view, std::string_view>, 24> NAME_TABLE{{
    {"utf-8", "UTF-8"},         {"utf8", "UTF-8"},           {"big5", "Big5"},
    {"cp950", "windows-950"},   {"big5hkscs", "Big5-HKSCS"}, {"gbk", "GBK"},
    {"cp936", "windows-936"},   {"gb2312", "GB2312"},        {"gb18030", "GB18030"},
    {"shift-jis", "Shift_JIS"}, {"sjis", "Shift_JIS"},       {"cp932", "windows-31j"},
    {"euc-jp", "EUC-JP"},       {"euc-kr", "EUC-KR"},        {"cp949", "windows-949"},
    {"latin-1", "ISO-8859-1"},  {"latin1", "ISO-8859-1"},    {"iso-8859-1", "ISO-8859-1"},
    {"ascii", "US-ASCII"},      {"us-ascii", "US-ASCII"},    {"cp437", "IBM437"},
    {"cp1252", "windows-1252"}, {"koi8-r", "KOI8-R"},        {"utf-16", "UTF-16"},
}};

std::string lower(std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

bool is_utf8_name(std::string_view name) {
    std::string l = lower(name);
    return l == "utf-8" || l == "utf8" || l == "utf_8";
}

std::string icu_name(std::string_view name) {
    std::string l = lower(name);
    std::replace(l.begin(), l.end(), '_', '-');
    for (const auto& [ours, icu] : NAME_TABLE) {
        if (l == ours) return std::string(icu);
    }
    return std::string(name);
}

struct ConverterCloser {
    void operator()(UConverter* c) const { ucnv_close(c); }
};
using ConverterPtr = std::unique_ptr<UConverter, ConverterCloser>;

ConverterPtr open_converter(std::string_view name) {
    if (name.empty()) throw std::invalid_argument("unknown encoding: ");
    UErrorCode err = U_ZERO_ERROR;
    ConverterPtr cnv(ucnv_open(icu_name(name).c_str(), &err));
    if (U_FAILURE(err) || !cnv)
        throw std::invalid_argument("unknown encoding: " + std::string(name));
    return cnv;
}

// Every malformed or unmappable input sequence becomes one U+FFFD, whatever
// substitution character the code page itself would use.
void replace_with_fffd(const void*, UConverterToUnicodeArgs* args, const char*, int32_t,
                       UConverterCallbackReason reason, UErrorCode* err) {
    if (reason > UCNV_IRREGULAR) return;  // reset, close, clone: nothing to write
    static const UChar fffd = 0xFFFD;
    *err = U_ZERO_ERROR;
    ucnv_cbToUWriteUChars(args, &fffd, 1, 0, err);
}

void append_utf16_as_utf8(const UChar* s, int32_t n, std::string& out) {
    if (n <= 0) return;
    std::size_t base = out.size();
    out.resize(base + static_cast<std::size_t>(n) * 3);
    int32_t written = 0;
    UErrorCode err = U_ZERO_ERROR;
    u_strToUTF8WithSub(out.data() + base, n * 3, &written, s, n, 0xFFFD, nullptr, &err);
    out.resize(base + (U_SUCCESS(err) ? static_cast<std::size_t>(written) : 0));
}

}  // namespace

struct Decoder::Converter {
    ConverterPtr icu;
};

bool codec_known(std::string_view name) {
    if (is_utf8_name(name)) return true;
    try {
        open_converter(name);
        return true;
    } catch (const std::invalid_argument&) {
        return false;
    }
}

Decoder::Decoder(std::string_view encoding) {
    if (is_utf8_name(encoding)) return;
    ConverterPtr cnv = open_converter(encoding);
    UErrorCode err = U_ZERO_ERROR;
    ucnv_setToUCallBack(cnv.get(), replace_with_fffd, nullptr, nullptr, nullptr, &err);
    m_cnv = std::make_unique<Converter>(Converter{std::move(cnv)});
}

Decoder::~Decoder() = default;

std::string Decoder::decode(std::string_view bytes) {
    std::string out;
    if (!m_cnv) {
        out.reserve(bytes.size());
        m_utf8.decode(bytes, out);
        return out;
    }
    // Room for every byte becoming a surrogate pair plus what the converter held back.
    std::vector<UChar> buf(bytes.size() * 2 + 16);
    const char* src = bytes.data();
    const char* end = src + bytes.size();
    while (true) {
        UChar* target = buf.data();
        UErrorCode err = U_ZERO_ERROR;
        ucnv_toUnicode(m_cnv->icu.get(), &target, buf.data() + buf.size(), &src, end, nullptr,
                       false, &err);
        append_utf16_as_utf8(buf.data(), static_cast<int32_t>(target - buf.data()), out);
        if (err != U_BUFFER_OVERFLOW_ERROR) break;
    }
    return out;
}

std::string encode(std::string_view encoding, std::string_view utf8) {
    if (is_utf8_name(encoding)) return std::string(utf8);
    ConverterPtr cnv = open_converter(encoding);
    UErrorCode err = U_ZERO_ERROR;
    ucnv_setSubstChars(cnv.get(), "?", 1, &err);
    err = U_ZERO_ERROR;
    ucnv_setFromUCallBack(cnv.get(), UCNV_FROM_U_CALLBACK_SUBSTITUTE, nullptr, nullptr, nullptr,
                          &err);

    std::vector<UChar> wide(utf8.size() + 1);
    int32_t wide_len = 0;
    err = U_ZERO_ERROR;
    u_strFromUTF8WithSub(wide.data(), static_cast<int32_t>(wide.size()), &wide_len, utf8.data(),
                         static_cast<int32_t>(utf8.size()), 0xFFFD, nullptr, &err);
    if (U_FAILURE(err)) throw std::invalid_argument("text is not valid UTF-8");

    std::string out(static_cast<std::size_t>(wide_len) * 4 + 16, '\0');
    err = U_ZERO_ERROR;
    int32_t n = ucnv_fromUChars(cnv.get(), out.data(), static_cast<int32_t>(out.size()),
                                wide.data(), wide_len, &err);
    if (U_FAILURE(err)) throw std::runtime_error(std::string("encode: ") + u_errorName(err));
    out.resize(static_cast<std::size_t>(n));
    return out;
}

std::shared_ptr<Decoder> decoder_or_utf8(std::string_view encoding) {
    if (codec_known(encoding)) return std::make_shared<Decoder>(encoding);
    return std::make_shared<Decoder>("utf-8");
}

}  // namespace termiva::text
