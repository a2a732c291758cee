#include "integration/gui_program.h"

#include <fstream>
#include <sstream>
#include <thread>

namespace termiva::testing {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string read_text_file(const fs::path& file) {
    std::ifstream in(file);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_text_file(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file) << text;
}

const fs::path WindowProgramTest::PROGRAM = fs::path(TERMIVA_PROGRAM_DIR) / "termiva";

void WindowProgramTest::SetUp() {
    auto xvfb = find_program("Xvfb");
    auto dbus = find_program("dbus-run-session");
    if (!xvfb || !dbus) {
        if (peers_required()) FAIL() << "Xvfb and dbus-run-session are required";
        GTEST_SKIP() << "Xvfb or dbus-run-session not installed";
    }
    m_dbus = *dbus;
    m_xvfb = std::make_unique<XvfbServer>(*xvfb);
    ASSERT_FALSE(m_xvfb->display().empty()) << "Xvfb did not start";
    m_display = open_display(m_xvfb->display());
    ASSERT_TRUE(m_display) << "cannot open " << m_xvfb->display();
}

std::unique_ptr<ChildProcess> WindowProgramTest::start(const fs::path& program) {
    const fs::path address_file = m_dir.path() / "bus-address";
    fs::remove(address_file);
    // The shell tells us the bus address, then becomes the program: the bus session
    // ends, with its status, when the program does.
    return std::make_unique<ChildProcess>(
        std::vector<std::string>{m_dbus.string(), "--", "/bin/sh", "-c",
                                 "echo \"$DBUS_SESSION_BUS_ADDRESS\" > \"$0.tmp\" && "
                                 "mv \"$0.tmp\" \"$0\" && exec \"$1\"",
                                 address_file.string(), program.string()},
        std::vector<std::string>{"DISPLAY=" + m_xvfb->display(),
                                 "XDG_DATA_HOME=" + (m_dir.path() / "xdg").string(),
                                 "NO_AT_BRIDGE=1"},
        output_file());
}

std::unique_ptr<ChildProcess> WindowProgramTest::start_on_bus(const fs::path& program,
                                                              const std::string& address,
                                                              const fs::path& output) {
    return std::make_unique<ChildProcess>(
        std::vector<std::string>{program.string()},
        std::vector<std::string>{"DISPLAY=" + m_xvfb->display(),
                                 "XDG_DATA_HOME=" + (m_dir.path() / "xdg").string(),
                                 "NO_AT_BRIDGE=1", "DBUS_SESSION_BUS_ADDRESS=" + address},
        output);
}

std::string WindowProgramTest::bus_address(std::chrono::milliseconds limit) const {
    const fs::path address_file = m_dir.path() / "bus-address";
    std::string address;
    wait_until(
        [&] {
            address = read_text_file(address_file);
            while (!address.empty() && (address.back() == '\n' || address.back() == '\r'))
                address.pop_back();
            return !address.empty();
        },
        limit);
    return address;
}

fs::path WindowProgramTest::data_dir() const {
    return m_dir.path() / "xdg" / "Lanternfold" / "Termiva";
}

Window WindowProgramTest::wait_for_window(std::chrono::milliseconds limit) const {
    Window window = 0;
    wait_until([&] { return (window = find_viewable(display(), "Termiva")) != 0; }, limit);
    return window;
}

void WindowProgramTest::open_tab_by_double_click(Window window, const fs::path& xdotool) {
    ASSERT_TRUE(wait_until([&] { return colours_in(display(), window) >= 8; }, 10s))
        << "the page was never drawn";
    ASSERT_TRUE(settled(window)) << "the page never stopped changing";
    const auto before = sample_pixels(display(), window);
    // The first session's row sits at the top of the list on the left.
    ChildProcess click({xdotool.string(), "mousemove", "--window", std::to_string(window), "120",
                        "110", "click", "--repeat", "2", "--delay", "120", "1"},
                       {"DISPLAY=" + m_xvfb->display()}, m_dir.path() / "xdotool.txt");
    ASSERT_EQ(click.wait_exit(5000), 0) << read_text_file(m_dir.path() / "xdotool.txt");
    ASSERT_TRUE(wait_until(
        [&] { return share_differing(before, sample_pixels(display(), window)) > 0.01; }, 10s))
        << "no tab opened on the double click";
    ASSERT_TRUE(settled(window)) << "the tab never stopped changing (the shell's prompt)";
}

bool WindowProgramTest::settled(Window window) const {
    return wait_until(
        [&] {
            const auto first = sample_pixels(display(), window);
            for (int look = 0; look < 2; ++look) {
                std::this_thread::sleep_for(400ms);
                if (share_differing(first, sample_pixels(display(), window)) >= 0.002) return false;
            }
            return true;
        },
        15s);
}

}  // namespace termiva::testing
