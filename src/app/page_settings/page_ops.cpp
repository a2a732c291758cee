// Page operations of the page's own conveniences: the window's visibility for the
// reachability prober, logging a tab to a file, and the terminal's look and manners (font,
// zoom, cursor, scrollback, bell, copy-on-select, asking before a connected tab closes, how
// links open, where received files go) kept in the settings file.
#include <algorithm>
#include <cctype>
#include <cstring>

#include "app/json_values.h"
#include "app/termiva_app.h"
#include "platform/fonts.h"
#include "platform/log.h"
#include "platform/paths.h"
#include "platform/utf8_path.h"

namespace termiva {

namespace {

using Args = std::vector<Json>;

// The settings keys the page may write, each with what a valid value is. Anything else
// in a call is ignored: the page cannot reach the program's own settings through here.
bool valid_font_family(const Json& v) {
    if (!v.is_string()) return false;
    const auto& s = v.get_ref<const std::string&>();
    if (s.size() > 200) return false;
    return std::all_of(s.begin(), s.end(), [](unsigned char c) {
        return c >= 0x80 || std::isalnum(c) || std::strchr(" ,'\"-_.", c) != nullptr;
    });
}

// A folder given by its full path (or from the home folder, "~/..."), no control characters.
bool valid_folder(const Json& v) {
    if (!v.is_string()) return false;
    const auto& s = v.get_ref<const std::string&>();
    if (s.empty() || s.size() > 4096) return false;
    if (std::any_of(s.begin(), s.end(), [](unsigned char c) { return c < 0x20 || c == 0x7f; }))
        return false;
    return platform::path_typed_by_user(s).is_absolute();
}

bool int_in(const Json& v, long long lo, long long hi) {
    return v.is_number_integer() && v.get<long long>() >= lo && v.get<long long>() <= hi;
}

struct PageKey {
    const char* name;
    bool (*valid)(const Json&);
};

const PageKey PAGE_KEYS[] = {
    {"term_font_family", valid_font_family},
    {"term_font_size", [](const Json& v) { return int_in(v, 6, 72); }},
    {"term_zoom", [](const Json& v) { return int_in(v, -10, 20); }},
    {"copy_on_select", [](const Json& v) { return v.is_boolean(); }},
    {"confirm_close", [](const Json& v) { return v.is_boolean(); }},
    {"link_click", [](const Json& v) { return v == "ctrl" || v == "plain"; }},
    {"term_cursor_style",
     [](const Json& v) { return v == "block" || v == "bar" || v == "underline"; }},
    {"term_cursor_blink", [](const Json& v) { return v.is_boolean(); }},
    {"term_scrollback", [](const Json& v) { return int_in(v, 100, 200000); }},
    {"bell", [](const Json& v) { return v == "none" || v == "visual" || v == "sound"; }},
    {"reachability", [](const Json& v) { return v.is_boolean(); }},
    {"download_folder", valid_folder},
};

// The installed monospace families the settings panel offers; a name that could not sit in
// a quoted CSS font list the settings accept (quotes, commas, other punctuation) is left out.
Json monospace_fonts() {
    Json out = Json::array();
    for (const std::string& family : platform::monospace_font_families()) {
        const bool plain = !family.empty() && family.size() <= 100 &&
                           std::all_of(family.begin(), family.end(), [](unsigned char c) {
                               return c >= 0x80 || std::isalnum(c) || std::strchr(" -_.", c);
                           });
        if (plain) out.push_back(family);
    }
    return out;
}

}  // namespace

bool TermivaApp::set_page_visible(bool visible) {
    m_prober.set_visible(visible);
    return true;
}

Json TermivaApp::tab_log_start(const std::string& tab_id, const std::string& path,
                               bool timestamps) {
    TabPtr tab = m_tabs.find_tab(tab_id);
    if (!tab) return Json{{"ok", false}, {"error", _t("err.tab_not_found")}};
    std::string caption;
    {
        std::lock_guard lock(tab->lock);
        caption = tab->display;
    }
    std::filesystem::path file = platform::path_from_utf8(path);
    if (path.find_first_not_of(" \t") == std::string::npos) {
        file = TabLogs::default_path(APP_DIR / "logs", caption);
    }
    try {
        m_logs.start(tab_id, file, timestamps);
    } catch (const std::exception& e) {
        log::warn("tab_log", e.what());
        return Json{{"ok", false}, {"error", e.what()}};
    }
    // Closed meanwhile: its close did not see this log, so end it here.
    if (!m_tabs.find_tab(tab_id)) {
        m_logs.stop(tab_id);
        return Json{{"ok", false}, {"error", _t("err.tab_not_found")}};
    }
    return Json{{"ok", true}, {"path", platform::path_to_utf8(file)}, {"timestamps", timestamps}};
}

bool TermivaApp::tab_log_stop(const std::string& tab_id) {
    return m_logs.stop(tab_id);
}

Json TermivaApp::tab_log_status(const std::string& tab_id) {
    return m_logs.status(tab_id);
}

void TermivaApp::_tab_log_failed(const std::string& tab_id, const std::filesystem::path& file,
                                 const std::string& reason) {
    _push_info(
        tab_id,
        _t("info.tab_log_failed", {{"path", platform::path_to_utf8(file)}, {"error", reason}}),
        true);
    m_shell.page_call("tabLogEnded", {tab_id}, true);
}

Json TermivaApp::get_page_settings() {
    const Json settings = m_store.settings();
    Json out = Json::object();
    for (const auto& key : PAGE_KEYS) {
        const Json& v = member(settings, key.name);
        if (key.valid(v)) out[key.name] = v;
    }
    return out;
}

Json TermivaApp::set_page_settings(const Json& values) {
    bool changed = false;
    if (values.is_object()) {
        for (const auto& key : PAGE_KEYS) {
            auto it = values.find(key.name);
            if (it == values.end()) continue;
            if (it->is_null()) {
                // null: the page's own default applies again.
                changed = m_store.set_setting(key.name, nullptr) || changed;
            } else if (key.valid(*it)) {
                changed = m_store.set_setting(key.name, *it) || changed;
            }
        }
    }
    apply_reachability_setting();
    Json answer{{"ok", true}, {"settings", get_page_settings()}};
    if (changed) {
        if (const auto failure = _save_settings())
            answer["save_error"] = _save_failure(SETTINGS_FILE, *failure);
    }
    return answer;
}

void TermivaApp::apply_reachability_setting() {
    m_prober.set_enabled(member(m_store.settings(), "reachability") != false);
}

void TermivaApp::register_page_bridge() {
    auto& b = m_bridge;
    b.add("set_page_visible",
          {{{"visible", true}},
           [] { return Json(false); },
           [this](const Args& a) { return Json(set_page_visible(a[0].get<bool>())); }});
    b.add("tab_log_start", {{{"tab_id"}, {"path", ""}, {"timestamps", false}},
                            [] {
                                return Json{{"ok", false}, {"error", "bad arguments"}};
                            },
                            [this](const Args& a) {
                                return tab_log_start(text_arg(a, 0), text_arg(a, 1),
                                                     a[2].get<bool>());
                            }});
    b.add("tab_log_stop", {{{"tab_id"}},
                           [] { return Json(false); },
                           [this](const Args& a) { return Json(tab_log_stop(text_arg(a, 0))); }});
    b.add("tab_log_status",
          {{{"tab_id"}},
           [] {
               return Json{{"logging", false}, {"path", ""}, {"timestamps", false}};
           },
           [this](const Args& a) { return tab_log_status(text_arg(a, 0)); }});
    b.add("list_monospace_fonts",
          {{}, [] { return Json::array(); }, [](const Args&) { return monospace_fonts(); }});
    b.add("get_page_settings",
          {{}, [] { return Json::object(); }, [this](const Args&) { return get_page_settings(); }});
    b.add("set_page_settings", {{{"values"}},
                                [this] {
                                    return Json{{"ok", false}, {"settings", get_page_settings()}};
                                },
                                [this](const Args& a) { return set_page_settings(a[0]); }});
}

}  // namespace termiva
