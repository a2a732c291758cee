#include "connect/conpty_backend.h"

#include <exception>
#include <system_error>

#include "platform/log.h"
#include "platform/paths.h"
#include "platform/utf8_path.h"
#include "platform/windows/pseudo_console.h"

namespace termiva {

using platform::windows::PseudoConsole;

ConptyBackend::ConptyBackend(Options options) : m_options(std::move(options)) {}

ConptyBackend::~ConptyBackend() {
    close();
    if (m_watcher.joinable()) m_watcher.join();
}

std::vector<std::string> ConptyBackend::command_for(const std::string& shell,
                                                    const std::string& custom_command) {
    if (shell == "pwsh" && !platform::find_on_search_path("pwsh"))
        return platform::windows::console_shell_command("powershell", custom_command);
    return platform::windows::console_shell_command(shell, custom_command);
}

std::shared_ptr<PseudoConsole> ConptyBackend::console() const {
    std::lock_guard lock(m_lock);
    return m_console;
}

void ConptyBackend::connect() {
    if (m_closed) throw BackendError("closed");
    if (console()) throw BackendError("shell already started");
    platform::windows::ConsoleSpawn spawn;
    spawn.argv = command_for(m_options.shell, m_options.custom_command);
    if (!m_options.working_dir.empty())
        spawn.working_dir = platform::path_from_utf8(m_options.working_dir);
    spawn.rows = m_options.rows;
    spawn.cols = m_options.cols;
    std::shared_ptr<PseudoConsole> started;
    try {
        started = std::make_shared<PseudoConsole>(spawn);
    } catch (const std::exception& e) {
        throw BackendError(e.what());
    }
    // Asking for the size it has already costs nothing where resizing works, and tells at
    // once where it does not.
    if (!started->resize(spawn.rows, spawn.cols)) {
        m_resizable = false;
        report_fixed_size();
    }
    std::lock_guard lock(m_lock);
    m_console = started;
    if (m_closed) {
        // close() ran while the shell was starting: do not leave it behind.
        started->close();
        throw BackendError("closed");
    }
    // A shell that exits by itself ends the stream, as a closed pty does on Linux.
    m_watcher = std::thread([started] { started->wait_for_end(); });
}

void ConptyBackend::send(std::string_view data) {
    auto target = console();
    if (m_closed || !target) throw BackendError("shell is not running");
    if (!target->write(data)) throw BackendError("shell has ended");
}

std::string ConptyBackend::recv(std::size_t bufsize) {
    auto source = console();
    if (m_closed || !source) return {};
    std::string data = source->read(bufsize);
    if (data.empty()) m_closed = true;
    return data;
}

void ConptyBackend::resize(int rows, int cols) {
    auto target = console();
    if (m_closed || !target || !m_resizable) return;
    if (target->resize(rows, cols) || m_closed) return;
    m_resizable = false;
    report_fixed_size();
}

void ConptyBackend::report_fixed_size() {
    if (!m_resize_reported.exchange(true))
        log::warn("conpty",
                  "the pseudo console cannot change its size on this system; the "
                  "shell keeps the size it started with");
}

void ConptyBackend::close() {
    m_closed = true;
    auto target = console();
    // The console's close ends the shell's job and breaks its output pipe, which frees a
    // reader blocked on it.
    if (target) target->close();
}

unsigned long ConptyBackend::child_pid() const {
    auto target = console();
    return target ? target->process_id() : 0;
}

}  // namespace termiva
