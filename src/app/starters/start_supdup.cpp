// SUPDUP tabs.
#include "app/json_values.h"
#include "app/starters/stream_starter.h"
#include "connect/supdup_backend.h"

namespace termiva {

void TermivaApp::_start_supdup_impl(const std::string& tab_id, const Json& sess,
                                    const TabPtr& tab) {
    std::string host = text_field(sess, "host");
    int port = int_field(sess, "port", 95);
    std::string charset = to_lower(text_field(sess, "supdup_charset", "ascii"));
    if (charset != "ascii" && charset != "its" && charset != "waits") charset = "ascii";
    const Json& location_value = member(sess, "supdup_location");
    std::string location = location_value.is_null() ? "Termiva" : text_of(location_value);
    bool more = bool_field(sess, "supdup_more", false);
    bool scroll = bool_field(sess, "supdup_scroll", true);

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
    auto backend = std::make_shared<SupdupBackend>(std::move(options));
    // The client already delivers UTF-8 text, whatever the tab's code page says.
    run_stream_starter(*this, tab_id, tab, backend, {"supdup", "err.supdup_fail", "utf-8"});
}

}  // namespace termiva
