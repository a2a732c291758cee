// Writing images and erasing the whole flash.
#include <algorithm>
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

std::string read_whole_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("無法讀取檔案:" + path);
    std::ostringstream content;
    content << in.rdbuf();
    if (in.bad()) throw std::runtime_error("無法讀取檔案:" + path);
    return std::move(content).str();
}

std::uint32_t as_u32(std::uint64_t value, const char* what) {
    if (value > 0xFFFFFFFFULL) throw std::runtime_error(std::string(what) + " 超出 32 位元範圍");
    return static_cast<std::uint32_t>(value);
}

}  // namespace

std::uint32_t FlasherJob::_erase_size_for_begin(std::uint64_t size) {
    return as_u32((size + 4095) / 4096 * 4096, "erase size");
}

void FlasherJob::_flash_begin_block(std::uint64_t total_size, std::uint32_t offset, bool compressed,
                                    std::optional<std::uint64_t> uncompressed_size) {
    const std::uint64_t bs = _block_size;
    const auto blocks = as_u32((total_size + bs - 1) / bs, "block count");
    const std::uint64_t size = uncompressed_size.value_or(total_size);
    const auto bs32 = static_cast<std::uint32_t>(bs);
    if (compressed) {
        _command(ESP_FLASH_DEFL_BEGIN, words_le({as_u32(size, "size"), blocks, bs32, offset}), 0,
                 timing.flash_begin_timeout);
    } else if (_is_stub) {
        _command(ESP_FLASH_BEGIN, words_le({as_u32(size, "size"), blocks, bs32, offset}), 0,
                 timing.flash_begin_timeout);
    } else {
        _command(ESP_FLASH_BEGIN, words_le({_erase_size_for_begin(size), blocks, bs32, offset}), 0,
                 timing.flash_begin_timeout);
    }
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
        _log("略過空檔案:" + filename, "warn");
        return;
    }
    if (offset % 4096 != 0) {
        const std::string shown = offset < 0 ? "-" + hex_upper(static_cast<std::uint64_t>(-offset))
                                             : hex_upper(static_cast<std::uint64_t>(offset));
        throw EspProtocolError(filename + " offset 0x" + shown + " 未對齊到 4 KB");
    }
    // A negative offset or an image running past the 32-bit address space cannot be expressed
    // in the begin command; refuse it instead of letting the offset wrap around.
    if (offset < 0 || static_cast<std::uint64_t>(offset) + raw.size() > 0x100000000ULL) {
        throw EspProtocolError(
            filename + " offset 0x" +
            hex_upper(static_cast<std::uint64_t>(std::max<std::int64_t>(offset, 0))) +
            " 超出 flash 位址範圍");
    }
    const auto flash_offset = static_cast<std::uint32_t>(offset);
    const bool use_compression = compress && _is_stub;
    if (compress && !_is_stub) _log("沒有 stub,FLASH_DEFL 不可用,改用未壓縮上傳", "warn");

    std::string compressed_payload;
    if (use_compression) compressed_payload = zlib_compress(raw);
    const std::string& payload = use_compression ? compressed_payload : raw;
    if (use_compression) {
        _phase("flash", filename + "(壓縮 " + std::to_string(raw.size()) + " → " +
                            std::to_string(payload.size()) + " bytes)");
    } else {
        _phase("flash", filename + "(" + std::to_string(raw.size()) + " bytes)");
    }

    const std::size_t bs = _block_size;
    const std::size_t blocks = (payload.size() + bs - 1) / bs;
    diag("[esp][flash] " + filename + " offset=0x" + hex_upper(flash_offset) +
         " raw=" + std::to_string(raw.size()) + " payload=" + std::to_string(payload.size()) +
         " bs=" + std::to_string(bs) + " blocks=" + std::to_string(blocks) +
         " compress=" + py_bool(use_compression) + " stub=" + py_bool(_is_stub));

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
    _flash_end_block(use_compression, false);
    _file_done(filename, path);
}

void FlasherJob::_run_flash() {
    if (files.empty()) throw EspProtocolError("未指定要燒錄的檔案");
    const bool compress = option_flag("compress", true);
    const std::size_t n = files.size();
    for (std::size_t i = 0; i < n; ++i) {
        throw_if_cancelled();
        const std::string& path = files[i].path;
        const std::int64_t offset = files[i].offset;
        std::error_code ec;
        if (!std::filesystem::is_regular_file(std::filesystem::path(path), ec)) {
            throw EspProtocolError("找不到檔案:" + path);
        }
        const std::string shown = offset < 0 ? "-" + hex_upper(static_cast<std::uint64_t>(-offset))
                                             : hex_upper(static_cast<std::uint64_t>(offset));
        _log("[" + std::to_string(i + 1) + "/" + std::to_string(n) + "] " + base_name(path) +
             " → 0x" + shown);
        _flash_one_file(path, offset, compress);
    }
}

void FlasherJob::_erase_flash_all() {
    if (!_is_stub && !(_chip_info && _chip_info->supports_rom_erase_region)) {
        throw EspProtocolError((_chip_info ? _chip_info->name : std::string("?")) +
                               " 的 ROM 不支援 erase_flash,需要 stub blob 才能全清");
    }
    _phase("erase", "整顆 flash(可能需要數分鐘)");
    diag(std::string("[esp][erase] sending ESP_ERASE_FLASH (0xD0), stub=") + py_bool(_is_stub) +
         ", timeout=" + std::to_string(static_cast<long long>(timing.erase_timeout)) +
         "s, waiting for response...");
    const double start = now();
    const auto [value, body] = _command(ESP_ERASE_FLASH, {}, 0, timing.erase_timeout);
    diag("[esp][erase] ESP_ERASE_FLASH done in " + one_decimal(now() - start) + "s value=0x" +
         hex8(value) + " body=" + render_bytes(body));
}

void FlasherJob::_run_erase_all() {
    _erase_flash_all();
}

}  // namespace flashwright::detail
