// The window program under its own X server and session bus, as the window tests start it.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "integration/gui_x11.h"
#include "integration/gui_xvfb.h"

namespace termiva::testing {

std::string read_text_file(const std::filesystem::path& file);
void write_text_file(const std::filesystem::path& file, const std::string& text);

class WindowProgramTest : public ::testing::Test {
protected:
    static const std::filesystem::path PROGRAM;

    void SetUp() override;

    // Starts `program` in a fresh session bus with its data under the test's folder.
    std::unique_ptr<ChildProcess> start(const std::filesystem::path& program);
    // Starts `program` again, on the bus at `address`, writing to `output`.
    std::unique_ptr<ChildProcess> start_on_bus(const std::filesystem::path& program,
                                               const std::string& address,
                                               const std::filesystem::path& output);
    // The session bus address of the last start, once the bus is up (empty if it never came).
    std::string bus_address(std::chrono::milliseconds limit) const;

    std::filesystem::path data_dir() const;
    std::filesystem::path output_file() const { return m_dir.path() / "output.txt"; }
    std::string output() const { return read_text_file(output_file()); }
    Display* display() const { return m_display.get(); }
    // The program's window titled "Termiva" once it is visible, or 0.
    Window wait_for_window(std::chrono::milliseconds limit) const;
    // Opens the first saved session in a tab as the user does, with a double click on it
    // in the list, and waits until `window` shows more than before (the tab and its shell).
    void open_tab_by_double_click(Window window, const std::filesystem::path& xdotool);
    // Waits until three looks at `window` 0.4 s apart agree, up to the blinking cursor:
    // what was drawing (the page, a prompt) has been drawn.
    bool settled(Window window) const;

    TempDir m_dir;
    std::filesystem::path m_dbus;
    std::unique_ptr<XvfbServer> m_xvfb;
    DisplayPtr m_display;
};

}  // namespace termiva::testing
