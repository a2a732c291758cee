// Download-mode entry, sync, chip detection, SPI attach and the RAM stub loader.
#include <fstream>
#include <sstream>
#include <system_error>

#include "base64.h"
#include "byte_order.h"
#include "diagnostics.h"
#include "flasher_job.h"
#include "text_format.h"

namespace flashwright::detail {
namespace {

std::string failure_text(const std::exception& e) {
    return e.what();
}

// Runs one caller-supplied reset; returns the failure text, or nothing on success.
std::optional<std::string> call_reset(const ResetFunc& fn) {
    try {
        fn();
        return std::nullopt;
    } catch (const std::exception& e) {
        return failure_text(e);
    } catch (...) {
        return std::string("unknown error");
    }
}

const std::string SYNC_BODY = [] {
    std::string body = "\x07\x07\x12\x20";
    body.append(32, '\x55');
    return body;
}();

struct StubImage {
    std::string text;
    std::uint32_t text_start = 0;
    std::string data;
    std::uint32_t data_start = 0;
    std::uint32_t entry = 0;
};

std::uint32_t stub_address(const nlohmann::json& doc, const char* key) {
    if (!doc.contains(key)) throw std::runtime_error(std::string("missing '") + key + "'");
    const auto& v = doc.at(key);
    if (!v.is_number_integer() || v.get<std::int64_t>() < 0 ||
        v.get<std::int64_t>() > 0xFFFFFFFFLL) {
        throw std::runtime_error(std::string("'") + key + "' is not a 32-bit address");
    }
    return static_cast<std::uint32_t>(v.get<std::int64_t>());
}

StubImage parse_stub(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot open " + path.filename().string());
    std::stringstream content;
    content << in.rdbuf();
    const auto doc = nlohmann::json::parse(content.str());
    if (!doc.is_object()) throw std::runtime_error("stub file is not a JSON object");
    if (!doc.contains("text") || !doc.at("text").is_string()) {
        throw std::runtime_error("missing 'text'");
    }
    StubImage stub;
    stub.text = base64_decode(doc.at("text").get<std::string>());
    stub.text_start = stub_address(doc, "text_start");
    if (doc.contains("data") && !doc.at("data").is_null()) {
        if (!doc.at("data").is_string()) throw std::runtime_error("'data' is not a string");
        stub.data = base64_decode(doc.at("data").get<std::string>());
        if (!stub.data.empty()) stub.data_start = stub_address(doc, "data_start");
    }
    stub.entry = stub_address(doc, "entry");
    return stub;
}

}  // namespace

void FlasherJob::_enter_bootloader() {
    std::string key;
    if (options.interface == Interface::Uart) {
        key = "enter_bootloader_uart";
        _log({"reset_uart", {}});
    } else if (options.interface == Interface::UsbJtag) {
        key = "enter_bootloader_usb";
        _log({"reset_usb", {}});
    } else {
        key = "enter_bootloader_uart";
        _log({"reset_auto", {}});
    }
    const auto it = reset_funcs.find(key);
    if (it == reset_funcs.end() || !it->second) return;
    if (auto failure = call_reset(it->second))
        _log({"reset_failed", {{"error", *failure}}}, LogLevel::Warn);
}

bool FlasherJob::_try_alt_interface() {
    if (options.interface != Interface::Auto) return false;
    const auto it = reset_funcs.find("enter_bootloader_usb");
    if (it == reset_funcs.end() || !it->second) return false;
    _log({"reset_switch_usb", {}});
    if (auto failure = call_reset(it->second)) {
        _log({"reset_usb_failed", {{"error", *failure}}}, LogLevel::Warn);
        return false;
    }
    return true;
}

bool FlasherJob::_do_sync() {
    _suppress_resp_log = true;
    int timeouts = 0;
    int errors = 0;
    const int retries = timing.sync_retries;
    try {
        for (int attempt = 0; attempt < retries; ++attempt) {
            throw_if_cancelled();
            _flush_residual(timing.sync_flush);
            _send_command(ESP_SYNC, SYNC_BODY, 0);
            try {
                _check_response(ESP_SYNC, timing.sync_response_timeout);
                _flush_residual(timing.sync_done_flush);
                _suppress_resp_log = false;
                diag("[esp][sync] OK on attempt " + std::to_string(attempt + 1) +
                     " (prev timeouts=" + std::to_string(timeouts) +
                     ", errors=" + std::to_string(errors) + ")");
                return true;
            } catch (const EspTimeoutError&) {
                ++timeouts;
            } catch (const EspProtocolError&) {
                ++errors;
            }
            if ((attempt + 1) % 10 == 0) {
                diag("[esp][sync] attempt " + std::to_string(attempt + 1) + "/" +
                     std::to_string(retries) + " timeouts=" + std::to_string(timeouts) +
                     " errors=" + std::to_string(errors));
            }
            if (attempt == timing.sync_switch_attempt && _try_alt_interface()) continue;
            sleep_cancellable(timing.sync_pause);
        }
    } catch (...) {
        _suppress_resp_log = false;
        throw;
    }
    _suppress_resp_log = false;
    diag("[esp][sync] FAILED after " + std::to_string(retries) + " attempts (timeouts=" +
         std::to_string(timeouts) + ", errors=" + std::to_string(errors) + ")");
    return false;
}

std::uint32_t FlasherJob::_read_reg(std::uint32_t addr) {
    return _command(ESP_READ_REG, words_le({addr})).first;
}

bool FlasherJob::_detect_chip() {
    const std::string& forced = options.chip;
    if (!forced.empty() && forced != "auto") {
        if (const ChipInfo* row = find_chip(forced)) {
            _chip = forced;
            _chip_info = *row;
            _log({"chip_chosen", {{"chip", row->name}}});
            return true;
        }
        _log({"chip_unknown_key", {{"chip", forced}}}, LogLevel::Warn);
    }
    std::uint32_t magic = 0;
    try {
        magic = _read_reg(CHIP_DETECT_MAGIC_REG_ADDR);
    } catch (const EspFlasherCancelled&) {
        throw;
    } catch (const std::exception& e) {
        _log({"chip_magic_failed", {{"error", e.what()}}}, LogLevel::Error);
        return false;
    }
    for (const auto& [key, row] : CHIP_TABLE) {
        if (row.detect_reg != CHIP_DETECT_MAGIC_REG_ADDR) continue;
        for (auto m : row.magic) {
            if (m != magic) continue;
            _chip = key;
            _chip_info = row;
            _log({"chip_detected", {{"chip", row.name}, {"magic", hex8_upper(magic)}}});
            return true;
        }
    }
    _log({"chip_magic_unknown", {{"magic", hex8_upper(magic)}}}, LogLevel::Error);
    return false;
}

void FlasherJob::_spi_attach() {
    if (_is_stub) return;
    _command(ESP_SPI_ATTACH, words_le({0, 0}));
}

bool FlasherJob::_try_load_stub() {
    const std::filesystem::path blob = stub_dir / (_chip.value_or("") + ".json");
    std::error_code ec;
    if (!std::filesystem::is_regular_file(blob, ec)) {
        _log({"stub_missing", {{"file", blob.filename().string()}}}, LogLevel::Warn);
        return false;
    }
    StubImage stub;
    try {
        stub = parse_stub(blob);
    } catch (const std::exception& e) {
        _log({"stub_unreadable", {{"error", e.what()}}}, LogLevel::Warn);
        return false;
    }
    try {
        _upload_ram_segment(stub.text, stub.text_start);
        if (!stub.data.empty()) _upload_ram_segment(stub.data, stub.data_start);
        _send_command(ESP_MEM_END, words_le({0, stub.entry}));
        const double deadline = now() + timing.ohai_timeout;
        for (;;) {
            const double remain = deadline - now();
            if (remain <= 0) {
                _log({"stub_no_hello", {}}, LogLevel::Warn);
                return false;
            }
            std::string pkt;
            try {
                pkt = _read_packet(remain);
            } catch (const EspTimeoutError&) {
                _log({"stub_no_hello", {}}, LogLevel::Warn);
                return false;
            }
            if (pkt.compare(0, STUB_HELLO.size(), STUB_HELLO) == 0) {
                _is_stub = true;
                _block_size = FLASH_WRITE_SIZE_STUB;
                _log({"stub_running", {}});
                return true;
            }
            diag("[esp][stub] skip non-OHAI pkt while waiting OHAI: " +
                 render_bytes(std::string_view(pkt).substr(0, 12)));
        }
    } catch (const EspFlasherCancelled&) {
        throw;
    } catch (const std::exception& e) {
        _log({"stub_upload_failed", {{"error", e.what()}}}, LogLevel::Warn);
        return false;
    }
}

void FlasherJob::_upload_ram_segment(std::string_view data, std::uint32_t addr) {
    const std::size_t bs = MEM_WRITE_SIZE;
    const auto blocks = static_cast<std::uint32_t>((data.size() + bs - 1) / bs);
    _command(ESP_MEM_BEGIN, words_le({static_cast<std::uint32_t>(data.size()), blocks,
                                      static_cast<std::uint32_t>(bs), addr}));
    for (std::uint32_t seq = 0; seq < blocks; ++seq) {
        const std::string_view chunk = data.substr(seq * bs, bs);
        std::string payload = words_le({static_cast<std::uint32_t>(chunk.size()), seq, 0, 0});
        payload.append(chunk);
        _command(ESP_MEM_DATA, payload, _checksum(chunk));
    }
}

}  // namespace flashwright::detail
