// A helper program run with its standard streams on pipes, in a process group of its own
// (a job object on Windows), so that it and everything it starts can be ended together
// from any thread.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace termiva::platform {

class ChildProcess {
public:
    // Starts argv[0] (a path, or a name looked up on the search path) with this process's
    // environment and working folder. Throws std::system_error when it cannot be started.
    explicit ChildProcess(const std::vector<std::string>& argv);
    // Ends the group and reaps the child when it still runs.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    struct Outcome {
        bool finished = false;  // false: the limit ran out first (the child still runs)
        int exit_code = -1;     // 128 + signal for a child ended by a signal
        std::string out, err;
    };
    // Writes `input` to the child's standard input and closes it, then collects standard
    // output and error until the child has exited and both are closed, or `limit` is
    // over. Call once, from one thread.
    Outcome communicate(std::string_view input, std::chrono::milliseconds limit);

    // Kills the child's whole process group (SIGKILL). Safe from any thread, any number
    // of times; a child already reaped is left alone (its id may be reused).
    void kill_group() noexcept;
    // Waits up to `limit` for the child to end after a kill; true when reaped.
    bool wait_for_exit(std::chrono::milliseconds limit);

    pid_t pid() const { return m_pid; }

private:
#ifdef _WIN32
    // The process, its job object (the whole tree) and the pipes' own ends.
    struct Windows;
    std::unique_ptr<Windows> m_win;
    pid_t m_pid = -1;
#else
    bool try_reap(int& status);

    pid_t m_pid = -1;
    int m_in = -1, m_out = -1, m_err = -1;
    std::mutex m_lock;  // guards m_reaped against a kill racing the reap
    bool m_reaped = false;
    int m_status = 0;
#endif
};

// False when `program` runs inside a command interpreter that ends its command at a line
// break (a batch file on Windows, started through cmd.exe): no argument for it may hold one.
bool takes_line_breaks_in_arguments(const std::string& program);

// Processes whose process group is `pgid` (read from /proc; on Windows the processes of
// the job of the ChildProcess whose pid is `pgid`).
std::vector<pid_t> processes_in_group(pid_t pgid);

}  // namespace termiva::platform
