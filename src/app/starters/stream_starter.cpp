#include "app/starters/stream_starter.h"

#include "connect/fd_io.h"
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

// Why a connect failed, in the user's language where the program words it itself.
std::string reason_of(TabHost& host, const std::exception& e) {
    if (const auto* family = dynamic_cast<const NoAddressOfFamilyError*>(&e))
        return host.translate("err.no_ip_family_address",
                              {{"host", family->host}, {"family", family->family}});
    return e.what();
}

// The tab's reader: the host's pipeline until the stream ends, then the end line and the
// connection closed.
void read_until_end(TabHost& host, const TabPtr& tab, const std::shared_ptr<Backend>& backend,
                    const std::shared_ptr<SshClient>& client) {
    host.read_stream(tab, *backend);
    tab->move_to(TabState::ended);
    host.push_info(tab->id, host.translate("info.connection_ended"), false);
    // The stream, then (SSH-2) the connection it ran in; a failing close changes nothing.
    try {
        backend->close();
    } catch (const std::exception& e) {
        log::debug("reader", std::string("close: ") + e.what());
    }
    try {
        if (client) client->close();
    } catch (const std::exception& e) {
        log::debug("reader", std::string("close connection: ") + e.what());
    }
}

}  // namespace

void run_stream_starter(TabHost& host, const std::string& tab_id, const TabPtr& tab,
                        const std::shared_ptr<Backend>& backend, const StreamStart& how) {
    bool tab_closed;
    {
        std::lock_guard lock(tab->lock);
        tab_closed = tab->state_held() == TabState::closed;
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
        }
        close_quietly(*backend);
        // Refused only when the user closed the tab; the failure is nobody's news then.
        if (tab->move_to(TabState::failed))
            host.push_info(tab_id, host.translate(failure_key, {{"err", reason_of(host, e)}}),
                           true);
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
        host.push_info(tab_id, host.translate("info.encoding_unavailable", {{"enc", encoding}}));
    const bool connected = tab->move_to(TabState::connected, [&](Tab& t) {
        t.connecting.reset();
        t.backend = backend;
        t.backend_kind = how.kind;
        t.client = how.client;
        t.decoder = decoder;
    });
    if (!connected) {
        // Closed while connecting: nothing may keep this connection open.
        {
            std::lock_guard lock(tab->lock);
            tab->connecting.reset();
        }
        close_quietly(*backend);
        return;
    }
    host.push_connected(tab_id);
    host.spawn(
        [&host, tab, backend, client = how.client] { read_until_end(host, tab, backend, client); });
}

}  // namespace termiva
