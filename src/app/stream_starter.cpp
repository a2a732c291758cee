#include "app/stream_starter.h"

namespace termiva {

void run_stream_starter(TermivaApp& app, const std::string& tab_id, const TabPtr& tab,
                        const std::shared_ptr<Backend>& backend, const StreamStart& how) {
    bool tab_closed;
    {
        std::lock_guard lock(tab->lock);
        tab_closed = tab->closed;
        if (!tab_closed) tab->connecting = backend;
    }
    if (tab_closed) return;
    try {
        backend->connect();
    } catch (const std::exception& e) {
        {
            std::lock_guard lock(tab->lock);
            tab->connecting.reset();
            tab_closed = tab->closed;
        }
        try {
            backend->close();
        } catch (const std::exception&) {
        }
        if (tab_closed) return;  // the user closed the tab; the failure is nobody's news
        app._push_info(tab_id, app._t(how.failure_key, {{"err", e.what()}}), true);
        tab->alive = false;
        return;
    }

    std::shared_ptr<text::Decoder> decoder;
    try {
        std::string encoding = how.decoder_encoding;
        if (encoding.empty()) {
            std::lock_guard lock(tab->lock);
            encoding = tab->encoding;
        }
        decoder = std::make_shared<text::Decoder>(encoding);
    } catch (const std::exception&) {
        // An encoding nobody knows must not cost the connection: show UTF-8.
        decoder = std::make_shared<text::Decoder>("utf-8");
    }
    {
        std::lock_guard lock(tab->lock);
        tab->connecting.reset();
        tab_closed = tab->closed;
        if (!tab_closed) {
            *tab->backend_slot(how.slot) = backend;
            tab->decoder = decoder;
        }
    }
    if (tab_closed) {
        // Closed while connecting: nothing may keep this connection open.
        try {
            backend->close();
        } catch (const std::exception&) {
        }
        return;
    }
    app._push_connected(tab_id);
    std::string slot = how.slot;
    app._spawn([&app, tab_id, slot] { app._socket_reader_loop(tab_id, slot); });
}

}  // namespace termiva
