#include <dirent.h>
#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <system_error>
#include <thread>

#include "platform/linux/child_end.h"
#include "platform/pty_process.h"

namespace termiva::platform {

namespace {

void child_exec(const PtySpawn& spawn) {
    // Runs in the forked child: only async-signal-safe work until exec would be ideal,
    // but the parent is multi-threaded only in ways that do not hold these locks.
    if (!spawn.working_dir.empty()) {
        if (::chdir(spawn.working_dir.c_str()) != 0) {
            const char* home = std::getenv("HOME");
            if (home) (void)::chdir(home);
        }
    }
    for (const auto& [k, v] : spawn.env)
        ::setenv(k.c_str(), v.c_str(), 1);
    signal(SIGPIPE, SIG_DFL);
    signal(SIGINT, SIG_DFL);
    signal(SIGHUP, SIG_DFL);
    std::vector<char*> argv;
    for (const auto& a : spawn.argv)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execvp(argv[0], argv.data());
    std::fprintf(stderr, "cannot run %s: %s\r\n", argv[0], std::strerror(errno));
    std::fflush(stderr);
    ::_exit(127);
}

void signal_session(pid_t sid, int sig) {
    for (pid_t p : processes_in_session(sid))
        ::kill(p, sig);
}

// Sweeps of the session a close makes at most (about a second in all).
constexpr int MAX_KILL_SWEEPS = 100;

// A process that forks and lets its parent exit, again and again, is somewhere else by
// the time one look at /proc has been acted on: sweep until a look finds nobody left. Each
// sweep kills whole process groups too, which a fork in progress cannot slip out of.
// Bounded; what a sweep finds are never our own processes (they are in another session,
// and so are their groups).
void kill_session(pid_t sid) {
    for (int sweep = 0; sweep < MAX_KILL_SWEEPS; ++sweep) {
        const std::vector<pid_t> left = processes_in_session(sid);
        if (left.empty()) return;
        for (pid_t p : left) {
            const pid_t group = ::getpgid(p);
            if (group > 1) ::kill(-group, SIGKILL);
            ::kill(p, SIGKILL);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

}  // namespace

std::vector<pid_t> processes_in_session(pid_t sid) {
    std::vector<pid_t> out;
    DIR* dir = ::opendir("/proc");
    if (!dir) return out;
    while (dirent* e = ::readdir(dir)) {
        char* end = nullptr;
        long pid = std::strtol(e->d_name, &end, 10);
        if (pid <= 0 || *end != '\0') continue;
        std::ifstream stat(std::string("/proc/") + e->d_name + "/stat");
        std::string line;
        if (!std::getline(stat, line)) continue;
        // The command name may hold spaces and parentheses: fields start after the last ')'.
        auto close_paren = line.rfind(')');
        if (close_paren == std::string::npos) continue;
        char state = 0;
        long ppid = 0, pgrp = 0, session = 0;
        if (std::sscanf(line.c_str() + close_paren + 1, " %c %ld %ld %ld", &state, &ppid, &pgrp,
                        &session) != 4) {
            continue;
        }
        if (session == sid && state != 'Z') out.push_back(static_cast<pid_t>(pid));
    }
    ::closedir(dir);
    return out;
}

PtyProcess::PtyProcess(const PtySpawn& spawn) {
    if (spawn.argv.empty()) throw std::invalid_argument("no program to start");
    winsize ws{};
    ws.ws_row = static_cast<unsigned short>(spawn.rows);
    ws.ws_col = static_cast<unsigned short>(spawn.cols);
    int master = -1;
    pid_t pid = ::forkpty(&master, nullptr, nullptr, &ws);
    if (pid < 0) throw std::system_error(errno, std::generic_category(), "forkpty");
    if (pid == 0) child_exec(spawn);
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    // Readers wait with poll() so that closing the tab can wake them.
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    m_master = master;
    m_pid = pid;
}

PtyProcess::~PtyProcess() {
    terminate();
    if (m_master >= 0) ::close(m_master);
}

void PtyProcess::set_size(int rows, int cols) {
    winsize ws{};
    ws.ws_row = static_cast<unsigned short>(rows);
    ws.ws_col = static_cast<unsigned short>(cols);
    if (m_master >= 0 && ::ioctl(m_master, TIOCSWINSZ, &ws) != 0) {
        throw std::system_error(errno, std::generic_category(), "TIOCSWINSZ");
    }
}

void PtyProcess::terminate() {
    if (m_pid > 0 && !m_reaped) {
        // forkpty made the child a session leader, so its session id is its pid; jobs the
        // shell started in other process groups are still in that session.
        signal_session(m_pid, SIGHUP);
        ::kill(-m_pid, SIGHUP);
        using namespace std::chrono;
        auto deadline = steady_clock::now() + milliseconds(500);
        int status = 0;
        while (steady_clock::now() < deadline) {
            pid_t r = ::waitpid(m_pid, &status, WNOHANG);
            if (r == m_pid || (r < 0 && errno == ECHILD)) {
                m_reaped = true;
                break;
            }
            linux_process::wait_for_end(m_pid, deadline);
        }
        // Whatever ignored the hang-up is killed; children of the session that outlived the
        // leader are re-parented to init, which reaps them.
        kill_session(m_pid);
        if (!m_reaped) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, &status, 0);
            m_reaped = true;
        }
    }
}

}  // namespace termiva::platform
