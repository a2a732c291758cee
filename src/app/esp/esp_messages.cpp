#include "app/esp/esp_messages.h"

#include "flashwright/messages.h"

namespace termiva {
namespace {

// zh-Hant wording of each job code, in the library's order. A function's own table: the
// catalog is built while other files' statics are still being initialized.
const std::map<std::string, std::string, std::less<>>& job_messages_zh() {
    static const std::map<std::string, std::string, std::less<>> table = {
        {"reset_uart", "使用 UART classic reset 進入 download mode"},
        {"reset_usb", "使用 USB-Serial-JTAG reset 進入 download mode"},
        {"reset_auto", "自動模式:先嘗試 UART reset"},
        {"reset_failed", "reset 失敗:{error}"},
        {"reset_switch_usb", "UART reset 沒回應,切換 USB-Serial-JTAG reset"},
        {"reset_usb_failed", "USB-JTAG reset 失敗:{error}"},
        {"chip_chosen", "使用指定晶片:{chip}"},
        {"chip_unknown_key", "未知 chip 字串:{chip},改自動偵測"},
        {"chip_magic_failed", "讀 chip magic 失敗:{error}"},
        {"chip_detected", "偵測到 {chip}(magic=0x{magic})"},
        {"chip_magic_unknown", "無法識別 chip magic 0x{magic};請手動指定晶片"},
        {"stub_missing", "找不到 stub blob({file}),改用 ROM loader 燒錄"},
        {"stub_unreadable", "解析 stub blob 失敗:{error},改用 ROM loader 燒錄"},
        {"stub_no_hello", "等 stub OHAI 超時"},
        {"stub_running", "Stub loader 上線"},
        {"stub_upload_failed", "Stub 上傳失敗:{error},改用 ROM loader 燒錄"},
        {"cancelled", "使用者取消"},
        {"hard_reset_done", "已 hard-reset,板子重新進入應用程式"},
        {"hard_reset_failed", "hard-reset 失敗:{error}"},
        {"file_empty", "略過空檔案:{file}"},
        {"file_start", "[{index}/{count}] {file} → 0x{offset}"},
        {"rom_uncompressed", "{chip} 的 ROM 不支援 FLASH_DEFL,改用未壓縮上傳"},
        {"baud_change", "燒錄時把線路切到 {baud} bit/s"},
        {"baud_fallback", "板子在 {baud} bit/s 沒回應,改回 {line} bit/s 繼續"},
        {"flash_size", "Flash 容量 {size} MB"},
        {"flash_size_header", "Flash 容量 {size} MB,依 {file} 的 header"},
        {"flash_size_fitted",
         "Flash 容量 {size} MB:容得下所有映像檔的最小常見容量(ROM loader 無法回報晶片容量)"},
        {"verified", "{file} 驗證通過(MD5 {md5})"},
        {"erase_rom", "透過 ROM loader 逐區清除"},
        {"phase_reset", "進入 download mode"},
        {"phase_sync", "與 loader 連線"},
        {"phase_detect", "偵測晶片"},
        {"phase_stub", "準備 loader"},
        {"phase_baud", "切換線路速度"},
        {"phase_flash", "寫入"},
        {"phase_verify", "驗證"},
        {"phase_erase", "清除"},
        {"phase_after_reset", "重新啟動板子"},
        {"progress_erase", "整顆 flash"},
        {"detail_compressed", "{file}(壓縮 {raw} → {size} bytes)"},
        {"detail_plain", "{file}({raw} bytes)"},
        {"detail_erase", "整顆 flash(可能需要數分鐘)"},
        {"detail_verify", "{file}"},
        {"done", "完成"},
        {"sync_failed", "SYNC 失敗 — 板子沒有進入 download mode"},
        {"detect_failed", "晶片偵測失敗"},
        {"status_error", "協定錯誤:op 0x{op} 回應 status=0x{status} err=0x{err}"},
        {"no_files", "協定錯誤:未指定要燒錄的檔案"},
        {"file_missing", "協定錯誤:找不到檔案:{path}"},
        {"file_misaligned", "協定錯誤:{file} offset 0x{offset} 未對齊到 4 KB"},
        {"file_out_of_range", "協定錯誤:{file} offset 0x{offset} 超出 flash 位址範圍"},
        {"file_unreadable", "例外:無法讀取檔案:{path}"},
        {"too_large", "協定錯誤:{what} 超出 32 位元範圍"},
        {"erase_needs_size", "透過 ROM loader 清除整顆 flash 需要 flash 容量:請選擇容量"},
        {"verify_mismatch",
         "驗證失敗:{file} 在 0x{offset} 讀回的內容不符(MD5 {actual},應為 {expected})"},
        {"verify_bad_answer", "協定錯誤:{file} 的 MD5 回應無法解讀"},
        {"timeout_silent", "例外:等不到 SLIP packet"},
        {"timeout_op", "例外:等不到 op 0x{op} 的回應"},
        {"internal", "例外:{error}"},
    };
    return table;
}

}  // namespace

MessageCatalog with_esp_job_messages(MessageCatalog catalog) {
    auto& en = catalog["en"];
    auto& zh = catalog["zh-Hant"];
    for (const auto& [code, text] : flashwright::message_templates()) {
        const std::string key = "esp.msg." + std::string(code);
        en.emplace(key, std::string(text));
        const auto& table = job_messages_zh();
        const auto it = table.find(code);
        // A code without its Chinese wording is a gap the catalog test names; until then the
        // English text stands in rather than the key.
        zh.emplace(key, it != table.end() ? it->second : std::string(text));
    }
    en.emplace("esp.reason.unknown_mode", "Unknown mode {mode}");
    zh.emplace("esp.reason.unknown_mode", "未知 mode {mode}");
    en.emplace("esp.reason.erase_needs_size",
               "Erasing the whole flash needs its size: choose the flash size first");
    zh.emplace("esp.reason.erase_needs_size", "清除整顆 flash 需要知道容量:請先選擇 flash 容量");
    return catalog;
}

}  // namespace termiva
