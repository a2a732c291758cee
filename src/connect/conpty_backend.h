// The local shell on Windows: the session's shell on a pseudo console, behind the same
// interface as PtyBackend. Shell names: "cmd" (and anything unknown) runs cmd.exe,
// "powershell" Windows PowerShell, "pwsh" PowerShell 7 (Windows PowerShell when it is not
// installed), "custom" the custom command through cmd.exe /d /s /c.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "connect/backend.h"

namespace termiva {

namespace platform::windows {
class PseudoConsole;
}

class ConptyBackend : public Backend {
public:
    struct Options {
        std::string shell;
        std::string custom_command;
        int rows = 24;
        int cols = 80;
        std::string working_dir;  // UTF-8; empty or missing: the user's profile folder
    };

    explicit ConptyBackend(Options options);
    ~ConptyBackend() override;

    void connect() override;
    void send(std::string_view data) override;
    std::string recv(std::size_t bufsize) override;
    bool is_closed() const override { return m_closed.load(); }
    // A console the system cannot resize (Wine has no ResizePseudoConsole) keeps its size;
    // the tab goes on, and takes_size() says from then on that size changes go nowhere.
    void resize(int rows, int cols) override;
    bool takes_size() const override { return m_resizable.load(); }
    void close() override;

    // The command line a shell name stands for (exposed for tests).
    static std::vector<std::string> command_for(const std::string& shell,
                                                const std::string& custom_command);
    // The shell's process id; 0 before connect().
    unsigned long child_pid() const;

private:
    std::shared_ptr<platform::windows::PseudoConsole> console() const;
    void report_fixed_size();

    Options m_options;
    mutable std::mutex m_lock;  // guards starting and ending the shell
    // Shared with a reader or writer in the middle of a call, so that a close() and the
    // backend's end never pull the console from under them.
    std::shared_ptr<platform::windows::PseudoConsole> m_console;
    std::atomic<bool> m_closed{false};
    std::atomic<bool> m_resizable{true};
    std::atomic<bool> m_resize_reported{false};
    std::thread m_watcher;  // waits for the shell's end
};

}  // namespace termiva
