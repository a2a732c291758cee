#include "connect/pty_backend.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "platform/paths.h"

namespace termiva {

namespace {

std::string login_shell() {
    if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_shell && *pw->pw_shell) {
        if (::access(pw->pw_shell, X_OK) == 0) return pw->pw_shell;
    }
    const char* env = std::getenv("SHELL");
    if (env && *env && ::access(env, X_OK) == 0) return env;
    return "/bin/sh";
}

std::string installed_or_login_shell(const std::string& program) {
    auto found = platform::find_on_search_path(program);
    return found ? found->string() : login_shell();
}

}  // namespace

PtyBackend::PtyBackend(Options options) : m_options(std::move(options)) {}

PtyBackend::~PtyBackend() {
    close();
}

std::vector<std::string> PtyBackend::command_for(const std::string& shell,
                                                 const std::string& custom_command) {
    if (shell == "custom" && !custom_command.empty()) return {"/bin/sh", "-c", custom_command};
    if (shell == "bash" || shell == "zsh" || shell == "sh" || shell == "fish") {
        return {installed_or_login_shell(shell)};
    }
    if (shell == "pwsh" || shell == "powershell") return {installed_or_login_shell("pwsh")};
    return {login_shell()};
}

void PtyBackend::connect() {
    if (m_closed) throw BackendError("closed");
    platform::PtySpawn spawn;
    spawn.argv = command_for(m_options.shell, m_options.custom_command);
    std::error_code ec;
    if (!m_options.working_dir.empty() &&
        std::filesystem::is_directory(m_options.working_dir, ec)) {
        spawn.working_dir = m_options.working_dir;
    } else if (const char* home = std::getenv("HOME")) {
        spawn.working_dir = home;
    }
    spawn.env = {{"TERM", "xterm-256color"}, {"COLORTERM", "truecolor"}};
    const char* lang = std::getenv("LANG");
    if (!lang || !*lang) spawn.env.emplace_back("LANG", "C.UTF-8");
    spawn.rows = m_options.rows;
    spawn.cols = m_options.cols;
    std::unique_ptr<platform::PtyProcess> process;
    try {
        process = std::make_unique<platform::PtyProcess>(spawn);
    } catch (const std::exception& e) {
        throw BackendError(e.what());
    }
    std::lock_guard lock(m_lock);
    m_process = std::move(process);
    if (m_closed) {
        // close() ran while the child was starting: do not leave it behind.
        m_process->terminate();
        throw BackendError("closed");
    }
}

void PtyBackend::send(std::string_view data) {
    if (m_closed || !m_process) throw BackendError("shell is not running");
    write_all(m_process->master_fd(), data, m_wake);
}

std::string PtyBackend::recv(std::size_t bufsize) {
    if (m_closed || !m_process) return {};
    std::string data = read_some(m_process->master_fd(), bufsize, m_wake);
    if (data.empty()) m_closed = true;
    return data;
}

void PtyBackend::resize(int rows, int cols) {
    if (m_process && !m_closed) m_process->set_size(rows, cols);
}

void PtyBackend::close() {
    m_closed = true;
    m_wake.signal();
    std::lock_guard lock(m_lock);
    if (m_process) m_process->terminate();
}

}  // namespace termiva
