#include "flashwright/messages.h"

namespace flashwright {
namespace {

using Template = std::pair<std::string_view, std::string_view>;

const std::vector<Template> TEMPLATES = {
    // Log lines.
    {"reset_uart", "Entering download mode with the UART classic reset"},
    {"reset_usb", "Entering download mode with the USB-Serial-JTAG reset"},
    {"reset_auto", "Auto mode: trying the UART reset first"},
    {"reset_failed", "Reset failed: {error}"},
    {"reset_switch_usb", "No answer after the UART reset, switching to the USB-Serial-JTAG reset"},
    {"reset_usb_failed", "USB-JTAG reset failed: {error}"},
    {"chip_chosen", "Using the chosen chip: {chip}"},
    {"chip_unknown_key", "Unknown chip {chip}, detecting it instead"},
    {"chip_magic_failed", "Reading the chip magic failed: {error}"},
    {"chip_detected", "Detected {chip} (magic=0x{magic})"},
    {"chip_magic_unknown", "Unknown chip magic 0x{magic}; please choose the chip"},
    {"stub_missing", "No stub loader ({file}), writing through the ROM loader"},
    {"stub_unreadable",
     "The stub loader file cannot be used: {error}; writing through the ROM "
     "loader"},
    {"stub_no_hello", "The stub loader did not answer in time"},
    {"stub_running", "Stub loader running"},
    {"stub_upload_failed",
     "Uploading the stub loader failed: {error}; writing through the ROM "
     "loader"},
    {"cancelled", "Cancelled by the user"},
    {"hard_reset_done", "Hard reset done, the board runs its application again"},
    {"hard_reset_failed", "Hard reset failed: {error}"},
    {"file_empty", "Skipped the empty file {file}"},
    {"file_start", "[{index}/{count}] {file} → 0x{offset}"},
    {"rom_uncompressed", "The {chip} ROM loader takes no compressed writes; writing uncompressed"},
    {"baud_change", "Switching the line to {baud} bit/s for flashing"},
    {"baud_fallback", "The board did not answer at {baud} bit/s; going on at {line} bit/s"},
    {"flash_size", "Flash size {size} MB"},
    {"flash_size_header", "Flash size {size} MB, as the header of {file} states"},
    {"flash_size_fitted",
     "Flash size {size} MB: the smallest usual size holding every image (the ROM loader "
     "cannot report the chip's size)"},
    {"verified", "{file} verified (MD5 {md5})"},
    {"erase_rom", "Erasing through the ROM loader, region by region"},
    // Phase titles (phase_title).
    {"phase_reset", "Entering download mode"},
    {"phase_sync", "Connecting to the loader"},
    {"phase_detect", "Detecting the chip"},
    {"phase_stub", "Preparing the loader"},
    {"phase_baud", "Changing the line speed"},
    {"phase_flash", "Writing"},
    {"phase_verify", "Verifying"},
    {"phase_erase", "Erasing"},
    {"phase_after_reset", "Restarting the board"},
    // Progress that belongs to no file.
    {"progress_erase", "Whole flash"},
    // Phase details.
    {"detail_compressed", "{file} (compressed {raw} → {size} bytes)"},
    {"detail_plain", "{file} ({raw} bytes)"},
    {"detail_erase", "whole flash (may take minutes)"},
    {"detail_verify", "{file}"},
    // How a job ended.
    {"done", "Done"},
    {"sync_failed", "SYNC failed — the board did not enter download mode"},
    {"detect_failed", "Chip detection failed"},
    {"status_error", "Protocol error: op 0x{op} answered status=0x{status} err=0x{err}"},
    {"no_files", "Protocol error: no file to write was given"},
    {"file_missing", "Protocol error: file not found: {path}"},
    {"file_misaligned", "Protocol error: {file} offset 0x{offset} is not aligned to 4 KB"},
    {"file_out_of_range", "Protocol error: {file} offset 0x{offset} lies outside the flash"},
    {"file_unreadable", "Cannot read the file {path}"},
    {"too_large", "Protocol error: {what} does not fit in 32 bits"},
    {"erase_needs_size",
     "Erasing the whole flash through the ROM loader needs the flash size: "
     "choose it"},
    {"verify_mismatch",
     "Verification failed: {file} at 0x{offset} reads back differently "
     "(MD5 {actual}, expected {expected})"},
    {"verify_bad_answer", "Protocol error: the MD5 answer for {file} cannot be read"},
    {"timeout_silent", "No answer from the board (timed out)"},
    {"timeout_op", "No answer to op 0x{op} (timed out)"},
    {"internal", "Unexpected failure: {error}"},
};

}  // namespace

const std::string& Message::value(std::string_view name) const noexcept {
    static const std::string none;
    for (const auto& [k, v] : values) {
        if (k == name) return v;
    }
    return none;
}

Message phase_title(std::string_view phase) {
    std::string code = "phase_";
    for (char c : phase)
        code += c == '-' ? '_' : c;
    return {std::move(code), {}};
}

const std::vector<Template>& message_templates() {
    return TEMPLATES;
}

std::string english_text(const Message& message) {
    std::string_view pattern;
    for (const auto& [code, text] : TEMPLATES) {
        if (code == message.code) pattern = text;
    }
    if (pattern.empty()) {
        std::string out = message.code;
        for (const auto& [k, v] : message.values)
            out += " " + k + "=" + v;
        return out;
    }
    std::string out;
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        const auto close = pattern.find('}', i);
        if (pattern[i] == '{' && close != std::string_view::npos) {
            out += message.value(pattern.substr(i + 1, close - i - 1));
            i = close;
        } else {
            out += pattern[i];
        }
    }
    return out;
}

}  // namespace flashwright
