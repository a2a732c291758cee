#include "platform/child_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <system_error>
#include <thread>

#include "platform/linux/child_end.h"

extern char** environ;

namespace termiva::platform {

namespace {

void close_fd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

struct PipePair {
    int fds[2] = {-1, -1};
    PipePair() {
        if (::pipe2(fds, O_CLOEXEC) != 0)
            throw std::system_error(errno, std::generic_category(), "pipe");
    }
    ~PipePair() {
        close_fd(fds[0]);
        close_fd(fds[1]);
    }
    PipePair(const PipePair&) = delete;
    PipePair& operator=(const PipePair&) = delete;
};

struct SpawnSetup {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    SpawnSetup() {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attr);
    }
    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;
};

// A write to a pipe whose reader is gone raises SIGPIPE, which would end the whole
// program: block it for this thread around the write and swallow the one it caused.
ssize_t write_without_sigpipe(int fd, const char* data, std::size_t size) {
    sigset_t pipe_only, old;
    sigemptyset(&pipe_only);
    sigaddset(&pipe_only, SIGPIPE);
    sigset_t pending;
    sigemptyset(&pending);
    ::sigpending(&pending);
    const bool was_pending = sigismember(&pending, SIGPIPE) == 1;
    ::pthread_sigmask(SIG_BLOCK, &pipe_only, &old);
    const ssize_t put = ::write(fd, data, size);
    const int saved = errno;
    if (put < 0 && saved == EPIPE && !was_pending) {
        const timespec zero{0, 0};
        ::sigtimedwait(&pipe_only, nullptr, &zero);
    }
    ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
    errno = saved;
    return put;
}

int exit_code_of(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv) {
    if (argv.empty()) throw std::system_error(EINVAL, std::generic_category(), "no program");
    PipePair in, out, err;
    SpawnSetup setup;
    posix_spawn_file_actions_adddup2(&setup.actions, in.fds[0], 0);
    posix_spawn_file_actions_adddup2(&setup.actions, out.fds[1], 1);
    posix_spawn_file_actions_adddup2(&setup.actions, err.fds[1], 2);
    // A session of its own: no terminal to prompt on, and its id is the group to kill.
    posix_spawnattr_setflags(&setup.attr,
                             POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    sigset_t none, defaults;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&setup.attr, &none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    posix_spawnattr_setsigdefault(&setup.attr, &defaults);

    std::vector<std::string> args = argv;
    std::vector<char*> raw;
    for (auto& a : args)
        raw.push_back(a.data());
    raw.push_back(nullptr);
    const int rc = ::posix_spawnp(&m_pid, raw[0], &setup.actions, &setup.attr, raw.data(), environ);
    if (rc != 0) throw std::system_error(rc, std::generic_category(), argv[0]);
    m_in = in.fds[1];
    in.fds[1] = -1;
    m_out = out.fds[0];
    out.fds[0] = -1;
    m_err = err.fds[0];
    err.fds[0] = -1;
    // Our writes must never block the collecting loop.
    ::fcntl(m_in, F_SETFL, ::fcntl(m_in, F_GETFL) | O_NONBLOCK);
}

ChildProcess::~ChildProcess() {
    close_fd(m_in);
    close_fd(m_out);
    close_fd(m_err);
    int status = 0;
    if (!try_reap(status)) {
        kill_group();
        wait_for_exit(std::chrono::milliseconds(2000));
    }
}

bool ChildProcess::try_reap(int& status) {
    std::lock_guard lock(m_lock);
    if (m_reaped) {
        status = m_status;
        return true;
    }
    const pid_t r = ::waitpid(m_pid, &m_status, WNOHANG);
    if (r == m_pid || (r < 0 && errno == ECHILD)) {
        m_reaped = true;
        status = m_status;
        return true;
    }
    return false;
}

void ChildProcess::kill_group() noexcept {
    std::lock_guard lock(m_lock);
    if (m_reaped || m_pid <= 0) return;
    ::kill(-m_pid, SIGKILL);
    ::kill(m_pid, SIGKILL);  // in case it left its group
}

bool ChildProcess::wait_for_exit(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (!try_reap(status)) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        linux_process::wait_for_end(m_pid, deadline);
    }
    return true;
}

ChildProcess::Outcome ChildProcess::communicate(std::string_view input,
                                                std::chrono::milliseconds limit) {
    Outcome outcome;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::size_t written = 0;
    if (input.empty()) close_fd(m_in);
    char buf[16384];
    while (m_out >= 0 || m_err >= 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) return outcome;
        pollfd fds[3] = {{m_out, POLLIN, 0}, {m_err, POLLIN, 0}, {m_in, POLLOUT, 0}};
        const int n = ::poll(fds, 3, static_cast<int>(left));
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            int& fd = i == 0 ? m_out : m_err;
            if (fd < 0 || fds[i].revents == 0) continue;
            const ssize_t got = ::read(fd, buf, sizeof buf);
            if (got > 0) {
                (i == 0 ? outcome.out : outcome.err).append(buf, static_cast<std::size_t>(got));
            } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
                close_fd(fd);
            }
        }
        if (m_in >= 0 && fds[2].revents != 0) {
            const ssize_t put =
                write_without_sigpipe(m_in, input.data() + written, input.size() - written);
            if (put > 0) written += static_cast<std::size_t>(put);
            // A child that closed its input (EPIPE) has read all it wants.
            if (written == input.size() || (put < 0 && errno != EAGAIN && errno != EINTR))
                close_fd(m_in);
        }
    }
    close_fd(m_in);
    int status = 0;
    while (!try_reap(status)) {
        if (std::chrono::steady_clock::now() >= deadline) return outcome;
        linux_process::wait_for_end(m_pid, deadline);
    }
    outcome.finished = true;
    outcome.exit_code = exit_code_of(status);
    return outcome;
}

bool takes_line_breaks_in_arguments(const std::string&) {
    return true;  // execve hands each argument over as it is
}

std::vector<pid_t> processes_in_group(pid_t pgid) {
    std::vector<pid_t> found;
    DIR* proc = ::opendir("/proc");
    if (!proc) return found;
    while (dirent* entry = ::readdir(proc)) {
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (!end || *end != '\0' || pid <= 0) continue;
        std::ifstream stat("/proc/" + std::string(entry->d_name) + "/stat");
        std::string line;
        if (!std::getline(stat, line)) continue;
        // Fields after the command name (in parentheses, may hold blanks): state ppid pgrp.
        const auto close = line.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream rest(line.substr(close + 1));
        std::string state;
        long ppid = 0, pgrp = 0;
        rest >> state >> ppid >> pgrp;
        if (pgrp == pgid && state != "Z") found.push_back(static_cast<pid_t>(pid));
    }
    ::closedir(proc);
    return found;
}

}  // namespace termiva::platform
