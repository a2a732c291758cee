#include "app/sftp/sftp_service.h"

#include "connect/ssh2/ssh_connection.h"
#include "platform/log.h"
#include "text/codec.h"

namespace termiva {

namespace {

using Json = nlohmann::json;
using Args = std::vector<Json>;

// The page's text in the server's encoding; UTF-8 when the tab's name is unknown.
std::string to_server(const std::string& encoding, const std::string& text) {
    try {
        return text::encode(encoding, text);
    } catch (const std::invalid_argument&) {
        return text;
    }
}

std::string from_server(const std::string& encoding, const std::string& bytes) {
    return text::decoder_or_utf8(encoding)->decode(bytes);
}

const char* type_name(SftpEntry::Type type) {
    switch (type) {
        case SftpEntry::Type::dir:
            return "dir";
        case SftpEntry::Type::link:
            return "link";
        case SftpEntry::Type::file:
            break;
    }
    return "file";
}

}  // namespace

Json SftpService::refusal(const std::string& code, const std::string& detail) const {
    return Json{{"ok", false},
                {"reason", code},
                {"error", m_tabs.translate("err.sftp_" + code, {{"detail", detail}})}};
}

SftpService::Opened SftpService::session_of(const std::string& tab_id) {
    TabPtr tab = m_tabs.find_tab(tab_id);
    if (!tab) throw SftpError("no_tab", tab_id);
    std::shared_ptr<SshConnection> connection;
    Opened out;
    {
        std::lock_guard held(tab->lock);
        connection = std::dynamic_pointer_cast<SshConnection>(tab->client);
        out.encoding = tab->encoding.empty() ? "utf-8" : tab->encoding;
    }
    if (!connection || !tab->alive()) throw SftpError("not_ssh2", tab_id);
    std::lock_guard held(m_lock);
    for (auto it = m_sessions.begin(); it != m_sessions.end();)
        it = m_tabs.find_tab(it->first) ? std::next(it) : m_sessions.erase(it);
    auto& sftp = m_sessions[tab_id];
    // Opening waits for the server; other tabs' requests wait meanwhile, which only the
    // first request of a tab costs.
    if (!sftp) sftp = connection->open_sftp();
    out.sftp = sftp;
    return out;
}

template <class F>
Json SftpService::with_session(const std::string& tab_id, F&& request) {
    try {
        Opened opened = session_of(tab_id);
        return request(*opened.sftp, opened.encoding);
    } catch (const SftpError& e) {
        return refusal(e.code(), e.what());
    } catch (const BackendError& e) {
        return refusal("connection_lost", e.what());
    } catch (const std::exception& e) {
        log::warn("sftp", e.what());
        return refusal("failure", e.what());
    }
}

Json SftpService::open(const std::string& tab_id) {
    return with_session(tab_id, [](SftpSession& sftp, const std::string& encoding) {
        return Json{{"ok", true}, {"home", from_server(encoding, sftp.canonical("."))}};
    });
}

Json SftpService::list(const std::string& tab_id, const std::string& path) {
    return with_session(tab_id, [&](SftpSession& sftp, const std::string& encoding) {
        const std::string where = sftp.canonical(to_server(encoding, path));
        Json entries = Json::array();
        for (const SftpEntry& e : sftp.list(where)) {
            entries.push_back({{"name", from_server(encoding, e.name)},
                               {"type", type_name(e.type)},
                               {"size", e.size},
                               {"mtime", e.mtime},
                               {"mode", e.mode}});
        }
        return Json{{"ok", true}, {"path", from_server(encoding, where)}, {"entries", entries}};
    });
}

Json SftpService::make_dir(const std::string& tab_id, const std::string& path) {
    return with_session(tab_id, [&](SftpSession& sftp, const std::string& encoding) {
        sftp.make_dir(to_server(encoding, path));
        return Json{{"ok", true}};
    });
}

Json SftpService::rename(const std::string& tab_id, const std::string& from,
                         const std::string& to) {
    return with_session(tab_id, [&](SftpSession& sftp, const std::string& encoding) {
        sftp.rename(to_server(encoding, from), to_server(encoding, to));
        return Json{{"ok", true}};
    });
}

Json SftpService::remove(const std::string& tab_id, const std::string& path) {
    return with_session(tab_id, [&](SftpSession& sftp, const std::string& encoding) {
        sftp.remove(to_server(encoding, path));
        return Json{{"ok", true}};
    });
}

void SftpService::register_ops(BridgeTable& table) {
    // A call the bridge could not read reaches no server: no worded reason to give.
    auto refused = [] { return Json{{"ok", false}, {"reason", "bad_arguments"}}; };
    table.add("sftp_open",
              {{{"tab_id"}}, refused, [this](const Args& a) { return open(text_arg(a, 0)); }});
    table.add("sftp_list", {{{"tab_id"}, {"path", "."}}, refused, [this](const Args& a) {
                                return list(text_arg(a, 0), text_arg(a, 1));
                            }});
    table.add("sftp_mkdir", {{{"tab_id"}, {"path"}}, refused, [this](const Args& a) {
                                 return make_dir(text_arg(a, 0), text_arg(a, 1));
                             }});
    table.add("sftp_rename", {{{"tab_id"}, {"from"}, {"to"}}, refused, [this](const Args& a) {
                                  return rename(text_arg(a, 0), text_arg(a, 1), text_arg(a, 2));
                              }});
    table.add("sftp_remove", {{{"tab_id"}, {"path"}}, refused, [this](const Args& a) {
                                  return remove(text_arg(a, 0), text_arg(a, 1));
                              }});
}

}  // namespace termiva
