// Child processes on Windows: arguments arrive as they were given, to programs and to
// batch files (where cmd.exe would otherwise expand or run parts of them), output and exit
// codes come back, and a time-out or a kill ends the child and what it started.
#include <gtest/gtest.h>
#include <windows.h>

#include <shellapi.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/child_process.h"
#include "platform/utf8_path.h"
#include "platform/windows/command_line.h"
#include "platform/windows/wide_text.h"
#include "unit/windows_test_support.h"

namespace termiva {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using platform::windows::batch_command_line;
using platform::windows::program_command_line;
using platform::windows::quote_argument;
using platform::windows::to_utf16;
using platform::windows::to_utf8;

std::vector<std::wstring> split_by_runtime(const std::wstring& line) {
    int count = 0;
    wchar_t** parts = ::CommandLineToArgvW(line.c_str(), &count);
    std::vector<std::wstring> out(parts, parts + count);
    ::LocalFree(parts);
    return out;
}

// This test program doubles as the child: with TERMIVA_TEST_CHILD set it does what the
// variable says before any test runs, and exits.
const int kChildRole = [] {
    wchar_t role[32] = {};
    if (::GetEnvironmentVariableW(L"TERMIVA_TEST_CHILD", role, 32) == 0) return 0;
    ::SetEnvironmentVariableW(L"TERMIVA_TEST_CHILD", nullptr);
    HANDLE in = ::GetStdHandle(STD_INPUT_HANDLE), out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD n = 0;
    if (std::wstring(role) == L"args") {
        // Each argument after the program on a line of its own, as UTF-8.
        const auto args = split_by_runtime(::GetCommandLineW());
        for (std::size_t i = 1; i < args.size(); ++i) {
            const std::string line = to_utf8(args[i]) + "\n";
            ::WriteFile(out, line.data(), static_cast<DWORD>(line.size()), &n, nullptr);
        }
        std::_Exit(0);
    }
    if (std::wstring(role) == L"echo") {
        char buf[4096];
        while (::ReadFile(in, buf, sizeof buf, &n, nullptr) && n > 0) {
            DWORD put = 0;
            ::WriteFile(out, buf, n, &put, nullptr);
        }
        ::WriteFile(::GetStdHandle(STD_ERROR_HANDLE), "done", 4, &n, nullptr);
        std::_Exit(7);
    }
    if (std::wstring(role) == L"tree") {
        // Starts a grandchild that sleeps, then sleeps itself.
        wchar_t self[MAX_PATH];
        ::GetModuleFileNameW(nullptr, self, MAX_PATH);
        ::SetEnvironmentVariableW(L"TERMIVA_TEST_CHILD", L"sleep");
        STARTUPINFOW si{};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi{};
        std::wstring line = L"child";
        ::CreateProcessW(self, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi);
        const std::string started = "started " + std::to_string(pi.dwProcessId) + "\n";
        ::WriteFile(out, started.data(), static_cast<DWORD>(started.size()), &n, nullptr);
        ::Sleep(60000);
        std::_Exit(0);
    }
    ::Sleep(60000);
    std::_Exit(0);
}();

fs::path self_path() {
    wchar_t self[MAX_PATH];
    const DWORD n = ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    return fs::path(std::wstring(self, n));
}

struct Role {
    explicit Role(const wchar_t* role) { ::SetEnvironmentVariableW(L"TERMIVA_TEST_CHILD", role); }
    ~Role() { ::SetEnvironmentVariableW(L"TERMIVA_TEST_CHILD", nullptr); }
};

const std::vector<std::wstring> kAwkwardArguments = {
    L"plain",
    L"",
    L"two words",
    L"tab\there",
    L"quote\"inside",
    L"\"quoted\"",
    L"trailing\\",
    L"trailing space \\",
    L"back\\\\\"slash-quote",
    L"C:\\Program Files\\x\\",
    L"\\\\server\\share",
    L"%PATH%",
    L"a&echo injected",
    L"pipe|more",
    L"<in >out",
    L"caret^",
    L"(paren)",
    L"!bang!",
    L"\u683c\u5f0f\u7bc4\u672c",
};

TEST(WindowsCommandLine, TheRuntimeSplitsItBackIntoTheArguments) {
    EXPECT_EQ(quote_argument(L"plain"), L"plain");
    EXPECT_EQ(quote_argument(L""), L"\"\"");
    EXPECT_EQ(quote_argument(L"a b\\"), L"\"a b\\\\\"");
    EXPECT_EQ(quote_argument(L"a\\\"b"), L"\"a\\\\\\\"b\"");
    std::vector<std::wstring> argv{L"C:\\Program Files\\app.exe"};
    argv.insert(argv.end(), kAwkwardArguments.begin(), kAwkwardArguments.end());
    EXPECT_EQ(split_by_runtime(program_command_line(argv)), argv);
}

TEST(WindowsCommandLine, BatchArgumentsCannotBreakOutOfTheirQuotes) {
    const std::wstring line = batch_command_line({L"C:\\t\\run.cmd", L"a&b", L"%PATH%", L"x\"y"});
    EXPECT_EQ(line, L"\"\"C:\\t\\run.cmd\" \"a&b\" \"%%cd:~,%PATH%%cd:~,%\" \"x\"\"y\"\"");
    // Between the outer quotes, every quote of ours comes in a pair: cmd.exe sees & | < >
    // only inside quotes.
    std::size_t quotes = 0;
    for (wchar_t c : line)
        quotes += c == L'"';
    EXPECT_EQ(quotes % 2, 0u);
    EXPECT_THROW(batch_command_line({L"run.cmd", L"line\nbreak"}),
                 platform::windows::UnsafeArgument);
    EXPECT_THROW(batch_command_line({L"run.cmd", std::wstring(L"nul\0x", 5)}),
                 platform::windows::UnsafeArgument);
    EXPECT_TRUE(platform::windows::is_batch_file(L"C:\\npm\\claude.CMD"));
    EXPECT_TRUE(platform::windows::is_batch_file(L"x.bat"));
    EXPECT_FALSE(platform::windows::is_batch_file(L"claude.exe"));
    EXPECT_FALSE(platform::windows::is_batch_file(L"cmd"));
}

TEST(WindowsChildProcess, ArgumentsReachAProgramUnchanged) {
    Role role(L"args");
    std::vector<std::string> argv{platform::path_to_utf8(self_path())};
    for (const auto& a : kAwkwardArguments)
        argv.push_back(to_utf8(a));
    platform::ChildProcess child(argv);
    const auto outcome = child.communicate("", 20s);
    ASSERT_TRUE(outcome.finished);
    EXPECT_EQ(outcome.exit_code, 0);
    std::string expected;
    for (const auto& a : kAwkwardArguments)
        expected += to_utf8(a) + "\n";
    EXPECT_EQ(outcome.out, expected);
}

TEST(WindowsChildProcess, ArgumentsReachABatchFileWithoutRunningAnything) {
    wchar_t temp[MAX_PATH + 1];
    ASSERT_GT(::GetTempPathW(MAX_PATH + 1, temp), 0u);
    const fs::path dir =
        fs::path(temp) / (L"termiva-cmd-" + std::to_wstring(::GetCurrentProcessId()));
    fs::create_directories(dir);
    // As npm's claude.cmd does: hand every argument on to a program.
    const fs::path script = dir / L"forward args.cmd";
    const fs::path marker = dir / L"injected";
    {
        std::ofstream out(script, std::ios::binary);
        out << "@\"" << platform::path_to_utf8(self_path()) << "\" %*\r\n";
    }
    const std::vector<std::string> args{"two words", "a&b|c<d>e^f(g)!h!",
                                        "x&echo pwned>" + platform::path_to_utf8(marker), "dir\\",
                                        ""};
    std::vector<std::string> argv{platform::path_to_utf8(script)};
    argv.insert(argv.end(), args.begin(), args.end());
    Role role(L"args");
    platform::ChildProcess child(argv);
    const auto outcome = child.communicate("", 30s);
    ASSERT_TRUE(outcome.finished) << outcome.out << outcome.err;
    EXPECT_EQ(outcome.exit_code, 0) << outcome.err;
    std::string expected;
    for (const auto& a : args)
        expected += a + "\n";
    EXPECT_EQ(outcome.out, expected) << outcome.err;
    EXPECT_FALSE(fs::exists(marker));
    EXPECT_THROW(platform::ChildProcess({platform::path_to_utf8(script), "a\nb"}),
                 std::system_error);
    fs::remove_all(dir);
}

TEST(WindowsChildProcess, PercentSignsReachABatchFileUnexpanded) {
    if (!test::wine_version().empty())
        GTEST_SKIP() << "Wine's cmd.exe expands %NAME% again inside a batch file's own "
                        "%1 and %*, which Windows does not; the command line itself is "
                        "checked in BatchArgumentsCannotBreakOutOfTheirQuotes";
    wchar_t temp[MAX_PATH + 1];
    ASSERT_GT(::GetTempPathW(MAX_PATH + 1, temp), 0u);
    const fs::path script =
        fs::path(temp) / (L"termiva-pct-" + std::to_wstring(::GetCurrentProcessId()) + L".cmd");
    {
        std::ofstream out(script, std::ios::binary);
        out << "@\"" << platform::path_to_utf8(self_path()) << "\" %*\r\n";
    }
    Role role(L"args");
    platform::ChildProcess child({platform::path_to_utf8(script), "%PATH%", "100%", "%%"});
    const auto outcome = child.communicate("", 30s);
    fs::remove(script);
    ASSERT_TRUE(outcome.finished);
    EXPECT_EQ(outcome.out, "%PATH%\n100%\n%%\n");
}

TEST(WindowsChildProcess, InputOutputErrorAndExitCodeComeBack) {
    Role role(L"echo");
    platform::ChildProcess child({platform::path_to_utf8(self_path())});
    // More than a pipe holds: the writes and reads must interleave.
    std::string input(300000, 'x');
    for (std::size_t i = 0; i < input.size(); i += 997)
        input[i] = static_cast<char>('a' + i % 26);
    const auto outcome = child.communicate(input, 30s);
    ASSERT_TRUE(outcome.finished);
    EXPECT_EQ(outcome.exit_code, 7);
    EXPECT_EQ(outcome.out, input);
    EXPECT_EQ(outcome.err, "done");
}

TEST(WindowsChildProcess, ATimeOutLeavesItRunningAndAKillEndsTheTree) {
    Role role(L"tree");
    platform::ChildProcess child({platform::path_to_utf8(self_path())});
    const auto started = std::chrono::steady_clock::now();
    const auto outcome = child.communicate("", 3s);
    EXPECT_FALSE(outcome.finished);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 20s);
    ASSERT_EQ(outcome.out.rfind("started ", 0), 0u) << outcome.out;
    const pid_t grandchild = static_cast<pid_t>(std::stol(outcome.out.substr(8)));
    const std::vector<pid_t> members = platform::processes_in_group(child.pid());
    EXPECT_NE(std::find(members.begin(), members.end(), child.pid()), members.end());
    EXPECT_NE(std::find(members.begin(), members.end(), grandchild), members.end())
        << "the grandchild is in the job";
    std::thread killer([&] { child.kill_group(); });
    killer.join();
    EXPECT_TRUE(child.wait_for_exit(10s));
    for (pid_t pid : members) {
        HANDLE h = ::OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
        if (!h) continue;  // already gone
        EXPECT_EQ(::WaitForSingleObject(h, 10000), WAIT_OBJECT_0) << "process " << pid;
        ::CloseHandle(h);
    }
    child.kill_group();  // again, after the end: harmless
}

TEST(WindowsChildProcess, AMissingProgramIsAnError) {
    EXPECT_THROW(platform::ChildProcess({"termiva-no-such-program"}), std::system_error);
    EXPECT_THROW(platform::ChildProcess({"C:\\no\\such\\program.exe"}), std::system_error);
    EXPECT_THROW(platform::ChildProcess(std::vector<std::string>{}), std::system_error);
}

}  // namespace
}  // namespace termiva
