#include <gtest/gtest.h>

#include <functional>
#include <map>

#include "unit/app_fixture.h"

namespace termiva {
namespace {

using Bridge = testing::AppFixture;

// What each page operation answers when it cannot be called properly. Every operation
// the bridge registers must be listed here, so a new one cannot skip this test.
std::map<std::string, std::function<Json(TermivaApp&)>> neutral_values() {
    auto constant = [](Json v) { return [v](TermivaApp&) { return v; }; };
    auto state = [](TermivaApp& a) { return a.tabs().get_runtime_state(); };
    return {
        {"connect_session", constant({{"tab_id", nullptr}})},
        {"close_tab", state},
        {"reconnect_tab", constant({{"tab_id", nullptr}})},
        {"send_input", constant(false)},
        {"resize_pty", constant(false)},
        {"set_tab_encoding", constant(false)},
        {"get_tab_reading", constant({{"reading", false}})},
        {"toggle_tab_reading", constant({{"reading", false}})},
        {"drain_terminal", constant("")},
        {"get_runtime_state", state},
        {"get_initial_state", [](TermivaApp& a) { return a.get_initial_state(); }},
        {"save_session",
         [](TermivaApp& a) {
             return Json{{"sessions", a.store().sessions_json()}, {"id", nullptr}};
         }},
        {"delete_session",
         [](TermivaApp& a) {
             return Json{{"sessions", a.store().sessions_json()}};
         }},
        {"set_language", constant({{"ok", false}, {"language", "en"}})},
        {"pick_private_key", constant("")},
        {"xfer_start", constant({{"ok", false}})},
        {"xfer_cancel", constant(false)},
        {"xfer_status", constant({{"active", false}})},
        {"xfer_pick_files", constant(Json::array())},
        {"xfer_pick_save_dir", constant("")},
        {"xfer_open_folder", constant(false)},
        {"read_clipboard", constant("")},
        {"get_images", constant({{"logo", ""}, {"logo_ico", ""}})},
        {"open_url", constant(false)},
        {"get_third_party_licenses", constant({{"items", Json::array()}})},
        {"import_list_from_putty", constant(Json::array())},
        {"import_putty_sessions",
         [](TermivaApp& a) {
             return Json{{"sessions", a.store().sessions_json()}};
         }},
        {"list_serial_ports", constant(Json::array())},
        {"hard_reset_esp", constant(false)},
        {"enter_bootloader_esp", constant(false)},
        {"esp_flash_start", constant({{"ok", false}})},
        {"esp_flash_pick_files", constant(Json::array())},
        {"esp_files_from_build_dir", constant({{"ok", false}})},
        {"esp_pick_build_dir", constant("")},
        {"esp_guess_offset", constant(nullptr)},
        {"esp_file_size", constant(-1)},
        {"esp_chip_list", constant(Json::array())},
        {"esp_get_session_prefs", constant(Json::object())},
        {"claude_ai_state", constant({{"installed", false},
                                      {"logged_in", false},
                                      {"has_deepseek_settings", false},
                                      {"has_backend", false},
                                      {"ready", false},
                                      {"session_dismissed", false}})},
        {"claude_status", constant({{"installed", false},
                                    {"logged_in", false},
                                    {"version", nullptr},
                                    {"model", ""},
                                    {"exe", nullptr},
                                    {"hint", ""}})},
        {"claude_get_models", constant(Json::object())},
        {"claude_get_deepseek_credentials", constant(Json::object())},
        {"claude_send", constant({{"ok", false}, {"error", ""}, {"reply", ""}})},
        {"claude_reset_session", constant(true)},
        {"claude_toggle_session_flag", constant({{"ok", false}})},
        {"set_claude_effort", constant({{"ok", false}})},
        {"set_claude_deepseek_model", constant({{"ok", false}})},
        {"claude_get_deepseek_models", constant({{"ok", false}})},
        {"set_claude_deepseek_credentials", constant({{"ok", false}})},
        {"set_claude_provider", constant({{"ok", false}})},
        {"set_claude_model", constant({{"ok", false}})},
        {"set_claude_api_key", constant({{"ok", false}})},
        {"start_claude_login", constant({{"ok", false}})},
        {"reset_ai_setup", constant({{"ok", false}})},
        {"dismiss_ai_setup", constant({{"ok", false}})},
        {"install_claude_code", constant({{"ok", false}})},
        {"claude_inject", constant(false)},
        {"set_page_visible", constant(false)},
        {"tab_log_start", constant({{"ok", false}, {"error", "bad arguments"}})},
        {"tab_log_stop", constant(false)},
        {"tab_log_status", constant({{"logging", false}, {"path", ""}, {"timestamps", false}})},
        {"get_page_settings", constant(Json::object())},
        {"list_monospace_fonts", constant(Json::array())},
        {"sftp_open", constant({{"ok", false}, {"reason", "bad_arguments"}})},
        {"sftp_list", constant({{"ok", false}, {"reason", "bad_arguments"}})},
        {"sftp_mkdir", constant({{"ok", false}, {"reason", "bad_arguments"}})},
        {"sftp_rename", constant({{"ok", false}, {"reason", "bad_arguments"}})},
        {"sftp_remove", constant({{"ok", false}, {"reason", "bad_arguments"}})},
        {"sftp_download", constant({{"ok", false}, {"reason", "bad_arguments"}})},
        {"sftp_upload", constant({{"ok", false}, {"reason", "bad_arguments"}})},
        {"set_page_settings",
         [](TermivaApp& a) {
             return Json{{"ok", false},
                         {"settings", *a.call_bridge("get_page_settings", Json::array())}};
         }},
    };
}

TEST_F(Bridge, EveryOperationIsCoveredByTheNeutralValueTable) {
    auto table = neutral_values();
    for (const auto& name : app->bridge().names()) {
        EXPECT_TRUE(table.count(name)) << "no neutral value listed for " << name;
    }
}

TEST_F(Bridge, MalformedCallsYieldTheNeutralValueNeverAFailure) {
    std::string tab = open_idle_tab();
    app->save_session({{"name", "keep"}});
    auto table = neutral_values();
    const std::vector<Json> bad_arg_lists = {
        Json::object(),                                   // not a list at all
        Json::array({1, 2, 3, 4, 5, 6}),                  // too many
        Json::array({Json::object(), 3.5, nullptr, {}}),  // wrong types
    };
    for (const auto& name : app->bridge().names()) {
        for (const auto& args : bad_arg_lists) {
            auto result = app->call_bridge(name, args);
            ASSERT_TRUE(result) << name;
            EXPECT_EQ(*result, table.at(name)(*app)) << name << " with " << args.dump();
        }
    }
    // Operations that take a tab id refuse other kinds of ids.
    for (const char* name : {"send_input", "resize_pty", "set_tab_encoding"}) {
        EXPECT_EQ(*app->call_bridge(name, {42, "x", 3}), false) << name;
    }
    EXPECT_EQ(*app->call_bridge("drain_terminal", {nullptr}), "");
    EXPECT_EQ(*app->call_bridge("get_tab_reading", {Json::array()}), (Json{{"reading", false}}));
    EXPECT_EQ(*app->call_bridge("send_input", {tab}), false);  // data missing
    EXPECT_EQ(*app->call_bridge("set_language", Json::array()), table.at("set_language")(*app));
}

TEST_F(Bridge, WellFormedCallsReachTheOperations) {
    std::string tab = open_idle_tab();
    app->tabs().push_text(tab, "out");
    EXPECT_EQ(*app->call_bridge("drain_terminal", {tab}), "out");
    EXPECT_EQ(*app->call_bridge("resize_pty", {tab, "24", "80"}), false);  // no backend
    EXPECT_EQ(*app->call_bridge("set_language", {"zh-Hant"}),
              (Json{{"ok", true}, {"language", "zh-Hant"}}));
    EXPECT_EQ((*app->call_bridge("get_runtime_state", nullptr))["tabs"].size(), 1u);
}

TEST_F(Bridge, UnknownAndInternalOperationsAreRefused) {
    EXPECT_FALSE(app->call_bridge("no_such_op", Json::array()));
    for (const char* internal : {"_push_to_term", "_shutdown", "_close_tab_internal", "_t",
                                 "_start_ssh", "run", "__init__"}) {
        EXPECT_FALSE(app->call_bridge(internal, Json::array())) << internal;
    }
}

}  // namespace
}  // namespace termiva
