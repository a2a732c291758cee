// The page operations of the tabs, the store and the languages, each with its argument
// names, defaults and the neutral value a call that cannot be made answers with.
#include "app/json_values.h"
#include "app/termiva_app.h"

namespace termiva {

namespace {

using Args = std::vector<Json>;

}  // namespace

void TermivaApp::register_bridge() {
    auto state = [this] { return get_runtime_state(); };
    auto constant = [](Json v) { return [v] { return v; }; };
    auto& b = m_bridge;

    b.add("connect_session", {{{"session_id"}},
                              constant({{"tab_id", nullptr}}),
                              [this](const Args& a) { return connect_session(a[0]); }});
    b.add("close_tab",
          {{{"tab_id"}}, state, [this](const Args& a) { return close_tab(text_arg(a, 0)); }});
    b.add("reconnect_tab", {{{"tab_id"}}, constant({{"tab_id", nullptr}}), [this](const Args& a) {
                                return reconnect_tab(text_arg(a, 0));
                            }});
    // Keystrokes, size changes and encoding changes of one tab keep the page's order.
    const bool per_tab = true;
    b.add("send_input",
          {{{"tab_id"}, {"data"}},
           constant(false),
           [this](const Args& a) { return Json(send_input(text_arg(a, 0), text_arg(a, 1))); },
           per_tab});
    b.add("resize_pty",
          {{{"tab_id"}, {"rows"}, {"cols"}},
           constant(false),
           [this](const Args& a) { return Json(resize_pty(text_arg(a, 0), a[1], a[2])); },
           per_tab});
    b.add("set_tab_encoding",
          {{{"tab_id"}, {"encoding"}},
           constant(false),
           [this](const Args& a) { return Json(set_tab_encoding(text_arg(a, 0), text_arg(a, 1))); },
           per_tab});
    b.add("get_tab_reading", {{{"tab_id"}}, constant({{"reading", false}}), [this](const Args& a) {
                                  return get_tab_reading(text_arg(a, 0));
                              }});
    b.add("toggle_tab_reading",
          {{{"tab_id"}}, constant({{"reading", false}}), [this](const Args& a) {
               return toggle_tab_reading(text_arg(a, 0));
           }});
    b.add("drain_terminal",
          {{{"tab_id"}, {"carried_seen", nullptr}}, constant(""), [this](const Args& a) {
               return Json(drain_terminal(text_arg(a, 0), a[1]));
           }});
    b.add("get_runtime_state", {{}, state, [this](const Args&) { return get_runtime_state(); }});

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
