// SSH-2 tabs in a build without the SSH-2 library: the tab says so and ends. SSH-1
// sessions have their own starter and still connect.
#include "app/termiva_app.h"

namespace termiva {

void TermivaApp::_start_ssh_impl(const std::string& tab_id, const Session&, const TabPtr& tab) {
    tab->move_to(TabState::failed);
    _push_info(tab_id, _t("err.proto_unsupported", {{"proto", "SSH-2"}}), true);
}

}  // namespace termiva
