#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <optional>
#include <stdexcept>
#include <utility>

#include "platform/code_page.h"
#include "text/codec.h"

// Windows' own code pages instead of ICU, which would have to be cross-built for Windows
// on every clean build. The names are the ones the Linux build knows; a name whose code page
// this system lacks is unknown here, so the tab falls back to UTF-8 rather than show garbage.
namespace termiva::text {

namespace {

constexpr unsigned UNAVAILABLE = 0;  // no Windows code page holds it (Big5-HKSCS, UTF-16)

constexpr std::array<std::pair<std::string_view, unsigned>, 24> NAME_TABLE{{
    {"big5", 950},       {"cp950", 950},          {"big5hkscs", UNAVAILABLE},
    {"gbk", 936},        {"cp936", 936},          {"gb2312", 936},
    {"gb18030", 54936},  {"shift-jis", 932},      {"sjis", 932},
    {"cp932", 932},      {"windows-31j", 932},    {"euc-jp", 20932},
    {"euc-kr", 51949},   {"cp949", 949},          {"latin-1", 28591},
    {"latin1", 28591},   {"iso-8859-1", 28591},   {"ascii", 20127},
    {"us-ascii", 20127}, {"cp437", 437},          {"cp1252", 1252},
    {"koi8-r", 20866},   {"utf-16", UNAVAILABLE}, {"big5-hkscs", UNAVAILABLE},
}};

// A code page some systems lack and the one that reads the same text: Wine has no EUC-KR
// code page, and Korean code page 949 is a superset of it.
constexpr std::array<std::pair<unsigned, unsigned>, 1> STAND_INS{{{51949, 949}}};

std::optional<unsigned> installed(unsigned cp) {
    if (platform::code_page_installed(cp)) return cp;
    for (const auto& [wanted, stand_in] : STAND_INS) {
        if (cp == wanted && platform::code_page_installed(stand_in)) return stand_in;
    }
    return std::nullopt;
}

std::string lower(std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    std::replace(out.begin(), out.end(), '_', '-');
    return out;
}

bool is_utf8_name(std::string_view name) {
    std::string l = lower(name);
    return l == "utf-8" || l == "utf8";
}

// The code page of a name from the table, or of "cpNNN" / "windows-NNN" (what ICU's alias
// table also accepts), when this system has it installed.
std::optional<unsigned> code_page_of(std::string_view name) {
    std::string l = lower(name);
    for (const auto& [ours, cp] : NAME_TABLE) {
        if (l != ours) continue;
        if (cp == UNAVAILABLE) return std::nullopt;
        return installed(cp);
    }
    std::string_view digits;
    if (l.rfind("cp", 0) == 0) digits = std::string_view(l).substr(2);
    if (l.rfind("windows-", 0) == 0) digits = std::string_view(l).substr(8);
    unsigned cp = 0;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), cp);
    if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size())
        return std::nullopt;
    return installed(cp);
}

unsigned required_code_page(std::string_view name) {
    auto cp = code_page_of(name);
    if (!cp) throw std::invalid_argument("unknown encoding: " + std::string(name));
    return *cp;
}

}  // namespace

struct Decoder::Converter {
    platform::CodePageDecoder code_page;
};

bool codec_known(std::string_view name) {
    return is_utf8_name(name) || code_page_of(name).has_value();
}

Decoder::Decoder(std::string_view encoding) {
    if (is_utf8_name(encoding)) return;
    m_cnv = std::make_unique<Converter>(
        Converter{platform::CodePageDecoder(required_code_page(encoding))});
}

Decoder::~Decoder() = default;

std::string Decoder::decode(std::string_view bytes) {
    std::string out;
    if (!m_cnv) {
        out.reserve(bytes.size());
        m_utf8.decode(bytes, out);
        return out;
    }
    return m_cnv->code_page.decode(bytes);
}

std::string encode(std::string_view encoding, std::string_view utf8) {
    if (is_utf8_name(encoding)) return std::string(utf8);
    return platform::encode_code_page(required_code_page(encoding), utf8);
}

std::shared_ptr<Decoder> decoder_or_utf8(std::string_view encoding) {
    if (codec_known(encoding)) return std::make_shared<Decoder>(encoding);
    return std::make_shared<Decoder>("utf-8");
}

}  // namespace termiva::text
