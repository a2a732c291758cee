// CreatePseudoConsole with two anonymous pipes (the console's input and output), the
// program started with the PROC_THREAD_ATTRIBUTE_PSEUDOCONSOLE attribute, suspended into a
// job object (KILL_ON_JOB_CLOSE) before it runs. Reading the output pipe blocks; close()
// ends the job and closes the console, which breaks the pipe and so wakes the reader.
// The pseudo console came with Windows 10 1809 (NTDDI_WIN10_RS5): declare what that
// version has, before any header reads the version.
#undef _WIN32_WINNT
#undef NTDDI_VERSION
#define _WIN32_WINNT 0x0A00
#define NTDDI_VERSION 0x0A000006

#include "platform/windows/pseudo_console.h"

#include <windows.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <system_error>

#include "platform/assistant_program.h"
#include "platform/paths.h"
#include "platform/utf8_path.h"
#include "platform/windows/command_line.h"
#include "platform/windows/env.h"
#include "platform/windows/wide_text.h"
#include "platform/windows/win_error.h"

namespace termiva::platform::windows {

namespace fs = std::filesystem;

namespace {

void close_handle(HANDLE& h) {
    if (h && h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
    h = nullptr;
}

COORD size_of(int rows, int cols) {
    auto clamp = [](int v) { return static_cast<SHORT>(v < 1 ? 1 : v > 32767 ? 32767 : v); };
    return COORD{clamp(cols), clamp(rows)};
}

}  // namespace

struct PseudoConsole::Impl {
    HPCON console = nullptr;
    HANDLE input = nullptr;    // our end: keys to the console
    HANDLE output = nullptr;   // our end: the console's VT text
    HANDLE process = nullptr;  // open until the destructor: wait_for_end() waits on it
    HANDLE job = nullptr;
    HANDLE closing = nullptr;  // set by close(), ends wait_for_end()
    unsigned long pid = 0;
    std::mutex lock;  // guards console, input and the handles close() releases
    std::atomic<bool> closed{false};

    // Also when the constructor fails half-way.
    ~Impl() {
        close_handle(output);
        close_handle(process);
        close_handle(closing);
    }
};

std::vector<std::string> console_shell_command(const std::string& shell,
                                               const std::string& custom_command) {
    if (shell == "custom" && !custom_command.empty())
        return {"cmd.exe", "/d", "/s", "/c", custom_command};
    if (shell == "powershell") return {"powershell.exe", "-NoLogo"};
    if (shell == "pwsh") return {"pwsh.exe", "-NoLogo"};
    return {"cmd.exe"};
}

PseudoConsole::PseudoConsole(const ConsoleSpawn& spawn) : m(std::make_unique<Impl>()) {
    if (spawn.argv.empty()) throw std::system_error(EINVAL, std::generic_category(), "no program");
    fs::path program = path_from_utf8(spawn.argv[0]);
    if (!program.has_parent_path()) {
        auto found = find_on_search_path(spawn.argv[0]);
        if (!found)
            throw std::system_error(ENOENT, std::generic_category(), spawn.argv[0] + ": not found");
        program = *found;
    }
    std::vector<std::wstring> wide{program.native()};
    for (std::size_t i = 1; i < spawn.argv.size(); ++i)
        wide.push_back(to_utf16(spawn.argv[i]));
    std::wstring line = console_command_line(wide);

    m->closing = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!m->closing) throw last_error("cannot create the console's events");
    HANDLE console_in = nullptr, console_out = nullptr;
    if (!::CreatePipe(&console_in, &m->input, nullptr, 0) ||
        !::CreatePipe(&m->output, &console_out, nullptr, 0))
        throw last_error("cannot create the console's pipes");
    const HRESULT hr = ::CreatePseudoConsole(size_of(spawn.rows, spawn.cols), console_in,
                                             console_out, 0, &m->console);
    // The console holds its own references to its ends now.
    close_handle(console_in);
    close_handle(console_out);
    if (FAILED(hr)) {
        close();
        throw std::system_error(EIO, std::generic_category(),
                                "cannot create a pseudo console: " + message_of(hr));
    }

    SIZE_T size = 0;
    ::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::string buf(size, '\0');
    auto* attrs = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(buf.data());
    if (!::InitializeProcThreadAttributeList(attrs, 1, 0, &size))
        throw last_error("console set-up");
    struct Done {
        LPPROC_THREAD_ATTRIBUTE_LIST a;
        ~Done() { ::DeleteProcThreadAttributeList(a); }
    } done{attrs};
    if (!::UpdateProcThreadAttribute(attrs, 0, PROC_THREAD_ATTRIBUTE_PSEUDOCONSOLE, m->console,
                                     sizeof m->console, nullptr, nullptr))
        throw last_error("console set-up");
    STARTUPINFOEXW si{};
    si.StartupInfo.cb = sizeof si;
    // Without this the child inherits our standard handles instead of the console's.
    si.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    si.lpAttributeList = attrs;

    m->job = ::CreateJobObjectW(nullptr, nullptr);
    if (!m->job) throw last_error("cannot create a job for the shell");
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    ::SetInformationJobObject(m->job, JobObjectExtendedLimitInformation, &limits, sizeof limits);

    fs::path cwd = spawn.working_dir;
    std::error_code ec;
    if (cwd.empty() || !fs::is_directory(cwd, ec)) cwd = home_dir();
    PROCESS_INFORMATION pi{};
    if (!::CreateProcessW(
            program.c_str(), line.data(), nullptr, nullptr, FALSE,
            EXTENDED_STARTUPINFO_PRESENT | CREATE_SUSPENDED | CREATE_UNICODE_ENVIRONMENT, nullptr,
            cwd.c_str(), &si.StartupInfo, &pi)) {
        const DWORD code = ::GetLastError();
        close();
        throw std::system_error(errno_of(code), std::generic_category(),
                                spawn.argv[0] + ": " + message_of(code));
    }
    m->process = pi.hProcess;
    m->pid = pi.dwProcessId;
    if (!::AssignProcessToJobObject(m->job, pi.hProcess)) {
        const DWORD code = ::GetLastError();
        ::TerminateProcess(pi.hProcess, 1);
        ::CloseHandle(pi.hThread);
        close();
        throw std::system_error(errno_of(code), std::generic_category(),
                                "cannot put the shell in a job: " + message_of(code));
    }
    ::ResumeThread(pi.hThread);
    ::CloseHandle(pi.hThread);
}

PseudoConsole::~PseudoConsole() {
    close();
}

std::string PseudoConsole::read(std::size_t max) {
    if (m->closed || max == 0) return {};
    std::string buf(std::min<std::size_t>(max, 1u << 20), '\0');
    DWORD got = 0;
    // The output end is ours alone and is closed only by the destructor, after readers
    // are gone; close() ends the console, which breaks this pipe.
    if (!::ReadFile(m->output, buf.data(), static_cast<DWORD>(buf.size()), &got, nullptr))
        return {};
    buf.resize(got);
    return buf;
}

bool PseudoConsole::write(std::string_view keys) {
    std::lock_guard guard(m->lock);
    while (!keys.empty()) {
        if (m->closed || !m->input) return false;
        DWORD put = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(keys.size(), 65536));
        if (!::WriteFile(m->input, keys.data(), chunk, &put, nullptr)) return false;
        keys.remove_prefix(put);
    }
    return true;
}

bool PseudoConsole::resize(int rows, int cols) {
    std::lock_guard guard(m->lock);
    if (m->closed || !m->console) return false;
    return SUCCEEDED(::ResizePseudoConsole(m->console, size_of(rows, cols)));
}

void PseudoConsole::close() {
    std::lock_guard guard(m->lock);
    if (m->closed.exchange(true)) return;
    if (m->job) ::TerminateJobObject(m->job, 1);
    // Closing the console ends what still has it open and breaks the output pipe, so a
    // reader blocked on it returns.
    if (m->console) ::ClosePseudoConsole(m->console);
    m->console = nullptr;
    close_handle(m->input);
    close_handle(m->job);
    if (m->closing) ::SetEvent(m->closing);
}

void PseudoConsole::wait_for_end() {
    if (!m->process || !m->closing) return;
    HANDLE waits[2] = {m->process, m->closing};
    if (::WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) return;
    std::lock_guard guard(m->lock);
    if (m->closed) return;
    // Not marked closed: the reader goes on until the pipe breaks, after the final output
    // (ClosePseudoConsole may wait for that output to be read, which the reader does).
    if (m->console) ::ClosePseudoConsole(m->console);
    m->console = nullptr;
    close_handle(m->input);
}

bool PseudoConsole::running() const {
    return !m->closed && m->process && ::WaitForSingleObject(m->process, 0) == WAIT_TIMEOUT;
}

unsigned long PseudoConsole::process_id() const {
    return m->pid;
}

}  // namespace termiva::platform::windows
