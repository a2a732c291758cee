// One program per user: a second start of the window program on the same session bus
// opens no window of its own, brings the first one forward (raised over other windows, or
// shown again from the tray) and leaves with status 0.
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "integration/gui_program.h"
#include "integration/gui_tray_watcher.h"

namespace termiva::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class SingleInstance : public WindowProgramTest {
protected:
    // Starts the program again on the first one's bus; it must be done within 15 s.
    void start_again_and_expect_exit_zero(const std::string& address) {
        const fs::path said = m_dir.path() / ("second-" + std::to_string(++m_starts) + ".txt");
        auto second = start_on_bus(PROGRAM, address, said);
        auto status = second->wait_exit(15000);
        ASSERT_TRUE(status.has_value()) << "the second start kept running:\n"
                                        << read_text_file(said);
        EXPECT_EQ(*status, 0) << read_text_file(said);
    }
    int m_starts = 0;
};

TEST_F(SingleInstance, ASecondStartBringsTheFirstWindowForwardAndEndsWithZero) {
    auto first = start(PROGRAM);
    Display* d = display();
    Window window = wait_for_window(10s);
    ASSERT_NE(window, 0u) << "no window titled Termiva; program said:\n" << output();
    const std::string address = bus_address(5s);
    ASSERT_FALSE(address.empty()) << "the session bus never started";
    // A tray host, so that closing hides the window instead of quitting.
    TrayWatcher watcher(address);
    ASSERT_TRUE(watcher.serving()) << watcher.error();
    ASSERT_TRUE(wait_until([&] { return watcher.items() > 0; }, 10s))
        << "the tray icon never registered; program said:\n"
        << output();

    // Another program's window over it.
    Window cover = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 1600, 1000, 0, 0, 0);
    XMapRaised(d, cover);
    XSync(d, False);
    ASSERT_TRUE(wait_until([&] { return stacked_above(d, cover, window); }, 5s));

    start_again_and_expect_exit_zero(address);
    EXPECT_TRUE(wait_until([&] { return stacked_above(d, window, cover); }, 5s))
        << "the first window was not raised";
    EXPECT_EQ(count_viewable(d, "Termiva"), 1u);

    request_close(d, window);
    ASSERT_TRUE(wait_until([&] { return !viewable(d, window); }, 5s)) << "close did not hide";
    start_again_and_expect_exit_zero(address);
    EXPECT_TRUE(wait_until([&] { return viewable(d, window); }, 5s))
        << "the hidden window was not shown again";
    EXPECT_EQ(count_viewable(d, "Termiva"), 1u);
    EXPECT_TRUE(first->running()) << output();
    XDestroyWindow(d, cover);
    XSync(d, False);
}

}  // namespace
}  // namespace termiva::testing
