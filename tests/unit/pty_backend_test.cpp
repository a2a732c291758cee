#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <thread>

#include "connect/pty_backend.h"
#include "platform/paths.h"

namespace termiva {
namespace {

std::string login_shell() {
    const passwd* pw = ::getpwuid(::getuid());
    return pw && pw->pw_shell && ::access(pw->pw_shell, X_OK) == 0 ? pw->pw_shell : "/bin/sh";
}

TEST(PtyCommand, ShellNamesMapToInstalledProgramsOrTheLoginShell) {
    using V = std::vector<std::string>;
    EXPECT_EQ(PtyBackend::command_for("cmd", ""), V{login_shell()});
    EXPECT_EQ(PtyBackend::command_for("no-such-shell", ""), V{login_shell()});
    auto sh = platform::find_on_search_path("sh");
    ASSERT_TRUE(sh);
    EXPECT_EQ(PtyBackend::command_for("sh", ""), V{sh->string()});
    // Not installed here: falls back to the login shell rather than failing.
    if (!platform::find_on_search_path("pwsh")) {
        EXPECT_EQ(PtyBackend::command_for("powershell", ""), V{login_shell()});
    }
    EXPECT_EQ(PtyBackend::command_for("custom", "top -b"), (V{"/bin/sh", "-c", "top -b"}));
    EXPECT_EQ(PtyBackend::command_for("custom", ""), V{login_shell()});
}

TEST(PtyBackend, CloseUnblocksAReaderAndIsIdempotent) {
    PtyBackend shell({"custom", "sleep 30", 24, 80, ""});
    shell.connect();
    std::thread closer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        shell.close();
    });
    EXPECT_EQ(shell.recv(4096), "");  // returns once closed, long before the child would end
    closer.join();
    EXPECT_TRUE(shell.is_closed());
    shell.close();
    EXPECT_THROW(shell.send("x"), BackendError);
}

}  // namespace
}  // namespace termiva
