// The transfer coordinator: file transfers inside a tab's connection. It runs jobs in each
// tab's job slot (file transfers, and the ESP tools' flashing jobs), filters every received
// chunk through the running job or the ZMODEM detector, and reports job events to the page.
//
// Owns: per open tab, the job slot, the bytes held behind an ended job, the ZMODEM
// detectors and the abort echo; an entry goes when its tab closes (release()).
// Called from: reader threads (received bytes, under the tab's `received_order`), bridge
// workers (start, cancel, status, choosers), job threads (bytes to send, events).
// Lock: `m_lock`, guarding the entries; the Tab's `lock` may be taken under it (a tab's
// state and port are checked with taking the slot), nothing else. It calls back into the
// data path (`push_info`, `push_text`) only with `m_lock` released.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/bridge/bridge_table.h"
#include "app/desktop/desktop_shell.h"
#include "app/store/session_store.h"
#include "app/tabs/tab.h"
#include "app/tabs/tab_host.h"
#include "app/transfer/abort_echo.h"
#include "app/transfer/job.h"
#include "transfer/transfer_options.h"
#include "transfer/zmodem_sniffer.h"

namespace termiva {

class TransferCoordinator {
public:
    // Received files go to the folder the settings name ("download_folder"), else the
    // user's Downloads folder, else `data_dir`'s "downloads", unless the page names one.
    TransferCoordinator(TabHost& host, DesktopShell& shell, const SessionStore& store,
                        std::filesystem::path data_dir)
        : m_host(host), m_shell(shell), m_store(store), m_data_dir(std::move(data_dir)) {}
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
    // Shows the folder the tab's last receive wrote into in the desktop's file manager.
    bool open_received_folder(const std::string& tab_id);
    // The folder a receive started in the tab writes into (what the above shows).
    void note_received_into(const TabPtr& tab, const std::string& folder);

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

    // Puts `job` into the tab's slot unless a job is running there, the tab is closed or
    // `fits` (asked under the tab's `lock`) says no. Checking and taking happen under one
    // lock, so of two starts at the same moment only one wins.
    enum class Occupy { taken, busy, refused };
    Occupy occupy(const TabPtr& tab, std::shared_ptr<Job> job,
                  const std::function<bool(const Tab&)>& fits = {});
    // The job in the tab's slot (running or ended), or null.
    std::shared_ptr<Job> job_of(const std::string& tab_id);
    bool busy(const std::string& tab_id);
    // Empties the slot if it still holds `job`; the job that was there, or null.
    std::shared_ptr<Job> vacate(const std::string& tab_id, const Job* job);
    // The tab closed: its job is cancelled and everything kept for it goes.
    void release(const std::string& tab_id);

private:
    struct TabTransfer {
        std::shared_ptr<Job> job;
        // Received after `job` ended and before its end was shown: held so the end line
        // comes first, then these (the shell's prompt). Since when they are held.
        std::string after_job;
        std::chrono::steady_clock::time_point after_job_since{};
        std::shared_ptr<ZmodemSniffer> sniffer = std::make_shared<ZmodemSniffer>();
        std::shared_ptr<ZmodemReceiverWatch> receiver_watch =
            std::make_shared<ZmodemReceiverWatch>();
        // What follows an abort sent to the peer (its own lock, a leaf).
        std::shared_ptr<AbortEcho> abort_echo = std::make_shared<AbortEcho>();
        // The folder the last receive started in the tab writes into.
        std::string received_into;
    };
    // The tab's entry, made on first use while the tab is open; null once it is closed.
    // The caller holds `m_lock`.
    TabTransfer* entry_held(const TabPtr& tab);
    // Lets go of a job reference on another thread: its last release may join the thread
    // that is calling.
    void let_go_elsewhere(std::shared_ptr<Job> job);

    // A failed "done" event with its reason in the user's language (the catalog's
    // "xfer.reason.<code>"); any other event as it is.
    nlohmann::json worded(const nlohmann::json& ev) const;
    // Received bytes through the ZMODEM detector and the tab's decoder.
    std::string sniff_and_decode(const TabPtr& tab, std::string_view data);
    // Received bytes through the tab's decoder alone.
    std::string decode(const TabPtr& tab, std::string_view data);
    // Shows what the tab holds back after an abort once the line has been quiet.
    void settle_abort_later(const TabPtr& tab, const std::shared_ptr<AbortEcho>& abort_echo);

    TabHost& m_host;
    DesktopShell& m_shell;
    const SessionStore& m_store;
    const std::filesystem::path m_data_dir;
    std::mutex m_lock;
    std::map<std::string, TabTransfer> m_tabs;
};

}  // namespace termiva
