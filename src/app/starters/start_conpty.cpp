// Local shell tabs: a pseudo-terminal, or on Windows a pseudo console.
#include "app/json_values.h"
#include "app/starters/stream_starter.h"
#include "app/termiva_app.h"
#include "connect/local_shell_backend.h"

namespace termiva {

void TermivaApp::_start_conpty_impl(const std::string& tab_id, const Session& sess,
                                    const TabPtr& tab) {
    std::string shell = text_or(sess.host, "");
    if (shell.empty()) shell = text_or(sess.conpty_shell, "");
    if (shell.empty()) shell = "cmd";
    shell = to_lower(shell);
    std::string custom = text_or(sess.conpty_custom_command, "");
    std::string cwd = text_or(sess.conpty_cwd, "");
    std::string label = shell == "custom" && !custom.empty() ? custom : shell;
    _push_info(tab_id, _t("info.starting_local_shell", {{"label", label}}));
    auto backend = std::make_shared<LocalShellBackend>(
        LocalShellBackend::Options{shell, shell == "custom" ? custom : "", 24, 80, cwd});
    run_stream_starter(m_tabs, tab_id, tab, backend, {"conpty", "err.shell_start_fail", "utf-8"});
}

}  // namespace termiva
