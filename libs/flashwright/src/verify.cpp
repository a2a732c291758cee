// Reading an image back as the MD5 of its flash region.
#include <gcrypt.h>

#include <algorithm>
#include <cctype>

#include "byte_order.h"
#include "diagnostics.h"
#include "flasher_job.h"
#include "text_format.h"

namespace flashwright::detail {
namespace {

std::string to_hex(std::string_view bytes) {
    static constexpr char DIGITS[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += DIGITS[c >> 4];
        out += DIGITS[c & 0xF];
    }
    return out;
}

std::string md5_hex(std::string_view data) {
    // libgcrypt starts itself on first use when the program has not.
    std::string digest(16, '\0');
    gcry_md_hash_buffer(GCRY_MD_MD5, digest.data(), data.data(), data.size());
    return to_hex(digest);
}

// The ROM loader answers 32 hex characters, the stub 16 raw bytes; anything else is none.
std::optional<std::string> answered_md5(std::string_view body, bool stub) {
    if (stub) {
        if (body.size() < 16) return std::nullopt;
        return to_hex(body.substr(0, 16));
    }
    if (body.size() < 32) return std::nullopt;
    std::string hex(body.substr(0, 32));
    for (char& c : hex) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) return std::nullopt;
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return hex;
}

}  // namespace

void FlasherJob::_verify_region(const std::string& filename, std::uint32_t offset,
                                std::string_view raw) {
    _phase("verify", {"detail_verify", {{"file", filename}}});
    const auto size = static_cast<std::uint32_t>(raw.size());
    const double mib = static_cast<double>(raw.size()) / (1 << 20);
    const double timeout = std::max(timing.cmd_timeout, timing.md5_timeout_per_mib * mib);
    const auto [value, body] =
        _command(ESP_SPI_FLASH_MD5, words_le({offset, size, 0, 0}), 0, timeout);
    const auto actual = answered_md5(body, _is_stub);
    if (!actual) {
        diag("[esp][verify] unreadable MD5 answer: " + render_bytes(body));
        throw EspProtocolError({"verify_bad_answer", {{"file", filename}}});
    }
    const std::string expected = md5_hex(raw);
    if (*actual != expected) {
        throw EspProtocolError({"verify_mismatch",
                                {{"file", filename},
                                 {"offset", hex_upper(offset)},
                                 {"actual", *actual},
                                 {"expected", expected}}});
    }
    _log({"verified", {{"file", filename}, {"md5", expected}}});
}

}  // namespace flashwright::detail
