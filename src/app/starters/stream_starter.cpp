#include "app/starters/stream_starter.h"

#include "platform/log.h"

namespace termiva {

namespace {

void close_quietly(Backend& backend) {
    try {
        backend.close();
    } catch (const std::exception& e) {
        log::debug("connect", std::string("close after a failed start: ") + e.what());
    }
}

}  // namespace

void run_stream_starter(TermivaApp& app, const std::string& tab_id, const TabPtr& tab,
                        const std::shared_ptr<Backend>& backend, const StreamStart& how) {
    bool tab_closed;
    {
        std::lock_guard lock(tab->lock);
        tab_closed = tab->closed;
        if (!tab_closed) tab->connecting = backend;
    }
    if (tab_closed) return;
    std::string failure_key = how.failure_key;
    try {
        try {
            backend->connect();
        } catch (const StartFailure& e) {
            failure_key = e.key;
            throw;
        }
    } catch (const std::exception& e) {
        {
            std::lock_guard lock(tab->lock);
            tab->connecting.reset();
            tab_closed = tab->closed;
        }
        close_quietly(*backend);
        if (tab_closed) return;  // the user closed the tab; the failure is nobody's news
        app._mark_not_alive(*tab);
        app._push_info(tab_id, app._t(failure_key, {{"err", e.what()}}), true);
        return;
    }

    std::string encoding = how.decoder_encoding;
    if (encoding.empty()) {
        std::lock_guard lock(tab->lock);
        encoding = tab->encoding;
    }
    std::shared_ptr<text::Decoder> decoder = text::decoder_or_utf8(encoding);
    // Said once, so a code page this system lacks (Wine has no GB18030) never passes for
    // garbage from the peer.
    if (!encoding.empty() && !text::codec_known(encoding))
        app._push_info(tab_id, app._t("info.encoding_unavailable", {{"enc", encoding}}));
    {
        std::lock_guard lock(tab->lock);
        tab->connecting.reset();
        tab_closed = tab->closed;
        if (!tab_closed) {
            tab->backend = backend;
            tab->backend_kind = how.kind;
            tab->client = how.client;
            tab->decoder = decoder;
        }
    }
    if (tab_closed) {
        // Closed while connecting: nothing may keep this connection open.
        close_quietly(*backend);
        return;
    }
    app._push_connected(tab_id);
    std::string kind = how.kind;
    app._spawn([&app, tab_id, kind] { app._socket_reader_loop(tab_id, kind); });
}

}  // namespace termiva
