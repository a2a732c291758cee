// Local shell tabs on Windows. The pseudo console backend is not part of this build yet:
// the tab says so and ends, rather than sitting there with nothing behind it.
#include "app/termiva_app.h"

namespace termiva {

void TermivaApp::_start_conpty_impl(const std::string& tab_id, const Session&, const TabPtr& tab) {
    _mark_not_alive(*tab);
    _push_info(tab_id,
               _t("err.shell_start_fail",
                  {{"err", "the Windows pseudo console is not available in this build"}}),
               true);
}

}  // namespace termiva
