#include "support/host_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <thread>

namespace termiva::testing {

namespace fs = std::filesystem;
using nlohmann::json;

fs::path program_dir() {
    return TERMIVA_PROGRAM_DIR;
}

std::vector<std::string> host_command() {
    std::vector<std::string> words;
    if (const char* command = std::getenv("TERMIVA_HOST_COMMAND"); command && *command) {
        std::istringstream in(command);
        for (std::string word; in >> word;)
            words.push_back(word);
    }
    if (words.empty()) words.push_back(program_dir() / "termiva-host");
    return words;
}

bool host_under_wine() {
    const char* paths = std::getenv("TERMIVA_HOST_PATHS");
    return paths && std::string(paths) == "wine";
}

std::string host_path(const fs::path& path) {
    if (!host_under_wine()) return path;
    std::string name = "Z:" + fs::absolute(path).lexically_normal().string();
    std::replace(name.begin(), name.end(), '/', '\\');
    return name;
}

fs::path host_wine_prefix() {
    if (const char* p = std::getenv("TERMIVA_WINEPREFIX"); p && *p) return p;
    if (const char* b = std::getenv("TERMIVA_WIN_BUILD_DIR"); b && *b) return fs::path(b) / "wine";
    throw std::runtime_error("a host under Wine needs TERMIVA_WINEPREFIX or TERMIVA_WIN_BUILD_DIR");
}

HostSerialPort::HostSerialPort(const fs::path& device) : m_name(device.string()) {
    if (!host_under_wine()) return;
    const fs::path prefix = host_wine_prefix();
    fs::create_directories(prefix / "dosdevices");
    // Above the ones scripts and other tests take by number; taken atomically, so tests
    // running side by side never share one.
    for (int n = 100; n < 256; ++n) {
        const fs::path link = prefix / "dosdevices" / ("com" + std::to_string(n));
        if (::symlink(fs::absolute(device).c_str(), link.c_str()) == 0) {
            m_link = link;
            m_name = "COM" + std::to_string(n);
            return;
        }
    }
    throw std::runtime_error("no free COM port number in " + prefix.string());
}

HostSerialPort::~HostSerialPort() {
    if (!m_link.empty()) ::unlink(m_link.c_str());
}

HostProcess::HostProcess(const fs::path& data_dir, bool reachability) {
    // A host that has gone must fail the test with its cause (how_it_ended), not end the
    // test itself when the next request is written into its closed input.
    ::signal(SIGPIPE, SIG_IGN);
    int to_child[2], from_child[2], err_child[2];
    if (::pipe2(to_child, O_CLOEXEC) != 0 || ::pipe2(from_child, O_CLOEXEC) != 0 ||
        ::pipe2(err_child, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    std::vector<std::string> command = host_command();
    command.insert(command.end(), {"--data-dir", host_path(data_dir)});
    if (!reachability) command.push_back("--no-reachability");
    std::vector<char*> argv;
    for (auto& word : command)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    m_pid = ::fork();
    if (m_pid == 0) {
        ::dup2(to_child[0], STDIN_FILENO);
        ::dup2(from_child[1], STDOUT_FILENO);
        ::dup2(err_child[1], STDERR_FILENO);
        ::execvp(argv[0], argv.data());
        std::fprintf(stderr, "cannot run %s: %s\n", argv[0], std::strerror(errno));
        ::_exit(127);
    }
    ::close(to_child[0]);
    ::close(from_child[1]);
    ::close(err_child[1]);
    m_in = to_child[1];
    m_out = from_child[0];
    m_err = err_child[0];
    m_reader = std::thread([this] { read_loop(); });
    m_err_reader = std::thread([this] { read_stderr_loop(); });
}

HostProcess::~HostProcess() {
    if (m_pid > 0 && m_exit_status == -1) {
        quit(std::chrono::seconds(10));
    }
    if (m_pid > 0 && m_exit_status == -1) {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
    }
    if (m_in >= 0) ::close(m_in);
    if (m_reader.joinable()) m_reader.join();
    m_err_stop = true;
    if (m_err_reader.joinable()) m_err_reader.join();
    if (m_out >= 0) ::close(m_out);
    if (m_err >= 0) ::close(m_err);
}

void HostProcess::read_stderr_loop() {
    std::string pending;
    char buf[8192];
    for (;;) {
        // Children of the host may keep the pipe open after the host has gone: once it
        // has been waited for, what is not there yet is not waited for.
        pollfd p{m_err, POLLIN, 0};
        if (::poll(&p, 1, 50) == 0) {
            if (m_err_stop) break;
            continue;
        }
        ssize_t n = ::read(m_err, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        const auto now = std::chrono::steady_clock::now();
        // Still shown where the host's diagnostics always went.
        (void)!::write(STDERR_FILENO, buf, static_cast<std::size_t>(n));
        pending.append(buf, static_cast<std::size_t>(n));
        std::size_t nl;
        while ((nl = pending.find('\n')) != std::string::npos) {
            std::lock_guard lock(m_lock);
            m_err_lines.push_back(ErrLine{pending.substr(0, nl), now});
            pending.erase(0, nl + 1);
            m_cv.notify_all();
        }
    }
}

std::vector<HostProcess::ErrLine> HostProcess::stderr_lines() {
    std::lock_guard lock(m_lock);
    return m_err_lines;
}

std::optional<HostProcess::ErrLine> HostProcess::wait_for_stderr(
    const std::string& needle, std::chrono::milliseconds timeout) {
    std::unique_lock lock(m_lock);
    std::optional<ErrLine> found;
    m_cv.wait_for(lock, timeout, [&] {
        for (const auto& l : m_err_lines) {
            if (l.text.find(needle) != std::string::npos) {
                found = l;
                return true;
            }
        }
        return false;
    });
    return found;
}

void HostProcess::read_loop() {
    std::string pending;
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(m_out, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        pending.append(buf, static_cast<std::size_t>(n));
        std::size_t nl;
        while ((nl = pending.find('\n')) != std::string::npos) {
            std::string line = pending.substr(0, nl);
            pending.erase(0, nl + 1);
            json msg = json::parse(line, nullptr, false);
            std::lock_guard lock(m_lock);
            if (msg.is_discarded()) {
                m_calls.push_back(json{{"call", "$unparsable"}, {"args", {line}}});
            } else if (msg.contains("call")) {
                m_calls.push_back(std::move(msg));
            } else {
                m_responses.push_back(std::move(msg));
            }
            m_cv.notify_all();
        }
    }
    std::lock_guard lock(m_lock);
    m_eof = true;
    m_cv.notify_all();
}

void HostProcess::send_line(const std::string& line) {
    std::string data = line + "\n";
    const char* p = data.data();
    std::size_t left = data.size();
    while (left > 0) {
        ssize_t n = ::write(m_in, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0)
            throw std::runtime_error("host stdin closed, the host ended: " + how_it_ended());
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

json HostProcess::request(const std::string& op, const json& args,
                          std::chrono::milliseconds timeout) {
    long id;
    {
        std::lock_guard lock(m_lock);
        id = m_next_id++;
    }
    // A single brace-initialised value arrives here as itself: it is the one argument.
    json list = args.is_array() ? args : json::array({args});
    send_line(json{{"id", id}, {"op", op}, {"args", list}}.dump());
    std::unique_lock lock(m_lock);
    json found;
    bool ok = m_cv.wait_for(lock, timeout, [&] {
        for (const auto& r : m_responses) {
            if (r.value("id", json()) == id) {
                found = r;
                return true;
            }
        }
        return m_eof;
    });
    if (!ok || found.is_null()) {
        const bool gone = m_eof;
        lock.unlock();
        throw std::runtime_error("no answer from host to " + op +
                                 (gone ? ", the host ended: " + how_it_ended() : ""));
    }
    return found;
}

std::string HostProcess::open_session(const json& session) {
    json saved = call("save_session", json::array({session}));
    return call("connect_session", json::array({saved["id"]}))["tab_id"].get<std::string>();
}

bool HostProcess::tab_alive(const std::string& tab_id) {
    // Kept in a variable: a range-for over a member of a temporary reads freed memory.
    json state = call("get_runtime_state");
    for (const auto& t : state["tabs"]) {
        if (t["id"] == tab_id) return t["alive"].get<bool>();
    }
    return false;
}

bool HostProcess::becomes_dead(const std::string& tab_id) {
    for (int i = 0; i < 250; ++i) {
        if (!tab_alive(tab_id)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

json HostProcess::call(const std::string& op, const json& args, std::chrono::milliseconds timeout) {
    json r = request(op, args, timeout);
    EXPECT_FALSE(r.contains("error")) << op << ": " << r.dump();
    return r.value("result", json());
}

std::vector<json> HostProcess::page_calls() {
    std::lock_guard lock(m_lock);
    return m_calls;
}

std::optional<json> HostProcess::wait_for_call(const std::function<bool(const json&)>& pred,
                                               std::chrono::milliseconds timeout) {
    std::unique_lock lock(m_lock);
    std::optional<json> found;
    m_cv.wait_for(lock, timeout, [&] {
        for (const auto& c : m_calls) {
            if (pred(c)) {
                found = c;
                return true;
            }
        }
        return m_eof;
    });
    return found;
}

json HostProcess::arg(const json& call, std::size_t i) {
    if (!call.is_object()) return json();
    auto args = call.find("args");
    if (args == call.end() || !args->is_array() || i >= args->size()) return json();
    return (*args)[i];
}

bool HostProcess::is_call(const json& call, const std::string& function,
                          const std::string& tab_id) {
    return call.is_object() && call.value("call", "") == function && arg(call, 0) == tab_id;
}

std::vector<std::string> HostProcess::info_lines(const std::string& tab_id) {
    std::vector<std::string> out;
    for (const auto& c : page_calls()) {
        const json line = arg(c, 1);
        if (is_call(c, "setTerminalInfo", tab_id) && line.is_string()) out.push_back(line);
    }
    return out;
}

std::string HostProcess::drain_until(const std::string& tab_id, const std::string& needle,
                                     std::chrono::milliseconds timeout) {
    std::string all;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        all += call("drain_terminal", {tab_id}).get<std::string>();
        if (all.find(needle) != std::string::npos) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
    return all;
}

std::string HostProcess::how_it_ended() {
    // Its output closes a moment before its exit status can be collected.
    for (int i = 0; i < 100 && m_exit_status == -1; ++i) {
        int status = 0;
        if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            if (WIFSIGNALED(status)) {
                return "signal " + std::to_string(WTERMSIG(status)) + " (" +
                       ::strsignal(WTERMSIG(status)) + ")";
            }
            return "exit status " + std::to_string(m_exit_status);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (m_exit_status == -1) return "still running";
    return m_exit_status > 128 ? "signal " + std::to_string(m_exit_status - 128)
                               : "exit status " + std::to_string(m_exit_status);
}

int HostProcess::quit(std::chrono::milliseconds timeout) {
    if (m_exit_status != -1) return m_exit_status;
    try {
        send_line(R"({"id":0,"op":"$quit"})");
    } catch (const std::exception&) {
    }
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        pid_t r = ::waitpid(m_pid, &status, WNOHANG);
        if (r == m_pid) {
            m_exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return m_exit_status;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return -1;
}

}  // namespace termiva::testing
