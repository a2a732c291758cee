// The application's side of the desktop, against a fake desktop: the window it asks for,
// the closing rule, the title bar, the tray menu and what its two items do.
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <mutex>
#include <thread>

#include "app/termiva_app.h"
#include "platform/desktop.h"
#include "support/fake_desktop.h"
#include "support/test_support.h"

namespace termiva::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class AppWindow : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(module() / "html");
        std::ofstream(module() / "html" / "index.html") << "<html>page ✓</html>";
    }
    fs::path module() const { return m_dir.path() / "module"; }
    fs::path data() const { return m_dir.path() / "data"; }
    std::unique_ptr<TermivaApp> make_app(const std::string& settings = "") {
        if (!settings.empty()) {
            fs::create_directories(data());
            std::ofstream(data() / "settings.json") << settings;
        }
        auto app = std::make_unique<TermivaApp>(nullptr, nullptr, data());
        app->set_module_dir_for_tests(module());
        app->set_desktop(desktop);
        return app;
    }
    TempDir m_dir;
    std::shared_ptr<FakeDesktop> desktop = std::make_shared<FakeDesktop>();
};

TEST_F(AppWindow, AsksForTheWindowTheSettingsDescribe) {
    auto app = make_app(R"({"window_w": 1000})");
    app->run();
    const auto& o = desktop->options;
    EXPECT_EQ(o.title, "Termiva");
    EXPECT_EQ(o.html, "<html>page ✓</html>");
    EXPECT_EQ(o.html_base, module() / "html");
    EXPECT_EQ(o.width, 1000);
    EXPECT_EQ(o.height, 720);  // the constructor's default height, not 550
    EXPECT_EQ(o.min_width, 600);
    EXPECT_EQ(o.min_height, 400);
    EXPECT_TRUE(o.resizable);
    EXPECT_EQ(o.background, "#0d0f14");
    EXPECT_FALSE(o.private_mode);
    EXPECT_EQ(o.storage_dir, data() / "webview2_data");
    EXPECT_TRUE(fs::is_directory(o.storage_dir));
    EXPECT_FALSE(o.icon.has_value());     // no logo file: no window icon
    EXPECT_TRUE(app->tabs().stopping());  // the end of the loop shut the program down
}

TEST_F(AppWindow, FallsBackToDefaultSizesForUnusableSettings) {
    auto app = make_app(R"({"window_w": "wide", "window_h": -5})");
    app->run();
    EXPECT_EQ(desktop->options.width, 900);
    EXPECT_EQ(desktop->options.height, 550);
}

TEST_F(AppWindow, KeepsTheWindowAtLeastItsMinimumSize) {
    auto app = make_app(R"({"window_w": 10, "window_h": "300"})");
    app->run();
    EXPECT_EQ(desktop->options.width, 600);
    EXPECT_EQ(desktop->options.height, 400);
}

TEST_F(AppWindow, UsesTheLogoForWindowAndTrayWhenItExists) {
    fs::create_directories(module() / "格式範本");
    std::ofstream(module() / "格式範本" / "logo.ico") << "ico";
    auto app = make_app();
    app->run();
    ASSERT_TRUE(desktop->options.icon.has_value());
    EXPECT_EQ(*desktop->options.icon, module() / "格式範本" / "logo.ico");
    ASSERT_TRUE(desktop->tray_icon.has_value());
    EXPECT_EQ(*desktop->tray_icon, module() / "格式範本" / "logo.ico");
}

TEST_F(AppWindow, FailsWithoutItsPage) {
    fs::remove(module() / "html" / "index.html");
    auto app = make_app();
    EXPECT_THROW(app->run(), std::runtime_error);
}

TEST_F(AppWindow, ClosingHidesTheWindowAndRefusesTheClose) {
    auto app = make_app();
    desktop->during_loop = [&] {
        EXPECT_FALSE(desktop->on_closing());
        EXPECT_EQ(desktop->window->hides.load(), 1);
        EXPECT_EQ(desktop->window->destroys.load(), 0);
        EXPECT_FALSE(app->tabs().stopping());
        // Where the window went is said on the first hide only.
        EXPECT_FALSE(desktop->on_closing());
        EXPECT_EQ(desktop->notifications, std::vector<std::string>{"Termiva is still running"});
    };
    app->run();
}

TEST_F(AppWindow, BridgesPageCallsToTheApplication) {
    auto app = make_app();
    desktop->during_loop = [&] {
        auto state = desktop->call_bridge("get_runtime_state", Json::array());
        ASSERT_TRUE(state.has_value());
        EXPECT_TRUE(state->contains("tabs"));
        EXPECT_FALSE(desktop->call_bridge("_shutdown", Json::array()).has_value());
    };
    app->run();
}

TEST_F(AppWindow, AsksForTheDarkTitleBarOnceAfterStartUp) {
    auto app = make_app();
    desktop->loop_time = 900ms;  // the title bar is asked for 0.6 s after start-up
    app->run();
    EXPECT_EQ(desktop->titlebar(), std::vector<std::string>{"Termiva"});
}

TEST_F(AppWindow, BuildsTheTrayMenuInTheStartUpLanguage) {
    auto app = make_app(R"({"language": "zh-Hant"})");
    desktop->during_loop = [&] { app->set_language("en"); };
    app->run();
    EXPECT_EQ(desktop->tray_name, "Termiva");
    EXPECT_EQ(desktop->tray_title, "Termiva");
    EXPECT_FALSE(desktop->tray_icon.has_value());
    EXPECT_EQ(desktop->fallback, (15u << 16) | (21u << 8) | 33u);
    ASSERT_EQ(desktop->items.size(), 2u);
    EXPECT_EQ(desktop->items[0].text, "顯示視窗");
    EXPECT_TRUE(desktop->items[0].is_default);
    EXPECT_EQ(desktop->items[1].text, "完全退出");
    EXPECT_FALSE(desktop->items[1].is_default);
}

TEST_F(AppWindow, TrayShowBringsTheWindowBack) {
    auto app = make_app();
    desktop->during_loop = [&] {
        desktop->on_closing();
        desktop->items.at(0).action();
        EXPECT_EQ(desktop->window->shows.load(), 1);
        EXPECT_FALSE(app->tabs().stopping());
    };
    app->run();
}

TEST_F(AppWindow, TrayQuitShutsDownAndExitsWithZero) {
    auto app = make_app();
    desktop->during_loop = [&] {
        // The quit item ends the process: run it where its exit can be watched.
        auto quit = desktop->items.at(1).action;
        auto window = desktop->window;
        auto tray = desktop->tray;
        EXPECT_EXIT(
            {
                quit();
                std::_Exit(3);  // not reached when quit ends the process itself
            },
            ::testing::ExitedWithCode(0), "");
        EXPECT_EQ(window->destroys.load(), 0);  // the child's effects stay in the child
    };
    app->run();
}

}  // namespace
}  // namespace termiva::testing
