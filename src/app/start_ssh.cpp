// SSH-2 tabs. Until the SSH-2 starter is built, an SSH-2 session is answered like any
// protocol this build cannot speak.
#include "app/json_values.h"
#include "app/termiva_app.h"

namespace termiva {

void TermivaApp::_start_ssh_impl(const std::string& tab_id, const Json&, const TabPtr& tab) {
    _push_info(tab_id, _t("err.proto_unsupported", {{"proto", "SSH"}}), true);
    tab->alive = false;
}

void TermivaApp::register_ssh_bridge() {}

}  // namespace termiva
