// Drives a real termiva-host process over its JSON-lines protocol: requests by id,
// results matched by id, page calls collected in order.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

namespace termiva::testing {

class HostProcess {
public:
    // Starts `termiva-host --data-dir data_dir --no-reachability` (host_command(); the
    // page calls are the test's own); with `reachability`, the host's prober runs.
    explicit HostProcess(const std::filesystem::path& data_dir, bool reachability = false);
    ~HostProcess();
    HostProcess(const HostProcess&) = delete;
    HostProcess& operator=(const HostProcess&) = delete;

    // Sends a request and waits for its answer (the whole response line: result or error).
    // `args` is the argument list; a value that is not a list is the only argument.
    nlohmann::json request(const std::string& op,
                           const nlohmann::json& args = nlohmann::json::array(),
                           std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // The "result" of a request (fails the test when the host answered with an error).
    nlohmann::json call(const std::string& op, const nlohmann::json& args = nlohmann::json::array(),
                        std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Saves `session` and opens it; the new tab's id.
    std::string open_session(const nlohmann::json& session);
    // The tab's `alive` in the runtime state (false for a tab that is not there).
    bool tab_alive(const std::string& tab_id);
    // Waits up to 5 s for the tab to be marked ended (the end line and the state change
    // may reach the page in either order).
    bool becomes_dead(const std::string& tab_id);
    // Sends a raw line (for malformed-input tests).
    void send_line(const std::string& line);

    // Page calls seen so far ({"call":..., "args":[...]}).
    std::vector<nlohmann::json> page_calls();
    // Waits until a page call satisfies `pred`; returns it.
    std::optional<nlohmann::json> wait_for_call(
        const std::function<bool(const nlohmann::json&)>& pred, std::chrono::milliseconds timeout);
    // A page call's argument `i`, or null when the call has fewer (runtimeChanged() has
    // none): predicates look at every call, so they must not index past the end.
    static nlohmann::json arg(const nlohmann::json& call, std::size_t i);
    // Whether `call` is a call of `function` whose first argument is `tab_id`.
    static bool is_call(const nlohmann::json& call, const std::string& function,
                        const std::string& tab_id);
    // setTerminalInfo lines for a tab, in order.
    std::vector<std::string> info_lines(const std::string& tab_id);
    // Drains a tab until its collected output contains `needle` (or the time runs out);
    // returns everything drained.
    std::string drain_until(const std::string& tab_id, const std::string& needle,
                            std::chrono::milliseconds timeout);

    // The host's standard-error lines so far (its diagnostics), each with the moment it
    // arrived here; they are passed on to this process's standard error as well.
    struct ErrLine {
        std::string text;
        std::chrono::steady_clock::time_point at;
    };
    std::vector<ErrLine> stderr_lines();
    // Waits until a standard-error line contains `needle`; returns it.
    std::optional<ErrLine> wait_for_stderr(const std::string& needle,
                                           std::chrono::milliseconds timeout);

    // Asks the host to quit and waits for it; returns its exit status (-1 on timeout).
    int quit(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    pid_t pid() const { return m_pid; }

private:
    void read_loop();
    void read_stderr_loop();
    // How the host ended ("exit status 1", "signal 11 (Segmentation fault)"), for the
    // failure that noticed it; "still running" when it has not.
    std::string how_it_ended();

    pid_t m_pid = -1;
    int m_in = -1;
    int m_out = -1;
    int m_err = -1;
    std::thread m_reader;
    std::thread m_err_reader;
    std::atomic<bool> m_err_stop{false};
    std::vector<ErrLine> m_err_lines;
    std::mutex m_lock;
    std::condition_variable m_cv;
    std::vector<nlohmann::json> m_responses;
    std::vector<nlohmann::json> m_calls;
    long m_next_id = 1;
    bool m_eof = false;
    int m_exit_status = -1;
};

// Where the built program lives.
std::filesystem::path program_dir();

// The command that starts the host under test: the program folder's termiva-host, or the
// words of $TERMIVA_HOST_COMMAND (split at spaces), so the same tests drive another build
// of it, e.g. "scripts/wine-run.sh build-win/termiva/termiva-host.exe" for the Windows one.
std::vector<std::string> host_command();

// True when the host under test is a Windows program run by Wine ($TERMIVA_HOST_PATHS is
// "wine"); tests that Wine cannot run skip with the reason.
bool host_under_wine();

// The Wine prefix scripts/wine-run.sh starts a host under Wine in ($TERMIVA_WINEPREFIX,
// else the Windows build's "wine" folder); throws when neither is set.
std::filesystem::path host_wine_prefix();

// A file name of this machine as the host under test must be given it: unchanged, or for a
// host under Wine the name on the drive Wine maps "/" to ("/tmp/a b" is "Z:\tmp\a b").
// Only the tests translate: the shipped program takes its own system's names.
std::string host_path(const std::filesystem::path& path);

// A serial device of this machine as the host under test must name it: the device itself,
// or for a host under Wine a COM port of the tests' Wine prefix linked to it (a free comN in
// its dosdevices folder; the link follows `device` wherever it points, so a cable unplugged
// and plugged back is the same port). The link goes with this object.
class HostSerialPort {
public:
    explicit HostSerialPort(const std::filesystem::path& device);
    ~HostSerialPort();
    HostSerialPort(const HostSerialPort&) = delete;
    HostSerialPort& operator=(const HostSerialPort&) = delete;
    const std::string& name() const { return m_name; }

private:
    std::filesystem::path m_link;
    std::string m_name;
};

}  // namespace termiva::testing
