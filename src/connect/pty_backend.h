// A local shell on a pseudo-terminal. Shell names: "bash", "zsh", "sh", "fish",
// "pwsh"/"powershell" run that program when installed; "custom" runs the custom command
// through /bin/sh -c; "cmd" and anything else run the user's login shell.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "connect/backend.h"
#include "connect/fd_io.h"
#include "platform/pty_process.h"

namespace termiva {

class PtyBackend : public Backend {
public:
    struct Options {
        std::string shell;
        std::string custom_command;
        int rows = 24;
        int cols = 80;
        std::string working_dir;
    };

    explicit PtyBackend(Options options);
    ~PtyBackend() override;

    void connect() override;
    void send(std::string_view data) override;
    std::string recv(std::size_t bufsize) override;
    bool is_closed() const override { return m_closed.load(); }
    void resize(int rows, int cols) override;
    void close() override;

    // The command line a shell name stands for (exposed for tests).
    static std::vector<std::string> command_for(const std::string& shell,
                                                const std::string& custom_command);
    pid_t child_pid() const { return m_process ? m_process->pid() : -1; }

private:
    Options m_options;
    WakeFd m_wake;
    std::mutex m_lock;  // guards starting and ending the child
    std::unique_ptr<platform::PtyProcess> m_process;
    std::atomic<bool> m_closed{false};
};

}  // namespace termiva
