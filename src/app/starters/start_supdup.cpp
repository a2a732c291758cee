// SUPDUP tabs.
#include "app/json_values.h"
#include "app/starters/stream_starter.h"
#include "app/termiva_app.h"
#include "connect/supdup_backend.h"

namespace termiva {

void TermivaApp::_start_supdup_impl(const std::string& tab_id, const Session& sess,
                                    const TabPtr& tab) {
    std::string host = text_or(sess.host, "");
    int port = sess.port.or_default(95);
    std::string charset = to_lower(text_or(sess.supdup_charset, "ascii"));
    if (charset != "ascii" && charset != "its" && charset != "waits") charset = "ascii";
    std::string location = sess.supdup_location.value_or("Termiva");
    bool more = sess.supdup_more.value_or(false);
    bool scroll = sess.supdup_scroll.value_or(true);

    _push_info(tab_id, _t("info.connecting_supdup", {{"host", host},
                                                     {"port", std::to_string(port)},
                                                     {"charset", charset},
                                                     {"more", more ? "on" : "off"},
                                                     {"scroll", scroll ? "on" : "off"}}));
    SixbitlineOptions options;
    options.host = host;
    options.port = port;
    options.term_width = 80;
    options.term_height = 24;
    options.charset = charset;
    options.more_processing = more;
    options.scrolling = scroll;
    options.location = location;
    options.timeout = 15;
    options.family = sess.ip_family == platform::IpFamily::ipv4   ? SixbitlineFamily::ipv4
                     : sess.ip_family == platform::IpFamily::ipv6 ? SixbitlineFamily::ipv6
                                                                  : SixbitlineFamily::any;
    auto backend = std::make_shared<SupdupBackend>(std::move(options));
    // The client already delivers UTF-8 text, whatever the tab's code page says.
    run_stream_starter(m_tabs, tab_id, tab, backend, {"supdup", "err.supdup_fail", "utf-8"});
}

}  // namespace termiva
