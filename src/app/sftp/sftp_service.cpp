#include "app/sftp/sftp_service.h"

#include "app/json_values.h"
#include "app/sftp/server_text.h"
#include "connect/ssh2/ssh_connection.h"
#include "platform/log.h"
#include "platform/utf8_path.h"

namespace termiva {

namespace {

using Json = nlohmann::json;
using Args = std::vector<Json>;
using sftp_text::from_server;
using sftp_text::to_server;

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

SftpService::Target SftpService::target_of(const std::string& tab_id) {
    Target out;
    out.tab = m_tabs.find_tab(tab_id);
    if (!out.tab) throw SftpError("no_tab", tab_id);
    {
        std::lock_guard held(out.tab->lock);
        out.connection = std::dynamic_pointer_cast<SshConnection>(out.tab->client);
        out.encoding = out.tab->encoding.empty() ? "utf-8" : out.tab->encoding;
    }
    if (!out.connection || !out.tab->alive()) throw SftpError("not_ssh2", tab_id);
    return out;
}

SftpService::Opened SftpService::session_of(const std::string& tab_id) {
    Target target = target_of(tab_id);
    Opened out;
    out.encoding = target.encoding;
    std::lock_guard held(m_lock);
    for (auto it = m_sessions.begin(); it != m_sessions.end();)
        it = m_tabs.find_tab(it->first) ? std::next(it) : m_sessions.erase(it);
    auto& sftp = m_sessions[tab_id];
    // Opening waits for the server; other tabs' requests wait meanwhile, which only the
    // first request of a tab costs.
    if (!sftp) sftp = target.connection->open_sftp();
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

Json SftpService::start_copy(const std::string& tab_id, SftpJob::Plan plan) {
    try {
        Target target = target_of(tab_id);
        plan.encoding = target.encoding;
        const bool download = plan.download;
        const std::string folder = plan.target;
        // Set before the job can report anything: its "done" must free only its own slot.
        auto source = std::make_shared<const Job*>(nullptr);
        auto job = std::make_shared<SftpJob>(
            target.connection, std::move(plan),
            [this, tab_id, source](const Json& ev) { m_transfers.on_event(tab_id, ev, *source); });
        *source = job.get();
        switch (m_transfers.occupy(target.tab, job)) {
            case TransferCoordinator::Occupy::busy:
                return refusal("busy", tab_id);
            case TransferCoordinator::Occupy::refused:
                return refusal("not_ssh2", tab_id);
            case TransferCoordinator::Occupy::taken:
                break;
        }
        if (download) m_transfers.note_received_into(target.tab, folder);
        job->start();
        return Json{{"ok", true}, {"job", "sftp-" + std::to_string(++m_jobs)}};
    } catch (const SftpError& e) {
        return refusal(e.code(), e.what());
    }
}

Json SftpService::download(const std::string& tab_id, const std::string& remote_path,
                           const Json& local_dir) {
    SftpJob::Plan plan;
    plan.download = true;
    plan.target = is_false_like(local_dir) || text_of(local_dir).empty()
                      ? platform::path_to_utf8(m_transfers.default_recv_dir())
                      : text_of(local_dir);
    plan.sources.push_back(remote_path);
    return start_copy(tab_id, std::move(plan));
}

Json SftpService::upload(const std::string& tab_id, const Json& local_paths,
                         const std::string& remote_dir) {
    SftpJob::Plan plan;
    plan.download = false;
    if (local_paths.is_array()) {
        for (const Json& path : local_paths) {
            if (path.is_string() && !path.get_ref<const std::string&>().empty())
                plan.sources.push_back(path.get<std::string>());
        }
    } else if (local_paths.is_string() && !local_paths.get_ref<const std::string&>().empty()) {
        plan.sources.push_back(local_paths.get<std::string>());
    }
    if (plan.sources.empty()) return refusal("no_files", tab_id);
    plan.target = remote_dir;
    return start_copy(tab_id, std::move(plan));
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
    table.add("sftp_download",
              {{{"tab_id"}, {"remote_path"}, {"local_dir", nullptr}},
               refused,
               [this](const Args& a) { return download(text_arg(a, 0), text_arg(a, 1), a[2]); }});
    table.add("sftp_upload",
              {{{"tab_id"}, {"local_paths"}, {"remote_dir"}}, refused, [this](const Args& a) {
                   return upload(text_arg(a, 0), a[1], text_arg(a, 2));
               }});
}

}  // namespace termiva
