// Writing images and erasing the whole flash.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

#include "byte_order.h"
#include "deflate.h"
#include "diagnostics.h"
#include "flasher_job.h"
#include "text_format.h"

namespace flashwright::detail {
namespace {

// Whole-flash erase through the ROM loader goes in regions this large, so the page sees it
// move and a cancel is noticed between them.
constexpr std::uint32_t ROM_ERASE_REGION = 256 * 1024;
constexpr std::uint32_t DEFAULT_FLASH_SIZE = 4u << 20;

// The file an image's name (UTF-8, from the page) names. Through char8_t, which every system
// reads as UTF-8: on Windows a plain narrow string would be read in the ANSI code page, and a
// name outside it would name no file or the wrong one.
std::filesystem::path file_path(const std::string& utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string read_whole_file(const std::string& path) {
    std::ifstream in(file_path(path), std::ios::binary);
    if (!in) throw EspError({"file_unreadable", {{"path", path}}});
    std::ostringstream content;
    content << in.rdbuf();
    if (in.bad()) throw EspError({"file_unreadable", {{"path", path}}});
    return std::move(content).str();
}

std::uint32_t as_u32(std::uint64_t value, const char* what) {
    if (value > 0xFFFFFFFFULL) throw EspProtocolError({"too_large", {{"what", what}}});
    return static_cast<std::uint32_t>(value);
}

std::string signed_hex(std::int64_t offset) {
    return offset < 0 ? "-" + hex_upper(static_cast<std::uint64_t>(-offset))
                      : hex_upper(static_cast<std::uint64_t>(offset));
}

// The flash size an ESP application image's header declares (byte 3, high nibble: 1 MB
// shifted left by it), or 0 when the bytes are no such header.
std::uint32_t header_flash_size(std::string_view head) {
    if (head.size() < 4 || static_cast<std::uint8_t>(head[0]) != 0xE9) return 0;
    const unsigned code = static_cast<std::uint8_t>(head[3]) >> 4;
    return code <= 7 ? (1u << 20) << code : 0;
}

std::string first_bytes(const std::string& path, std::size_t n) {
    std::ifstream in(file_path(path), std::ios::binary);
    std::string head(n, '\0');
    in.read(head.data(), static_cast<std::streamsize>(n));
    head.resize(static_cast<std::size_t>(in ? n : in.gcount()));
    return head;
}

}  // namespace

std::uint32_t FlasherJob::_erase_size_for_begin(std::uint64_t size) {
    return as_u32((size + 4095) / 4096 * 4096, "erase size");
}

FlasherJob::FlashSize FlasherJob::_flash_size_for_job() const {
    const auto mb = [](std::uint64_t bytes) { return std::to_string(bytes >> 20); };
    if (options.flash_size != 0)
        return {options.flash_size, {"flash_size", {{"size", mb(options.flash_size)}}}};
    // The ROM loader has no command that reports the chip's size; the boot loader's own
    // header says what the board was built for, and otherwise any size that holds every
    // image serves the loader, which only checks that writes stay inside it.
    std::uint64_t needed = 0;
    for (const auto& file : files) {
        std::error_code ec;
        const auto size = std::filesystem::file_size(file_path(file.path), ec);
        if (!ec && file.offset >= 0) {
            needed =
                std::max<std::uint64_t>(needed, static_cast<std::uint64_t>(file.offset) + size);
        }
        const bool at_bootloader =
            _chip_info && file.offset == static_cast<std::int64_t>(_chip_info->bootloader_offset);
        if (at_bootloader) {
            if (auto declared = header_flash_size(first_bytes(file.path, 4))) {
                return {declared,
                        {"flash_size_header",
                         {{"size", mb(declared)}, {"file", base_name(file.path)}}}};
            }
        }
    }
    std::uint64_t size = DEFAULT_FLASH_SIZE;
    while (size < needed && size < (1ULL << 31))
        size <<= 1;
    return {static_cast<std::uint32_t>(size), {"flash_size_fitted", {{"size", mb(size)}}}};
}

void FlasherJob::_flash_begin_block(std::uint64_t total_size, std::uint32_t offset, bool compressed,
                                    std::optional<std::uint64_t> uncompressed_size) {
    const std::uint64_t bs = _block_size;
    const auto blocks = as_u32((total_size + bs - 1) / bs, "block count");
    const std::uint64_t size = uncompressed_size.value_or(total_size);
    const auto bs32 = static_cast<std::uint32_t>(bs);
    // The ROM erases what it is told before it writes, in whole sectors; the stub erases as
    // it goes and wants the exact length.
    const std::uint32_t announced = _is_stub ? as_u32(size, "size") : _erase_size_for_begin(size);
    _command(compressed ? ESP_FLASH_DEFL_BEGIN : ESP_FLASH_BEGIN,
             words_le({announced, blocks, bs32, offset}), 0, timing.flash_begin_timeout);
}

void FlasherJob::_flash_data_block(std::uint32_t seq, std::string_view chunk, bool compressed) {
    std::string data = words_le({static_cast<std::uint32_t>(chunk.size()), seq, 0, 0});
    data.append(chunk);
    _command(compressed ? ESP_FLASH_DEFL_DATA : ESP_FLASH_DATA, data, _checksum(chunk),
             timing.flash_block_timeout);
}

void FlasherJob::_flash_end_block(bool compressed, bool reboot) {
    _command(compressed ? ESP_FLASH_DEFL_END : ESP_FLASH_END, words_le({reboot ? 0u : 1u}), 0,
             timing.flash_end_timeout);
}

void FlasherJob::_flash_one_file(const std::string& path, std::int64_t offset, bool compress) {
    const std::string filename = base_name(path);
    const std::string raw = read_whole_file(path);
    if (raw.empty()) {
        _log({"file_empty", {{"file", filename}}}, LogLevel::Warn);
        return;
    }
    if (offset % 4096 != 0) {
        throw EspProtocolError(
            {"file_misaligned", {{"file", filename}, {"offset", signed_hex(offset)}}});
    }
    // A negative offset or an image running past the 32-bit address space cannot be expressed
    // in the begin command; refuse it instead of letting the offset wrap around.
    if (offset < 0 || static_cast<std::uint64_t>(offset) + raw.size() > 0x100000000ULL) {
        throw EspProtocolError(
            {"file_out_of_range", {{"file", filename}, {"offset", signed_hex(offset)}}});
    }
    const auto flash_offset = static_cast<std::uint32_t>(offset);
    const bool loader_inflates = _is_stub || (_chip_info && _chip_info->rom_deflate);
    const bool use_compression = compress && loader_inflates;
    if (compress && !loader_inflates) {
        _log({"rom_uncompressed", {{"chip", _chip_info ? _chip_info->name : "?"}}});
    }

    std::string compressed_payload;
    if (use_compression) compressed_payload = zlib_compress(raw);
    const std::string& payload = use_compression ? compressed_payload : raw;
    if (use_compression) {
        _phase("flash", {"detail_compressed",
                         {{"file", filename},
                          {"raw", std::to_string(raw.size())},
                          {"size", std::to_string(payload.size())}}});
    } else {
        _phase("flash",
               {"detail_plain", {{"file", filename}, {"raw", std::to_string(raw.size())}}});
    }

    const std::size_t bs = _block_size;
    const std::size_t blocks = (payload.size() + bs - 1) / bs;
    diag("[esp][flash] " + filename + " offset=0x" + hex_upper(flash_offset) +
         " raw=" + std::to_string(raw.size()) + " payload=" + std::to_string(payload.size()) +
         " bs=" + std::to_string(bs) + " blocks=" + std::to_string(blocks) +
         " compress=" + diag_bool(use_compression) + " stub=" + diag_bool(_is_stub));

    _flash_begin_block(payload.size(), flash_offset, use_compression, raw.size());

    std::uint64_t sent = 0;
    std::uint32_t seq = 0;
    const std::size_t log_every = std::max<std::size_t>(1, blocks / 10);
    for (std::size_t p = 0; p < payload.size(); p += bs) {
        throw_if_cancelled();
        std::string chunk = payload.substr(p, bs);
        if (chunk.size() < bs && !use_compression) chunk.append(bs - chunk.size(), '\xFF');
        _flash_data_block(seq, chunk, use_compression);
        sent += chunk.size();
        const std::uint64_t shown = sent * raw.size() / payload.size();
        _progress(filename, std::min<std::uint64_t>(shown, raw.size()), raw.size());
        if (seq % log_every == 0 || seq + 1 == blocks) {
            diag("[esp][flash] " + filename + " block " + std::to_string(seq + 1) + "/" +
                 std::to_string(blocks) + " sent=" + std::to_string(sent) + "/" +
                 std::to_string(payload.size()));
        }
        ++seq;
    }
    // The ROM loader takes FLASH_END's word 1 as "run the application": it would leave the
    // loader before the next image. It has written every acknowledged block already, so the
    // ROM path simply carries on; the stub needs the end to flush its last sectors.
    if (_is_stub) _flash_end_block(use_compression, false);
    if (options.verify) _verify_region(filename, flash_offset, raw);
    _file_done(filename, path);
}

void FlasherJob::_run_flash() {
    if (files.empty()) throw EspProtocolError({"no_files", {}});
    const std::size_t n = files.size();
    for (std::size_t i = 0; i < n; ++i) {
        std::error_code ec;
        if (!std::filesystem::is_regular_file(file_path(files[i].path), ec)) {
            throw EspProtocolError({"file_missing", {{"path", files[i].path}}});
        }
    }
    if (!_params_set) {
        auto [size, said] = _flash_size_for_job();
        _spi_set_params(size);
        _log(std::move(said));
    }
    for (std::size_t i = 0; i < n; ++i) {
        throw_if_cancelled();
        const std::string& path = files[i].path;
        const std::int64_t offset = files[i].offset;
        _log({"file_start",
              {{"index", std::to_string(i + 1)},
               {"count", std::to_string(n)},
               {"file", base_name(path)},
               {"offset", signed_hex(offset)}}});
        _flash_one_file(path, offset, options.compress);
    }
}

void FlasherJob::_erase_flash_all() {
    _phase("erase", {"detail_erase", {}});
    diag(std::string("[esp][erase] sending ESP_ERASE_FLASH (0xD0), stub=") + diag_bool(_is_stub) +
         ", timeout=" + std::to_string(static_cast<long long>(timing.erase_timeout)) +
         "s, waiting for response...");
    const double start = now();
    const auto [value, body] = _command(ESP_ERASE_FLASH, {}, 0, timing.erase_timeout);
    diag("[esp][erase] ESP_ERASE_FLASH done in " + one_decimal(now() - start) + "s value=0x" +
         hex8(value) + " body=" + render_bytes(body));
}

void FlasherJob::_erase_flash_rom(std::uint32_t flash_size) {
    _phase("erase", {"detail_erase", {}});
    _log({"erase_rom", {}});
    const auto bs = static_cast<std::uint32_t>(_block_size);
    for (std::uint64_t at = 0; at < flash_size; at += ROM_ERASE_REGION) {
        throw_if_cancelled();
        const auto len =
            static_cast<std::uint32_t>(std::min<std::uint64_t>(ROM_ERASE_REGION, flash_size - at));
        // FLASH_BEGIN erases the region it announces; no data follows, and without a
        // FLASH_END the loader stays ready for the next region.
        _command(ESP_FLASH_BEGIN,
                 words_le({len, (len + bs - 1) / bs, bs, static_cast<std::uint32_t>(at)}), 0,
                 timing.erase_timeout);
        _progress("", at + len, flash_size, {"progress_erase", {}});
    }
}

void FlasherJob::_run_erase_all() {
    if (_is_stub) return _erase_flash_all();
    if (options.flash_size == 0) throw EspProtocolError({"erase_needs_size", {}});
    _spi_set_params(options.flash_size);
    _log({"flash_size", {{"size", std::to_string(options.flash_size >> 20)}}});
    _erase_flash_rom(options.flash_size);
}

}  // namespace flashwright::detail
