// Raw TCP tabs.
#include "app/json_values.h"
#include "app/starters/stream_starter.h"
#include "app/termiva_app.h"
#include "connect/raw_backend.h"

namespace termiva {

void TermivaApp::_start_raw_impl(const std::string& tab_id, const Session& sess,
                                 const TabPtr& tab) {
    std::string host = text_or(sess.host, "");
    int port = sess.port.or_default(23);
    _push_info(tab_id, _t("info.connecting_raw", {{"host", host}, {"port", std::to_string(port)}}));
    auto backend =
        std::make_shared<RawBackend>(RawBackend::Options{host, port, 15, sess.ip_family});
    run_stream_starter(m_tabs, tab_id, tab, backend, {"raw", "err.conn_fail", ""});
}

}  // namespace termiva
