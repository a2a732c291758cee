// The window program under a private X server whose bus has no tray host: it starts, shows
// "Termiva" at the size the settings ask for, draws the page; closing it quits, asking
// first while tabs are open (no tray icon could bring a hidden window back), and a setting
// changed just before closing is in the settings file.
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "app/messages/messages.h"
#include "integration/gui_program.h"

namespace termiva::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

using WindowProgram = WindowProgramTest;

TEST_F(WindowProgram, OpensAtTheConfiguredSizeDrawsThePageAndQuitsOnCloseWithNoTabs) {
    // Width from the file; the height keeps the program's own default.
    write_text_file(data_dir() / "settings.json", R"({"window_w": 1000})");
    auto program = start(PROGRAM);
    Display* d = display();

    Window window = wait_for_window(10s);
    ASSERT_NE(window, 0u) << "no window titled Termiva; program said:\n" << output();

    XWindowAttributes attributes;
    ASSERT_TRUE(XGetWindowAttributes(d, window, &attributes));
    EXPECT_EQ(attributes.width, 1000);
    EXPECT_EQ(attributes.height, 720);

    // The page paints text and controls over its background: many colours, not one.
    EXPECT_TRUE(wait_until([&] { return colours_in(d, window) >= 8; }, 10s))
        << "the window stayed blank (" << colours_in(d, window) << " colours)";
    EXPECT_TRUE(fs::is_directory(data_dir() / "webview2_data"));

    request_close(d, window);
    auto status = program->wait_exit(10000);
    ASSERT_TRUE(status.has_value()) << "closing the window did not end the program:\n" << output();
    EXPECT_EQ(*status, 0) << output();
    EXPECT_NE(output().find("run model --> termiva"), std::string::npos);
}

TEST_F(WindowProgram, ClosingWithATabOpenAsksAndQuitsOnlyWhenTheUserSaysSo) {
    TERMIVA_REQUIRE_PROGRAM(xdotool, "xdotool");
    write_text_file(data_dir() / "sessions.json",
                    R"({"sessions": [{"id": "0123456789abcdef0123456789abcdef",)"
                    R"( "name": "Local shell", "protocol": "conpty", "conpty_shell": "sh"}]})");
    auto program = start(PROGRAM);
    Display* d = display();
    Window window = wait_for_window(10s);
    ASSERT_NE(window, 0u) << "no window titled Termiva; program said:\n" << output();
    open_tab_by_double_click(window, xdotool);
    if (HasFatalFailure()) return;

    const auto& texts = message_catalog().at("en");
    // Answers the question with `key` once it shows.
    auto answer = [&](const std::string& key) {
        request_close(d, window);
        Window question = 0;
        ASSERT_TRUE(wait_until(
            [&] { return (question = find_viewable(d, texts.at("quit.title"))) != 0; }, 5s))
            << "closing asked nothing; program said:\n"
            << output();
        ChildProcess press(
            {xdotool.string(), "windowfocus", "--sync", std::to_string(question), "key", key},
            {"DISPLAY=" + m_xvfb->display()}, m_dir.path() / "xdotool.txt");
        ASSERT_EQ(press.wait_exit(5000), 0) << read_text_file(m_dir.path() / "xdotool.txt");
    };

    answer("Escape");  // no: the window and its tab stay
    if (HasFatalFailure()) return;
    EXPECT_TRUE(wait_until([&] { return find_viewable(d, texts.at("quit.title")) == 0; }, 5s));
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(program->running()) << output();
    EXPECT_TRUE(viewable(d, window));

    answer("Return");  // the default answer quits
    if (HasFatalFailure()) return;
    auto status = program->wait_exit(10000);
    ASSERT_TRUE(status.has_value()) << "still running after the user said quit:\n" << output();
    EXPECT_EQ(*status, 0) << output();
}

TEST_F(WindowProgram, AZoomStepJustBeforeClosingIsInTheSettingsFile) {
    TERMIVA_REQUIRE_PROGRAM(xdotool, "xdotool");
    auto program = start(PROGRAM);
    Display* d = display();
    Window window = wait_for_window(10s);
    ASSERT_NE(window, 0u) << "no window titled Termiva; program said:\n" << output();
    ASSERT_TRUE(wait_until([&] { return colours_in(d, window) >= 8; }, 10s));
    ASSERT_TRUE(settled(window)) << "the page never stopped changing";

    // The page writes zoom steps only once the keys rest; the window closes before that.
    ChildProcess press(
        {xdotool.string(), "windowfocus", "--sync", std::to_string(window), "key", "ctrl+equal"},
        {"DISPLAY=" + m_xvfb->display()}, m_dir.path() / "xdotool.txt");
    ASSERT_EQ(press.wait_exit(5000), 0) << read_text_file(m_dir.path() / "xdotool.txt");
    request_close(d, window);
    auto status = program->wait_exit(10000);
    ASSERT_TRUE(status.has_value()) << "closing the window did not end the program:\n" << output();
    EXPECT_EQ(*status, 0) << output();
    const auto settings = nlohmann::json::parse(read_text_file(data_dir() / "settings.json"));
    EXPECT_EQ(settings.value("term_zoom", 0), 1) << settings.dump();
}

TEST_F(WindowProgram, ReportsAMissingPageAsFatalAndFails) {
    // The program folder without its page: the executable and its libraries only.
    fs::path folder = m_dir.path() / "program";
    fs::create_directories(folder);
    for (const auto& entry : fs::directory_iterator(PROGRAM.parent_path())) {
        const auto name = entry.path().filename().string();
        if (name == "termiva" || entry.path().extension() == ".so") {
            fs::copy_file(entry.path(), folder / name);
        }
    }
    auto program = start(folder / "termiva");
    auto status = program->wait_exit(15000);
    ASSERT_TRUE(status.has_value()) << "the program kept running without its page";
    EXPECT_NE(*status, 0);
    const std::string out = output();
    EXPECT_NE(out.find("run model --> termiva"), std::string::npos) << out;
    EXPECT_NE(out.find("[GUI] fatal:"), std::string::npos) << out;
    EXPECT_NE(out.find("index.html"), std::string::npos) << out;
}

}  // namespace
}  // namespace termiva::testing
