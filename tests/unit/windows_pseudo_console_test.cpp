// The pseudo-console shell: cmd.exe runs on it, typed commands reach it and its output
// comes back, and closing it ends the shell and a program the shell started.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <thread>

#include "platform/windows/command_line.h"
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
              (std::vector<std::string>{"cmd.exe", "/d", "/s", "/c", "dir /b"}));
    EXPECT_EQ(console_shell_command("custom", ""), (std::vector<std::string>{"cmd.exe"}));
}

TEST(WindowsPseudoConsole, ACustomCommandReachesCmdAsTyped) {
    // cmd.exe has no \" escape: its command goes verbatim in the quotes /s removes.
    EXPECT_EQ(
        console_command_line({L"C:\\W\\System32\\cmd.exe", L"/d", L"/s", L"/c",
                              L"\"C:\\Program Files\\x.exe\" -a \"b c\" > \"o.txt\" & echo %OS%"}),
        L"C:\\W\\System32\\cmd.exe /d /s /c "
        L"\"\"C:\\Program Files\\x.exe\" -a \"b c\" > \"o.txt\" & echo %OS%\"");
    EXPECT_EQ(console_command_line({L"CMD.EXE", L"/D", L"/S", L"/C", L"echo \"a\""}),
              L"CMD.EXE /D /S /C \"echo \"a\"\"");
    // A folder with a space in cmd.exe's own path is quoted for the runtime as before.
    EXPECT_EQ(console_command_line({L"C:\\Win Dir\\cmd.exe", L"/d", L"/s", L"/c", L"dir"}),
              L"\"C:\\Win Dir\\cmd.exe\" /d /s /c \"dir\"");
    // Other programs, and cmd.exe without a command, keep the runtime's quoting.
    EXPECT_EQ(console_command_line({L"C:\\ps\\powershell.exe", L"-Command", L"say \"hi\""}),
              L"C:\\ps\\powershell.exe -Command \"say \\\"hi\\\"\"");
    EXPECT_EQ(console_command_line({L"C:\\W\\cmd.exe"}), L"C:\\W\\cmd.exe");
    EXPECT_EQ(console_command_line({L"C:\\W\\notcmd.exe", L"/c", L"a \"b\""}),
              L"C:\\W\\notcmd.exe /c \"a \\\"b\\\"\"");
    // cmd.exe would run only what comes before a line break.
    EXPECT_THROW(console_command_line({L"cmd.exe", L"/d", L"/s", L"/c", L"echo a\r\ndel x"}),
                 UnsafeArgument);
}

TEST(WindowsPseudoConsole, ACustomCommandWithQuotesRunsAsTyped) {
    const std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                      ("termiva-cc-" + std::to_string(::GetCurrentProcessId()));
    std::filesystem::create_directories(dir);
    const auto out = dir / "out put.txt";
    {
        // Redirected to a file: under Wine the program has no console output.
        PseudoConsole console(
            {console_shell_command("custom", "echo \"a & b\">\"out put.txt\""), dir, 24, 80});
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (!std::filesystem::exists(out) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(100ms);
        std::this_thread::sleep_for(200ms);  // the write after the file's creation
    }
    std::ifstream in(out, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    in.close();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    EXPECT_EQ(text, "\"a & b\"\r\n");
}

TEST(WindowsPseudoConsole, TypedCommandsRunAndTheirOutputComesBack) {
    if (!test::wine_version().empty())
        GTEST_SKIP()
            << "Wine gives a pseudo console's program started with STARTF_USESTDHANDLES and no "
               "handles no standard input or output at all (cmd.exe reads nothing and "
               "ends at once)";
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
