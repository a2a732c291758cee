#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
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
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

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

struct ProcStat {
    char state = 0;
    long session = 0;
};

// A process's state and session from /proc, or nothing when it is gone.
std::optional<ProcStat> read_stat(const std::string& pid) {
    std::ifstream stat("/proc/" + pid + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return std::nullopt;
    // The command name may hold spaces and parentheses: fields start after the last ')'.
    auto close_paren = line.rfind(')');
    if (close_paren == std::string::npos) return std::nullopt;
    ProcStat out;
    long ppid = 0, pgrp = 0;
    if (std::sscanf(line.c_str() + close_paren + 1, " %c %ld %ld %ld", &out.state, &ppid, &pgrp,
                    &out.session) != 4) {
        return std::nullopt;
    }
    return out;
}

// Calls `act` for each live process of session `sid` as /proc lists it; how many it met.
template <typename Act>
std::size_t visit_session(pid_t sid, Act act) {
    std::size_t met = 0;
    DIR* dir = ::opendir("/proc");
    if (!dir) return met;
    while (dirent* e = ::readdir(dir)) {
        char* end = nullptr;
        long pid = std::strtol(e->d_name, &end, 10);
        if (pid <= 0 || *end != '\0') continue;
        const auto stat = read_stat(e->d_name);
        if (stat && stat->session == sid && stat->state != 'Z') {
            ++met;
            act(static_cast<pid_t>(pid));
        }
    }
    ::closedir(dir);
    return met;
}

void signal_session(pid_t sid, int sig) {
    for (pid_t p : processes_in_session(sid))
        ::kill(p, sig);
}

// How long a close sweeps the session at most.
constexpr std::chrono::seconds KILL_SWEEPS_FOR{2};
// What one sweep stops before it kills: deep or wide beyond this is left to the next sweep.
constexpr std::size_t MAX_STOPPED = 4096;
constexpr int MAX_TREE_DEPTH = 64;

// Stops `pid` (of session `sid`), waits until it has stopped, then does the same for every
// child it has in the session. A stopped process cannot fork, so once it has stopped its
// list of children is complete: a process that forks and lets its parent exit, again and
// again, is caught through its parent instead of being looked for in /proc, where it is
// always somewhere else by the time a look at the whole of /proc has been acted on.
void stop_tree(pid_t sid, pid_t pid, std::vector<pid_t>& stopped, int depth) {
    if (depth > MAX_TREE_DEPTH || stopped.size() >= MAX_STOPPED) return;
    if (::kill(pid, SIGSTOP) != 0) return;
    stopped.push_back(pid);
    const std::string name = std::to_string(pid);
    using namespace std::chrono;
    const auto deadline = steady_clock::now() + milliseconds(50);
    for (;;) {
        const auto stat = read_stat(name);
        if (!stat || stat->state == 'Z') return;
        if (stat->state == 'T' || stat->state == 't') break;
        if (steady_clock::now() >= deadline) break;  // the next sweep looks again
        std::this_thread::sleep_for(microseconds(200));
    }
    DIR* tasks = ::opendir(("/proc/" + name + "/task").c_str());
    if (!tasks) return;
    while (dirent* t = ::readdir(tasks)) {
        if (t->d_name[0] == '.') continue;
        std::ifstream children("/proc/" + name + "/task/" + t->d_name + "/children");
        long child = 0;
        while (children >> child) {
            const auto stat = read_stat(std::to_string(child));
            if (stat && stat->session == sid)
                stop_tree(sid, static_cast<pid_t>(child), stopped, depth + 1);
        }
    }
    ::closedir(tasks);
}

// True while some process still has the terminal's other side open (the pseudo terminal
// then reports no hang-up on its master side).
bool terminal_held(int master) {
    if (master < 0) return false;
    pollfd p{master, POLLIN, 0};
    return ::poll(&p, 1, 0) >= 0 && (p.revents & POLLHUP) == 0;
}

// Everything left in the session is stopped, with all it forked, then killed with its
// process group. A look at /proc can miss a process that forks and exits faster than the
// look goes through the list (its new number may fall in a part already read, numbers wrap),
// so an empty look ends the sweeps only once nothing holds the terminal either; a process
// that kept the terminal is then looked for again at once. Bounded in time; what a sweep
// finds are never our own processes (they are in another session, and so are their groups).
void kill_session(pid_t sid, int master) {
    using namespace std::chrono;
    const auto deadline = steady_clock::now() + KILL_SWEEPS_FOR;
    while (steady_clock::now() < deadline) {
        std::vector<pid_t> stopped;
        const std::size_t found =
            visit_session(sid, [&](pid_t p) { stop_tree(sid, p, stopped, 0); });
        for (pid_t p : stopped) {
            const pid_t group = ::getpgid(p);
            if (group > 1) ::kill(-group, SIGKILL);
            ::kill(p, SIGKILL);
        }
        if (found == 0 && !terminal_held(master)) return;
        std::this_thread::sleep_for(milliseconds(found == 0 ? 1 : 10));
    }
}

}  // namespace

std::vector<pid_t> processes_in_session(pid_t sid) {
    std::vector<pid_t> out;
    visit_session(sid, [&](pid_t p) { out.push_back(p); });
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
        kill_session(m_pid, m_master);
        if (!m_reaped) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, &status, 0);
            m_reaped = true;
        }
    }
}

}  // namespace termiva::platform
