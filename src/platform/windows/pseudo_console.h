// A shell on a Windows pseudo-console (ConPTY): the program runs with a console of its own
// whose screen comes back as VT text on one pipe and whose keyboard is the other, in a job
// object so closing the tab ends the shell and everything it started.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace termiva::platform::windows {

struct ConsoleSpawn {
    std::vector<std::string> argv;      // argv[0]: a path or a name on the search path
    std::filesystem::path working_dir;  // empty: the user's profile folder
    int rows = 24;
    int cols = 80;
};

class PseudoConsole {
public:
    // Starts the program; throws std::system_error when the console or the program cannot
    // be started, UnsafeArgument for a custom command cmd.exe would run only in part.
    explicit PseudoConsole(const ConsoleSpawn& spawn);
    // Ends the job (the shell and its children) and closes the console.
    ~PseudoConsole();
    PseudoConsole(const PseudoConsole&) = delete;
    PseudoConsole& operator=(const PseudoConsole&) = delete;

    // The console's output as it comes, at most `max` bytes; blocks until some arrives.
    // Returns "" once the console has closed (the program ended and its output is read) or
    // after close().
    std::string read(std::size_t max);
    // Sends keys; false once the console is gone.
    bool write(std::string_view keys);
    // New size; false when the system cannot resize (Wine has no ResizePseudoConsole).
    bool resize(int rows, int cols);
    // Ends the program and its children, and wakes a blocked read. Idempotent.
    void close();
    // Blocks until the program has ended or close() was called. A program that ended by
    // itself leaves a console that would keep the output pipe open for good: it is closed
    // here, so a reader gets the last output and then "".
    void wait_for_end();
    // True while the program runs.
    bool running() const;
    unsigned long process_id() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m;
};

// The command line a shell name of the session stands for: "cmd" (the default),
// "powershell", "pwsh", or for "custom" the user's command run by cmd.exe /d /s /c, which
// the console passes to cmd.exe as typed.
std::vector<std::string> console_shell_command(const std::string& shell,
                                               const std::string& custom_command);

}  // namespace termiva::platform::windows
