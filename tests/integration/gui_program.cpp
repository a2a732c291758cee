#include "integration/gui_program.h"

#include <fstream>
#include <sstream>

namespace termiva::testing {

namespace fs = std::filesystem;

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

}  // namespace termiva::testing
