// A child process on its own pseudo-terminal, in its own session.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

namespace termiva::platform {

struct PtySpawn {
    std::vector<std::string> argv;                         // argv[0] is the program
    std::filesystem::path working_dir;                     // empty: the user's home
    std::vector<std::pair<std::string, std::string>> env;  // added to the environment
    int rows = 24;
    int cols = 80;
};

class PtyProcess {
public:
    // Starts the child; throws std::system_error when the pty or fork fails. A program
    // that cannot be executed makes the child exit with status 127 after writing why.
    explicit PtyProcess(const PtySpawn& spawn);
    ~PtyProcess();
    PtyProcess(const PtyProcess&) = delete;
    PtyProcess& operator=(const PtyProcess&) = delete;

    int master_fd() const { return m_master; }
    pid_t pid() const { return m_pid; }
    void set_size(int rows, int cols);
    // Ends every process of the child's session (SIGHUP, then SIGKILL after a grace
    // period), and reaps the child. Idempotent; the master side stays open
    // (a reader may still be polling it) until destruction.
    void terminate();

private:
    int m_master = -1;
    pid_t m_pid = -1;
    bool m_reaped = false;
};

// Processes whose session id is `sid` (read from /proc).
std::vector<pid_t> processes_in_session(pid_t sid);

}  // namespace termiva::platform
