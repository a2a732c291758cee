// The server's files beside an SSH-2 tab, over SFTP on the tab's own connection: the page's
// sftp_* operations. A tab's SFTP channel opens on the first request and lives as long as
// the connection. Paths travel as the page's text and reach the server in the session's
// encoding; names come back decoded like the terminal's text.
//
// Owns: one SftpSession per tab that asked, under `m_lock` (held only to find or store one;
// requests run without it, each on the connection's I/O thread).
// Called from: bridge workers.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

#include "app/bridge/bridge_table.h"
#include "app/tabs/tab_host.h"
#include "connect/ssh2/sftp_session.h"

namespace termiva {

class SftpService {
public:
    explicit SftpService(TabHost& tabs) : m_tabs(tabs) {}

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

private:
    struct Opened {
        std::shared_ptr<SftpSession> sftp;
        std::string encoding;
    };
    // The tab's SFTP session, opened now if it has none. Throws SftpError.
    Opened session_of(const std::string& tab_id);
    // Runs `request` with the tab's session; its result, or the refusal as the page gets it.
    template <class F>
    nlohmann::json with_session(const std::string& tab_id, F&& request);
    nlohmann::json refusal(const std::string& code, const std::string& detail) const;

    TabHost& m_tabs;
    std::mutex m_lock;
    // Sessions of tabs that are gone are dropped at the next open.
    std::map<std::string, std::shared_ptr<SftpSession>> m_sessions;
};

}  // namespace termiva
