// ESP boards on serial tabs: the reset buttons, and flashing or erasing through the tab's
// job slot. The flashing job borrows the tab's open port (bytes out through the transfer
// sender, received bytes through the reader's job filter, events through the transfer
// event path), so the console carries on in the same tab once the job is done.
//
// Owns: nothing beyond the jobs it starts; they live in the tab's job slot, which the
// transfer coordinator keeps (`TransferCoordinator::occupy` checks for a running job and
// takes the slot under one lock).
// Called from: bridge workers (the page's operations), reset threads it starts, job
// threads (bytes to send, events, resets).
// Lock: none of its own.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "app/bridge/bridge_table.h"
#include "app/desktop/desktop_shell.h"
#include "app/store/session_store.h"
#include "app/tabs/tab_host.h"
#include "app/transfer/job.h"
#include "app/transfer/transfer_coordinator.h"
#include "flashwright/flasher.h"

namespace termiva {

class EspTools {
public:
    EspTools(TabHost& host, TransferCoordinator& transfer, DesktopShell& shell, SessionStore& store)
        : m_host(host), m_transfer(transfer), m_shell(shell), m_store(store) {}
    // The page's ESP operations.
    void register_ops(BridgeTable& table);

    bool hard_reset_esp(const std::string& tab_id) { return _fire_esp_reset(tab_id, "hard_reset"); }
    bool enter_bootloader_esp(const std::string& tab_id) {
        return _fire_esp_reset(tab_id, "enter_bootloader");
    }
    nlohmann::json esp_flash_start(const std::string& tab_id, const std::string& mode,
                                   const nlohmann::json& files, const nlohmann::json& options);
    nlohmann::json esp_flash_pick_files();
    nlohmann::json esp_guess_offset(const std::string& filename, const std::string& chip);
    long long esp_file_size(const std::string& path);
    nlohmann::json esp_chip_list();
    nlohmann::json esp_get_session_prefs(const std::string& tab_id);

    flashwright::ResetFuncs _esp_reset_funcs(const std::string& tab_id);
    // Sets the speed of the tab's port at the time it is called.
    flashwright::SetBaud _esp_set_baud(const std::string& tab_id);
    bool _fire_esp_reset(const std::string& tab_id, const std::string& mode);

    // The images a build folder lists with their offsets: `flasher_args.json` ("flash_files")
    // or else `flash_args` (lines "0x1000 bootloader/bootloader.bin"), as ESP-IDF writes
    // them. {ok, files: [{path, offset}]} with absolute paths and "0x…" offsets, or {ok:
    // false, reason} when the folder has neither file, or a listed image is missing.
    static nlohmann::json esp_files_from_build_dir(const std::string& dir);
    // The folder chooser for it; "" when cancelled or without a desktop.
    std::string esp_pick_build_dir();

    // An offset as the page sends it: "0x…"/"0X…" hexadecimal, other texts decimal, numbers
    // as they are. Nothing when it is none of these.
    static std::optional<long long> parse_offset(const nlohmann::json& raw);
    // The page's mode names; nothing for any other.
    static std::optional<flashwright::Mode> parse_mode(const std::string& mode);
    // The page's options map as the job takes them, the port's own speed beside them.
    static flashwright::FlasherOptions job_options(const nlohmann::json& opts, int line_baud);
    // The job's event for the page: its texts in the user's language, code and values kept.
    nlohmann::json worded_event(const flashwright::FlasherEvent& event) const;

    // The flashing speed the dialog proposes until the session remembers another.
    static constexpr long long DEFAULT_FLASH_BAUD = 460800;

private:
    TabHost& m_host;
    TransferCoordinator& m_transfer;
    DesktopShell& m_shell;
    SessionStore& m_store;
};

}  // namespace termiva
