// What the loader needs before it writes: the flash parameters and, when asked for, a faster
// line. The job never touches the port itself: the caller's `set_baud` changes its speed.
#include "byte_order.h"
#include "diagnostics.h"
#include "flasher_job.h"
#include "text_format.h"

namespace flashwright::detail {
namespace {

// Flash geometry every supported chip's SPI flash shares; only the total size varies.
constexpr std::uint32_t FLASH_BLOCK = 64 * 1024;
constexpr std::uint32_t FLASH_SECTOR = 4096;
constexpr std::uint32_t FLASH_PAGE = 256;
constexpr std::uint32_t FLASH_STATUS_MASK = 0xFFFF;

const std::string SYNC_BODY = [] {
    std::string body = "\x07\x07\x12\x20";
    body.append(32, '\x55');
    return body;
}();

}  // namespace

void FlasherJob::_spi_set_params(std::uint32_t flash_size) {
    _command(ESP_SPI_SET_PARAMS,
             words_le({0, flash_size, FLASH_BLOCK, FLASH_SECTOR, FLASH_PAGE, FLASH_STATUS_MASK}));
    _params_set = true;
}

bool FlasherJob::_resync() {
    _suppress_resp_log = true;
    try {
        for (int attempt = 0; attempt < timing.baud_sync_retries; ++attempt) {
            throw_if_cancelled();
            _flush_residual(timing.sync_flush);
            _send_command(ESP_SYNC, SYNC_BODY, 0);
            try {
                _check_response(ESP_SYNC, timing.sync_response_timeout);
                _flush_residual(timing.sync_done_flush);
                _suppress_resp_log = false;
                return true;
            } catch (const EspTimeoutError&) {
            } catch (const EspProtocolError&) {
            }
        }
    } catch (...) {
        _suppress_resp_log = false;
        throw;
    }
    _suppress_resp_log = false;
    return false;
}

void FlasherJob::_change_baud() {
    const std::uint32_t line = options.line_baud;
    const std::uint32_t fast = options.flash_baud;
    if (fast == 0 || fast == line || line == 0 || !set_baud) return;
    _phase("baud");
    _log({"baud_change", {{"baud", std::to_string(fast)}}});
    // The ROM loader takes 0 as the old speed; the stub divides from the speed it runs at.
    try {
        _command(ESP_CHANGE_BAUDRATE, words_le({fast, _is_stub ? line : 0u}));
    } catch (const EspFlasherCancelled&) {
        throw;
    } catch (const EspError& e) {
        // Refused or unanswered: the board is still at the line's speed, and so is the port.
        diag(std::string("[esp][baud] CHANGE_BAUDRATE failed: ") + e.what());
        _log({"baud_fallback", {{"baud", std::to_string(fast)}, {"line", std::to_string(line)}}},
             LogLevel::Warn);
        return;
    }
    try {
        set_baud(fast);
        _baud_changed = true;
    } catch (const std::exception& e) {
        diag(std::string("[esp][baud] the port refused ") + std::to_string(fast) + ": " + e.what());
    }
    sleep_cancellable(timing.baud_settle);
    if (_baud_changed && _resync()) return;

    // Once back to the line's speed: a board that kept its speed answers there.
    _log({"baud_fallback", {{"baud", std::to_string(fast)}, {"line", std::to_string(line)}}},
         LogLevel::Warn);
    _restore_baud();
    sleep_cancellable(timing.baud_settle);
    if (!_resync()) throw EspTimeoutError({"sync_failed", {}});
}

void FlasherJob::_restore_baud() noexcept {
    if (!_baud_changed) return;
    _baud_changed = false;
    try {
        set_baud(options.line_baud);
    } catch (const std::exception& e) {
        diag(std::string("[esp][baud] restoring the line's speed failed: ") + e.what());
    } catch (...) {
        diag("[esp][baud] restoring the line's speed failed");
    }
}

}  // namespace flashwright::detail
