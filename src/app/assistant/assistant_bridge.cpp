// The page's assistant operations. Failures never reach the page as exceptions: a call that
// cannot be made answers with the operation's neutral record.
#include <stdexcept>

#include "app/assistant/assistant_service.h"

namespace termiva {

namespace {

using Json = nlohmann::json;
using Args = std::vector<Json>;

Json not_ok() {
    return Json{{"ok", false}};
}

// A question is only sent when its arguments are what the page sends; anything else is a
// malformed call (neutral answer), never a run of the program with guessed values.
void check_question(const Args& a) {
    const bool ok = a[0].is_string() && (a[1].is_string() || a[1].is_null()) &&
                    (a[2].is_string() || a[2].is_null()) && a[3].is_number() &&
                    (a[5].is_object() || a[5].is_null());
    if (!ok) throw std::invalid_argument("claude_send: malformed arguments");
}

}  // namespace

void AssistantService::register_ops(BridgeTable& b) {
    auto neutral = [](Json v) { return [v] { return v; }; };

    b.add("claude_ai_state", {{},
                              neutral({{"installed", false},
                                       {"logged_in", false},
                                       {"has_deepseek_settings", false},
                                       {"has_backend", false},
                                       {"ready", false},
                                       {"session_dismissed", false}}),
                              [this](const Args&) { return claude_ai_state(); }});
    b.add("install_claude_code",
          {{}, not_ok, [this](const Args&) { return install_claude_code(); }});
    b.add("dismiss_ai_setup", {{}, not_ok, [this](const Args&) { return dismiss_ai_setup(); }});
    b.add("reset_ai_setup", {{}, not_ok, [this](const Args&) { return reset_ai_setup(); }});
    b.add("start_claude_login", {{}, not_ok, [this](const Args&) { return start_claude_login(); }});
    b.add("set_claude_api_key",
          {{{"api_key", ""}}, not_ok, [this](const Args& a) { return set_claude_api_key(a[0]); }});
    b.add("claude_status", {{},
                            neutral({{"installed", false},
                                     {"logged_in", false},
                                     {"version", nullptr},
                                     {"model", ""},
                                     {"exe", nullptr},
                                     {"hint", ""}}),
                            [this](const Args&) { return claude_status(); }});

    b.add("claude_get_models",
          {{}, neutral(Json::object()), [this](const Args&) { return claude_get_models(); }});
    b.add("set_claude_model", {{{"model_id", nullptr}}, not_ok, [this](const Args& a) {
                                   return set_claude_model(a[0]);
                               }});
    b.add("set_claude_provider", {{{"provider", nullptr}}, not_ok, [this](const Args& a) {
                                      return set_claude_provider(a[0]);
                                  }});
    b.add("claude_get_deepseek_credentials", {{}, neutral(Json::object()), [this](const Args&) {
                                                  return claude_get_deepseek_credentials();
                                              }});
    b.add("set_claude_deepseek_credentials",
          {{{"api_key", ""}, {"base_url", nullptr}, {"model", nullptr}},
           not_ok,
           [this](const Args& a) { return set_claude_deepseek_credentials(a[0], a[1], a[2]); }});
    b.add("claude_get_deepseek_models",
          {{}, not_ok, [this](const Args&) { return claude_get_deepseek_models(); }});
    b.add("set_claude_deepseek_model", {{{"model_id", nullptr}}, not_ok, [this](const Args& a) {
                                            return set_claude_deepseek_model(a[0]);
                                        }});
    b.add("set_claude_effort",
          {{{"enabled", true}}, not_ok, [this](const Args& a) { return set_claude_effort(a[0]); }});
    b.add("claude_toggle_session_flag",
          {{{"tab_id"}, {"flag_name"}}, not_ok, [this](const Args& a) {
               return claude_toggle_session_flag(a.at(0).get<std::string>(),
                                                 a.at(1).get<std::string>());
           }});

    b.add("claude_send", {{{"user_text"},
                           {"terminal_text", ""},
                           {"target_tab_id", nullptr},
                           {"timeout", 180},
                           {"is_followup", false},
                           {"tab_texts", nullptr}},
                          neutral({{"ok", false}, {"error", ""}, {"reply", ""}}),
                          [this](const Args& a) {
                              check_question(a);
                              return claude_send(a[0], a[1], a[2], a[3], a[5]);
                          }});
    b.add("claude_reset_session",
          {{}, neutral(true), [this](const Args&) { return Json(claude_reset_session()); }});
    b.add("claude_inject", {{{"tab_id"}, {"command", ""}, {"append_newline", true}},
                            neutral(false),
                            [this](const Args& a) {
                                return Json(claude_inject(a.at(0).get<std::string>(), a[1], a[2]));
                            }});
}

}  // namespace termiva
