// Running a helper program (the key converter) with captured output and a time limit.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "app/starters/ssh_support.h"

extern char** environ;

namespace termiva {
namespace {

class Pipe {
public:
    Pipe() {
        if (::pipe2(m_fds, O_CLOEXEC) != 0) throw std::runtime_error(std::strerror(errno));
    }
    ~Pipe() {
        close_read();
        close_write();
    }
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;
    int read_end() const { return m_fds[0]; }
    int write_end() const { return m_fds[1]; }
    void close_read() { close_fd(m_fds[0]); }
    void close_write() { close_fd(m_fds[1]); }

private:
    static void close_fd(int& fd) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
    int m_fds[2] = {-1, -1};
};

class SpawnActions {
public:
    SpawnActions() { posix_spawn_file_actions_init(&m_actions); }
    ~SpawnActions() { posix_spawn_file_actions_destroy(&m_actions); }
    SpawnActions(const SpawnActions&) = delete;
    SpawnActions& operator=(const SpawnActions&) = delete;
    posix_spawn_file_actions_t* get() { return &m_actions; }

private:
    posix_spawn_file_actions_t m_actions;
};

class SpawnAttributes {
public:
    SpawnAttributes() { posix_spawnattr_init(&m_attr); }
    ~SpawnAttributes() { posix_spawnattr_destroy(&m_attr); }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;
    posix_spawnattr_t* get() { return &m_attr; }

private:
    posix_spawnattr_t m_attr;
};

}  // namespace

ProcessResult run_with_time_limit(const std::vector<std::string>& argv,
                                  std::chrono::milliseconds limit) {
    if (argv.empty()) throw std::runtime_error("no program given");
    Pipe out, err;
    SpawnActions actions;
    posix_spawn_file_actions_addopen(actions.get(), 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(actions.get(), out.write_end(), 1);
    posix_spawn_file_actions_adddup2(actions.get(), err.write_end(), 2);
    SpawnAttributes attributes;
    // A session of its own: no terminal to ask a passphrase on, so it cannot hang there.
    // Broken pipes end it as they would anywhere else (this program ignores them).
    posix_spawnattr_setflags(attributes.get(), POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGDEF);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(attributes.get(), &defaults);

    std::vector<std::string> args = argv;
    std::vector<char*> raw;
    for (auto& arg : args)
        raw.push_back(arg.data());
    raw.push_back(nullptr);
    pid_t pid = -1;
    const int rc =
        ::posix_spawn(&pid, raw[0], actions.get(), attributes.get(), raw.data(), environ);
    if (rc != 0) throw std::runtime_error(args[0] + ": " + std::strerror(rc));
    out.close_write();
    err.close_write();

    ProcessResult result;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    bool out_open = true, err_open = true, timed_out = false;
    while (out_open || err_open) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) {
            timed_out = true;
            break;
        }
        pollfd fds[2] = {{out_open ? out.read_end() : -1, POLLIN, 0},
                         {err_open ? err.read_end() : -1, POLLIN, 0}};
        const int n = ::poll(fds, 2, static_cast<int>(left));
        if (n < 0 && errno != EINTR) break;
        char buf[4096];
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            const ssize_t got = ::read(fds[i].fd, buf, sizeof buf);
            if (got > 0) {
                (i == 0 ? result.out : result.err).append(buf, static_cast<std::size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                (i == 0 ? out_open : err_open) = false;
            }
        }
    }
    int status = 0;
    while (!timed_out && ::waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            timed_out = true;
            break;
        }
        ::usleep(10 * 1000);
    }
    if (timed_out) {
        ::kill(-pid, SIGKILL);  // its whole session: helpers it started go too
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        throw std::runtime_error("timed out after " + std::to_string(limit.count() / 1000) +
                                 " seconds");
    }
    result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

}  // namespace termiva
