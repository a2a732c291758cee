// The page operations of the store and the languages, each with its argument
// names, defaults and the neutral value a call that cannot be made answers with.
#include "app/json_values.h"
#include "app/termiva_app.h"

namespace termiva {

namespace {

using Args = std::vector<Json>;

}  // namespace

void TermivaApp::register_bridge() {
    auto& b = m_bridge;

    m_tabs.register_ops(b);
    b.add("get_initial_state", {{},
                                [this] { return get_initial_state(); },
                                [this](const Args&) { return get_initial_state(); }});
    b.add("save_session", {{{"rec"}},
                           [this] {
                               return Json{{"sessions", m_store.sessions_json()}, {"id", nullptr}};
                           },
                           [this](const Args& a) { return save_session(a[0]); }});
    b.add("delete_session", {{{"session_id"}},
                             [this] {
                                 return Json{{"sessions", m_store.sessions_json()}};
                             },
                             [this](const Args& a) { return delete_session(a[0]); }});

    b.add("set_language",
          {{{"lang"}},
           [this] {
               return Json{{"ok", false}, {"language", member(m_store.settings(), "language")}};
           },
           [this](const Args& a) { return set_language(a[0]); }});

    register_ssh_bridge();
    m_transfer.register_ops(b);
    register_desktop_bridge();
    register_import_bridge();
    m_serial.register_ops(b);
    m_esp.register_ops(b);
    m_assistant.register_ops(b);
#ifdef TERMIVA_WITH_SSH2
    m_sftp.register_ops(b);
#endif
    register_page_bridge();
}

}  // namespace termiva
