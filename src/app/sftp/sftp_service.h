// The server's files beside an SSH-2 tab, over SFTP on the tab's own connection: the page's
// sftp_* operations. A tab's SFTP channel opens on the first request and lives as long as
// the connection. Paths travel as the page's text and reach the server in the session's
// encoding; names come back decoded like the terminal's text.
//
// Downloads and uploads run as jobs in the tab's job slot (the transfer coordinator's),
// each on an SFTP session of its own, and report through the transfer panel's events.
//
// Owns: one SftpSession per tab that asked, under `m_lock` (held only to find or store one;
// requests run without it, each on the connection's I/O thread).
// Called from: bridge workers.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

#include "app/bridge/bridge_table.h"
#include "app/sftp/sftp_job.h"
#include "app/tabs/tab_host.h"
#include "app/transfer/transfer_coordinator.h"
#include "connect/ssh2/sftp_session.h"

namespace termiva {

class SftpService {
public:
    SftpService(TabHost& tabs, TransferCoordinator& transfers)
        : m_tabs(tabs), m_transfers(transfers) {}

    void register_ops(BridgeTable& table);

    // {"ok": true, "home": "/home/user"}, or {"ok": false, "reason", "error"}.
    nlohmann::json open(const std::string& tab_id);
    // {"ok": true, "path": "<canonical>", "entries": [{"name", "type", "size", "mtime",
    // "mode"}]}.
    nlohmann::json list(const std::string& tab_id, const std::string& path);
    nlohmann::json make_dir(const std::string& tab_id, const std::string& path);
    nlohmann::json rename(const std::string& tab_id, const std::string& from,
                          const std::string& to);
    nlohmann::json remove(const std::string& tab_id, const std::string& path);
    // {"ok": true, "job": "<id>"}; the copy's events follow through the transfer panel's
    // path. A null or empty `local_dir` is the download folder setting's folder.
    nlohmann::json download(const std::string& tab_id, const std::string& remote_path,
                            const nlohmann::json& local_dir);
    nlohmann::json upload(const std::string& tab_id, const nlohmann::json& local_paths,
                          const std::string& remote_dir);

private:
    struct Opened {
        std::shared_ptr<SftpSession> sftp;
        std::string encoding;
    };
    struct Target {
        TabPtr tab;
        std::shared_ptr<SshConnection> connection;
        std::string encoding;
    };
    // The tab and its SSH-2 connection. Throws SftpError.
    Target target_of(const std::string& tab_id);
    // Starts `plan` in the tab's job slot.
    nlohmann::json start_copy(const std::string& tab_id, SftpJob::Plan plan);
    // The tab's SFTP session, opened now if it has none. Throws SftpError.
    Opened session_of(const std::string& tab_id);
    // Runs `request` with the tab's session; its result, or the refusal as the page gets it.
    template <class F>
    nlohmann::json with_session(const std::string& tab_id, F&& request);
    nlohmann::json refusal(const std::string& code, const std::string& detail) const;

    TabHost& m_tabs;
    TransferCoordinator& m_transfers;
    std::atomic<std::uint64_t> m_jobs{0};
    std::mutex m_lock;
    // Sessions of tabs that are gone are dropped at the next open.
    std::map<std::string, std::shared_ptr<SftpSession>> m_sessions;
};

}  // namespace termiva
