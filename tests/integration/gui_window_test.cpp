// The window program under a private X server: it starts, shows "Termiva" at the size the
// settings ask for, draws the page, and only hides when asked to close.
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "integration/gui_program.h"

namespace termiva::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

using WindowProgram = WindowProgramTest;

TEST_F(WindowProgram, OpensAtTheConfiguredSizeDrawsThePageAndOnlyHidesOnClose) {
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
    EXPECT_TRUE(wait_until([&] { return !viewable(d, window); }, 5s)) << "close did not hide";
    std::this_thread::sleep_for(500ms);
    EXPECT_TRUE(program->running()) << "closing the window ended the program:\n" << output();
    EXPECT_NE(output().find("run model --> termiva"), std::string::npos);
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
