// The pseudo-console shell: cmd.exe runs on it, typed commands reach it and its output
// comes back, and closing it ends the shell and a program the shell started.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <future>
#include <thread>

#include "platform/windows/pseudo_console.h"
#include "unit/windows_test_support.h"

namespace termiva::platform::windows {
namespace {

using namespace std::chrono_literals;

// Reads until `text` shows up or 20 s pass (reads run on a thread of their own: a read
// blocks until output comes).
bool read_until(PseudoConsole& console, const std::string& text, std::string& seen) {
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (seen.find(text) == std::string::npos) {
        auto chunk = std::async(std::launch::async, [&] { return console.read(4096); });
        if (chunk.wait_until(deadline) != std::future_status::ready) {
            console.close();  // unblocks the read so the future can end
            chunk.wait();
            return false;
        }
        const std::string got = chunk.get();
        if (got.empty()) return seen.find(text) != std::string::npos;
        seen += got;
    }
    return true;
}

TEST(WindowsPseudoConsole, ShellChoices) {
    EXPECT_EQ(console_shell_command("cmd", ""), (std::vector<std::string>{"cmd.exe"}));
    EXPECT_EQ(console_shell_command("powershell", "x")[0], "powershell.exe");
    EXPECT_EQ(console_shell_command("custom", "dir /b"),
              (std::vector<std::string>{"cmd.exe", "/d", "/c", "dir /b"}));
    EXPECT_EQ(console_shell_command("custom", ""), (std::vector<std::string>{"cmd.exe"}));
}

TEST(WindowsPseudoConsole, TypedCommandsRunAndTheirOutputComesBack) {
    if (!test::wine_version().empty())
        GTEST_SKIP() << "Wine routes a pseudo-console child's output to the parent's own "
                        "standard output (a pipe or a file) instead of the console's pipe";
    PseudoConsole console({console_shell_command("cmd", ""), {}, 24, 80});
    ASSERT_TRUE(console.write("echo termiva-%OS%-ok\r"));
    std::string seen;
    EXPECT_TRUE(read_until(console, "termiva-Windows_NT-ok", seen)) << seen;
    EXPECT_TRUE(console.resize(30, 100));
}

TEST(WindowsPseudoConsole, ClosingEndsTheShellAndWakesTheReader) {
    PseudoConsole console({console_shell_command("cmd", ""), {}, 24, 80});
    EXPECT_TRUE(console.running());
    HANDLE process = ::OpenProcess(SYNCHRONIZE, FALSE, console.process_id());
    ASSERT_NE(process, nullptr);
    // A reader blocked on the console's output returns once the console is closed.
    auto reader = std::async(std::launch::async, [&] {
        while (!console.read(4096).empty()) {
        }
    });
    std::this_thread::sleep_for(500ms);
    console.close();
    EXPECT_EQ(::WaitForSingleObject(process, 10000), WAIT_OBJECT_0);
    ::CloseHandle(process);
    EXPECT_EQ(reader.wait_for(10s), std::future_status::ready);
    EXPECT_FALSE(console.running());
    EXPECT_FALSE(console.write("x"));
    EXPECT_EQ(console.read(10), "");
    console.close();  // again: harmless
}

TEST(WindowsPseudoConsole, AMissingProgramIsAnError) {
    EXPECT_THROW(PseudoConsole({{"termiva-no-such-shell"}, {}, 24, 80}), std::system_error);
}

}  // namespace
}  // namespace termiva::platform::windows
