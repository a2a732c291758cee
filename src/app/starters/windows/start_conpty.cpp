// Local shell tabs on Windows. The pseudo console backend is not part of this build yet:
// the tab says so and ends, rather than sitting there with nothing behind it.
#include "app/termiva_app.h"

namespace termiva {

void TermivaApp::_start_conpty_impl(const std::string& tab_id, const Session&, const TabPtr& tab) {
    tab->move_to(TabState::failed);
    _push_info(tab_id,
               _t("err.shell_start_fail",
                  {{"err", "the Windows pseudo console is not available in this build"}}),
               true);
}

}  // namespace termiva
