#include "platform/desktop_opener.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <thread>
#include <vector>

#include "platform/linux/child_end.h"
#include "platform/log.h"
#include "platform/paths.h"

extern char** environ;

namespace termiva::platform {

namespace {

class SpawnSetup {
public:
    SpawnSetup() {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attributes);
    }
    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
};

std::string exit_text(int status) {
    if (WIFEXITED(status)) return "exit status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return "signal " + std::to_string(WTERMSIG(status));
    return "status " + std::to_string(status);
}

}  // namespace

bool run_desktop_opener(const std::string& url, std::chrono::milliseconds wait) {
    const auto opener = find_on_search_path("xdg-open");
    if (!opener) {
        log::warn("open_url", "xdg-open not found on the search path (package xdg-utils)");
        return false;
    }
    SpawnSetup setup;
    posix_spawn_file_actions_addopen(&setup.actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&setup.actions, 1, "/dev/null", O_WRONLY, 0);
    // A session of its own: the browser it starts outlives us and ignores our terminal;
    // the signals we block or ignore are not the browser's business.
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigmask(&setup.attributes, &none);
    posix_spawnattr_setsigdefault(&setup.attributes, &defaults);
    posix_spawnattr_setflags(&setup.attributes,
                             POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::string program = opener->string();
    std::string address = url;
    char* argv[] = {program.data(), address.data(), nullptr};
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, argv[0], &setup.actions, &setup.attributes, argv, environ);
    if (rc != 0) {
        log::warn("open_url", program + ": " + std::strerror(rc));
        return false;
    }

    const auto deadline = std::chrono::steady_clock::now() + wait;
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
            log::warn("open_url", "xdg-open failed (" + exit_text(status) + ")");
            return false;
        }
        if (done < 0 && errno != EINTR) {
            log::warn("open_url", std::string("waiting for xdg-open: ") + std::strerror(errno));
            return true;  // it started; we only lost sight of it
        }
        if (std::chrono::steady_clock::now() >= deadline) break;
        linux_process::wait_for_end(pid, deadline);
    }
    // Still busy (some openers stay until the browser is up): asked all the same. Its end
    // is collected without anyone waiting for it.
    std::thread([pid] {
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }).detach();
    return true;
}

}  // namespace termiva::platform
