// The transfer coordinator: file transfers inside a tab's connection. It runs jobs in the
// tab's job slot (`Tab::_xfer`), filters every received chunk through the running job or
// the ZMODEM detector, and reports job events to the page.
//
// Owns: no state of its own beyond the jobs it starts; the slot lives in the Tab and is
// guarded by the Tab's `lock` (checking for a running job and taking the slot happen under
// that one lock).
// Called from: reader threads (received bytes, under the tab's `_received_order`), bridge
// workers (start, cancel, status, choosers), job threads (bytes to send, events).
// Lock: none of its own. It calls back into the application's data path (`_push_info`,
// `_push_to_term`, `_t`, `_spawn`), none of which takes a lock it could be holding.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/bridge/bridge_table.h"
#include "app/desktop/desktop_shell.h"
#include "app/tabs/tab.h"
#include "app/tabs/tab_host.h"
#include "app/transfer/job.h"
#include "transfer/transfer_options.h"

namespace termiva {

class TransferCoordinator {
public:
    // `data_dir`: received files go to its "downloads" folder unless the page names one.
    TransferCoordinator(TabHost& host, DesktopShell& shell, std::filesystem::path data_dir)
        : m_host(host), m_shell(shell), m_data_dir(std::move(data_dir)) {}
    // The page's transfer operations.
    void register_ops(BridgeTable& table);

    // The page's operations.
    nlohmann::json start(const std::string& tab_id, const std::string& protocol,
                         const std::string& direction, const nlohmann::json& files,
                         const nlohmann::json& save_dir);
    bool cancel(const std::string& tab_id);
    nlohmann::json status(const std::string& tab_id);
    nlohmann::json pick_files();
    std::string pick_save_dir();

    bool start_job(const std::string& tab_id, const std::string& protocol,
                   const std::string& direction, std::optional<std::vector<std::string>> files,
                   std::optional<std::string> save_dir, TransferOptions options = {});
    void send_bytes(const std::string& tab_id, std::string_view data);
    // `source`: the job the event comes from (only its own "done" frees the slot); null for
    // whatever job the slot holds.
    void on_event(const std::string& tab_id, const nlohmann::json& ev, const Job* source = nullptr);
    std::string intercept_or_decode(const std::string& tab_id, std::string_view data);
    std::string detect_or_decode(const std::string& tab_id, std::string_view data);
    std::filesystem::path default_recv_dir();

private:
    // A failed "done" event with its reason in the user's language (the catalog's
    // "xfer.reason.<code>"); any other event as it is.
    nlohmann::json worded(const nlohmann::json& ev) const;
    // Received bytes through the ZMODEM detector and the tab's decoder.
    std::string sniff_and_decode(const TabPtr& tab, std::string_view data);
    // Received bytes through the tab's decoder alone.
    std::string decode(const TabPtr& tab, std::string_view data);
    // Shows what the tab holds back after an abort once the line has been quiet.
    void settle_abort_later(const TabPtr& tab);

    TabHost& m_host;
    DesktopShell& m_shell;
    const std::filesystem::path m_data_dir;
};

}  // namespace termiva
