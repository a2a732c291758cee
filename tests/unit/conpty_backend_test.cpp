// The local shell tab's backend on Windows: the shell a session names starts on a pseudo
// console, a size the system cannot apply leaves the tab working, and closing the tab from
// another thread frees a blocked read and ends the shell.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "connect/conpty_backend.h"
#include "platform/paths.h"
#include "unit/windows_test_support.h"

namespace termiva {
namespace {

using namespace std::chrono_literals;

// Whatever arrives until `text` shows up, the stream ends, or 20 s pass.
std::string read_until(ConptyBackend& backend, const std::string& text) {
    auto reading = std::async(std::launch::async, [&] {
        std::string seen;
        while (seen.find(text) == std::string::npos) {
            const std::string chunk = backend.recv(4096);
            if (chunk.empty()) break;
            seen += chunk;
        }
        return seen;
    });
    if (reading.wait_for(20s) != std::future_status::ready) {
        backend.close();  // frees the reader so the test ends
        ADD_FAILURE() << "\"" << text << "\" did not arrive within 20 s";
    }
    return reading.get();
}

bool process_ends(unsigned long pid, DWORD limit_ms) {
    HANDLE process = ::OpenProcess(SYNCHRONIZE, FALSE, pid);
    if (!process) return true;  // gone already
    const bool ended = ::WaitForSingleObject(process, limit_ms) == WAIT_OBJECT_0;
    ::CloseHandle(process);
    return ended;
}

TEST(ConptyBackend, ShellNamesBecomeCommandLines) {
    EXPECT_EQ(ConptyBackend::command_for("cmd", ""), (std::vector<std::string>{"cmd.exe"}));
    EXPECT_EQ(ConptyBackend::command_for("bash", ""), (std::vector<std::string>{"cmd.exe"}));
    EXPECT_EQ(ConptyBackend::command_for("powershell", "")[0], "powershell.exe");
    EXPECT_EQ(ConptyBackend::command_for("custom", "dir /b"),
              (std::vector<std::string>{"cmd.exe", "/d", "/s", "/c", "dir /b"}));
    // PowerShell 7 where it is installed, Windows PowerShell where it is not.
    const bool has_pwsh = platform::find_on_search_path("pwsh").has_value();
    EXPECT_EQ(ConptyBackend::command_for("pwsh", "")[0], has_pwsh ? "pwsh.exe" : "powershell.exe");
}

TEST(ConptyBackend, ASizeTheSystemCannotApplyLeavesTheTabWorking) {
    ConptyBackend backend({"cmd", "", 24, 80, ""});
    backend.connect();
    ASSERT_NE(backend.child_pid(), 0u);
    backend.resize(30, 100);
    backend.resize(40, 120);
    if (!test::wine_version().empty()) {
        // Wine answers ResizePseudoConsole with E_NOTIMPL.
        EXPECT_FALSE(backend.takes_size());
    } else {
        EXPECT_TRUE(backend.takes_size());
    }
    EXPECT_FALSE(backend.is_closed());
    EXPECT_NO_THROW(backend.send("rem still here\r"));
    backend.close();
}

TEST(ConptyBackend, ClosingFromAnotherThreadFreesTheReaderAndEndsTheShell) {
    ConptyBackend backend({"cmd", "", 24, 80, "C:\\no such folder"});
    backend.connect();  // a missing working folder falls back to the profile folder
    const unsigned long pid = backend.child_pid();
    ASSERT_NE(pid, 0u);
    auto reader = std::async(std::launch::async, [&] {
        while (!backend.recv(4096).empty()) {
        }
    });
    std::this_thread::sleep_for(300ms);
    backend.close();
    EXPECT_EQ(reader.wait_for(10s), std::future_status::ready);
    EXPECT_TRUE(process_ends(pid, 10000));
    EXPECT_TRUE(backend.is_closed());
    EXPECT_THROW(backend.send("x"), BackendError);
    EXPECT_EQ(backend.recv(10), "");
    backend.close();  // again: harmless
    EXPECT_THROW(backend.connect(), BackendError);
}

TEST(ConptyBackend, AShellThatExitsEndsTheStream) {
    // Left alone, a pseudo console outlives its program and its output pipe never ends.
    ConptyBackend backend({"custom", "exit 3", 24, 80, ""});
    backend.connect();
    auto reader = std::async(std::launch::async, [&] {
        while (!backend.recv(4096).empty()) {
        }
    });
    if (reader.wait_for(20s) != std::future_status::ready) {
        backend.close();  // frees the reader so the test ends
        FAIL() << "the stream did not end when the shell exited";
    }
    EXPECT_TRUE(backend.is_closed());
    EXPECT_THROW(backend.send("x"), BackendError);
}

TEST(ConptyBackend, TypedCommandsRunAndTheirOutputComesBack) {
    if (!test::wine_version().empty())
        GTEST_SKIP()
            << "Wine gives a pseudo console's program started with STARTF_USESTDHANDLES and no "
               "handles no standard input or output at all (cmd.exe reads nothing and "
               "ends at once)";
    ConptyBackend backend({"cmd", "", 24, 80, ""});
    backend.connect();
    backend.send("echo termiva-%OS%-ok\r");
    EXPECT_NE(read_until(backend, "termiva-Windows_NT-ok").find("termiva-Windows_NT-ok"),
              std::string::npos);
    backend.send("exit\r");
    read_until(backend, "\x01never");  // returns when the stream ends
    EXPECT_TRUE(backend.is_closed());
}

}  // namespace
}  // namespace termiva
