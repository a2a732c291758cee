// A helper program on Windows: CreateProcessW with a hidden window, its standard streams on
// pipes whose own ends are overlapped (so one thread can wait on all three with a time
// limit), and a job object holding the program and everything it starts, so kill_group
// ends the whole tree, and nothing outlives us (KILL_ON_JOB_CLOSE). The child starts
// suspended and runs only once it is in the job: it cannot start anything outside it.
#include <windows.h>

#include <atomic>
#include <cerrno>
#include <map>
#include <mutex>
#include <system_error>

#include "platform/child_process.h"
#include "platform/paths.h"
#include "platform/utf8_path.h"
#include "platform/windows/command_line.h"
#include "platform/windows/env.h"
#include "platform/windows/wide_text.h"
#include "platform/windows/win_error.h"

namespace termiva::platform {

namespace fs = std::filesystem;

namespace {

class Handle {
public:
    Handle() = default;
    explicit Handle(HANDLE h) : m_h(h == INVALID_HANDLE_VALUE ? nullptr : h) {}
    ~Handle() { reset(); }
    Handle(Handle&& o) noexcept : m_h(o.m_h) { o.m_h = nullptr; }
    Handle& operator=(Handle&& o) noexcept {
        if (this != &o) {
            reset();
            m_h = o.m_h;
            o.m_h = nullptr;
        }
        return *this;
    }
    HANDLE get() const { return m_h; }
    explicit operator bool() const { return m_h != nullptr; }
    void reset() {
        if (m_h) ::CloseHandle(m_h);
        m_h = nullptr;
    }

private:
    HANDLE m_h = nullptr;
};

// A pipe with our end overlapped and the child's end inheritable. Anonymous pipes cannot
// do overlapped I/O, so this is a named pipe with one instance and a name nobody guesses.
struct Pipe {
    Handle ours, childs;
};

Pipe make_pipe(bool child_reads) {
    static std::atomic<unsigned> counter{0};
    const std::wstring name =
        L"\\\\.\\pipe\\termiva-child-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
        std::to_wstring(counter++) + L"-" + std::to_wstring(::GetTickCount64());
    Pipe p;
    p.ours = Handle(::CreateNamedPipeW(
        name.c_str(),
        (child_reads ? PIPE_ACCESS_OUTBOUND : PIPE_ACCESS_INBOUND) | FILE_FLAG_OVERLAPPED |
            FILE_FLAG_FIRST_PIPE_INSTANCE,
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 65536,
        65536, 0, nullptr));
    if (!p.ours) throw windows::last_error("cannot create a pipe");
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    p.childs = Handle(::CreateFileW(name.c_str(), child_reads ? GENERIC_READ : GENERIC_WRITE, 0,
                                    &sa, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!p.childs) throw windows::last_error("cannot open a pipe");
    return p;
}

// Job handles of running children by process id, for processes_in_group.
std::mutex g_jobs_lock;
std::map<pid_t, HANDLE> g_jobs;

// One overlapped transfer on a pipe end.
struct Transfer {
    HANDLE pipe = nullptr;
    OVERLAPPED ov{};
    Handle event{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    bool pending = false;
    bool open = true;
    char buf[16384];
    Transfer() { ov.hEvent = event.get(); }
    // Cancels a transfer still under way and waits for the cancel: the buffer and the
    // OVERLAPPED must outlive the I/O.
    void cancel() {
        if (!pending) return;
        ::CancelIoEx(pipe, &ov);
        DWORD n = 0;
        ::GetOverlappedResult(pipe, &ov, &n, TRUE);
        pending = false;
    }
};

}  // namespace

struct ChildProcess::Windows {
    Handle process, job;
    Handle in, out, err;
    std::mutex lock;  // guards `finished` against a kill racing the end
    bool finished = false;
};

ChildProcess::ChildProcess(const std::vector<std::string>& argv)
    : m_win(std::make_unique<Windows>()) {
    if (argv.empty()) throw std::system_error(EINVAL, std::generic_category(), "no program");
    fs::path program = path_from_utf8(argv[0]);
    if (!program.has_parent_path()) {
        auto found = find_on_search_path(argv[0]);
        if (!found)
            throw std::system_error(ENOENT, std::generic_category(), argv[0] + ": not found");
        program = *found;
    }
    std::vector<std::wstring> wide;
    wide.push_back(program.native());
    for (std::size_t i = 1; i < argv.size(); ++i)
        wide.push_back(windows::to_utf16(argv[i]));

    std::wstring application, line;
    if (windows::is_batch_file(program.native())) {
        // A batch file runs in cmd.exe, and cmd.exe splits the line by its own rules.
        fs::path cmd = windows::env_path(L"ComSpec");
        if (cmd.empty()) {
            wchar_t system[MAX_PATH];
            const UINT n = ::GetSystemDirectoryW(system, MAX_PATH);
            cmd = fs::path(std::wstring(system, n)) / L"cmd.exe";
        }
        application = cmd.native();
        try {
            line = windows::quote_argument(application) + L" /d /e:on /v:off /s /c " +
                   windows::batch_command_line(wide);
        } catch (const windows::UnsafeArgument& e) {
            throw std::system_error(EINVAL, std::generic_category(), argv[0] + ": " + e.what());
        }
    } else if (windows::is_powershell_script(program.native())) {
        // npm puts a claude.ps1 beside claude.cmd; only PowerShell runs it.
        const auto shell = find_on_search_path("powershell.exe");
        if (!shell)
            throw std::system_error(ENOENT, std::generic_category(),
                                    argv[0] + ": PowerShell not found to run it");
        application = shell->native();
        std::vector<std::wstring> full{application, L"-NoProfile", L"-ExecutionPolicy", L"Bypass",
                                       L"-File"};
        full.insert(full.end(), wide.begin(), wide.end());
        line = windows::program_command_line(full);
    } else {
        application = program.native();
        line = windows::program_command_line(wide);
    }

    Pipe in = make_pipe(true), out = make_pipe(false), err = make_pipe(false);
    HANDLE inherit[3] = {in.childs.get(), out.childs.get(), err.childs.get()};
    // Only these three handles reach the child, whatever else is inheritable right now in
    // another thread.
    SIZE_T size = 0;
    ::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::string attr_buf(size, '\0');
    auto* attrs = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attr_buf.data());
    if (!::InitializeProcThreadAttributeList(attrs, 1, 0, &size))
        throw windows::last_error("cannot prepare " + argv[0]);
    struct AttrsDone {
        LPPROC_THREAD_ATTRIBUTE_LIST a;
        ~AttrsDone() { ::DeleteProcThreadAttributeList(a); }
    } attrs_done{attrs};
    ::UpdateProcThreadAttribute(attrs, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherit,
                                sizeof inherit, nullptr, nullptr);

    STARTUPINFOEXW si{};
    si.StartupInfo.cb = sizeof si;
    si.StartupInfo.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
    si.StartupInfo.wShowWindow = SW_HIDE;
    si.StartupInfo.hStdInput = in.childs.get();
    si.StartupInfo.hStdOutput = out.childs.get();
    si.StartupInfo.hStdError = err.childs.get();
    si.lpAttributeList = attrs;

    m_win->job = Handle(::CreateJobObjectW(nullptr, nullptr));
    if (!m_win->job) throw windows::last_error("cannot create a job for " + argv[0]);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    ::SetInformationJobObject(m_win->job.get(), JobObjectExtendedLimitInformation, &limits,
                              sizeof limits);

    PROCESS_INFORMATION pi{};
    std::wstring mutable_line = line;  // CreateProcessW may write into it
    if (!::CreateProcessW(application.c_str(), mutable_line.data(), nullptr, nullptr, TRUE,
                          CREATE_SUSPENDED | CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT |
                              EXTENDED_STARTUPINFO_PRESENT,
                          nullptr, nullptr, &si.StartupInfo, &pi)) {
        const DWORD code = ::GetLastError();
        throw std::system_error(windows::errno_of(code), std::generic_category(),
                                argv[0] + ": " + windows::message_of(code));
    }
    m_win->process = Handle(pi.hProcess);
    Handle thread(pi.hThread);
    if (!::AssignProcessToJobObject(m_win->job.get(), pi.hProcess)) {
        const DWORD code = ::GetLastError();
        ::TerminateProcess(pi.hProcess, 1);
        throw std::system_error(windows::errno_of(code), std::generic_category(),
                                argv[0] + ": cannot put it in a job: " + windows::message_of(code));
    }
    ::ResumeThread(pi.hThread);
    m_pid = static_cast<pid_t>(pi.dwProcessId);
    m_win->in = std::move(in.ours);
    m_win->out = std::move(out.ours);
    m_win->err = std::move(err.ours);
    std::lock_guard lock(g_jobs_lock);
    g_jobs[m_pid] = m_win->job.get();
}

ChildProcess::~ChildProcess() {
    {
        std::lock_guard lock(g_jobs_lock);
        g_jobs.erase(m_pid);
    }
    m_win->in.reset();
    m_win->out.reset();
    m_win->err.reset();
    if (::WaitForSingleObject(m_win->process.get(), 0) != WAIT_OBJECT_0) {
        kill_group();
        wait_for_exit(std::chrono::milliseconds(2000));
    }
    // Closing the job ends whatever the child left running (KILL_ON_JOB_CLOSE).
}

void ChildProcess::kill_group() noexcept {
    std::lock_guard lock(m_win->lock);
    if (m_win->finished) return;
    ::TerminateJobObject(m_win->job.get(), 137);
}

bool ChildProcess::wait_for_exit(std::chrono::milliseconds limit) {
    const DWORD rc = ::WaitForSingleObject(m_win->process.get(), static_cast<DWORD>(limit.count()));
    return rc == WAIT_OBJECT_0;
}

ChildProcess::Outcome ChildProcess::communicate(std::string_view input,
                                                std::chrono::milliseconds limit) {
    Outcome outcome;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    Transfer reads[2], write;
    reads[0].pipe = m_win->out.get();
    reads[1].pipe = m_win->err.get();
    write.pipe = m_win->in.get();
    std::size_t written = 0;
    if (input.empty()) {
        m_win->in.reset();
        write.open = false;
    }
    struct CancelAll {
        Transfer* t[3];
        ~CancelAll() {
            for (Transfer* x : t)
                x->cancel();
        }
    } cancel_all{{&reads[0], &reads[1], &write}};

    for (;;) {
        // Start what is not under way yet.
        for (int i = 0; i < 2; ++i) {
            Transfer& r = reads[i];
            while (r.open && !r.pending) {
                DWORD n = 0;
                if (::ReadFile(r.pipe, r.buf, sizeof r.buf, &n, &r.ov)) {
                    (i == 0 ? outcome.out : outcome.err).append(r.buf, n);
                    continue;
                }
                if (::GetLastError() == ERROR_IO_PENDING)
                    r.pending = true;
                else
                    r.open = false;  // broken pipe: the child closed it
            }
        }
        if (write.open && !write.pending) {
            const DWORD chunk =
                static_cast<DWORD>(std::min<std::size_t>(input.size() - written, 65536));
            DWORD n = 0;
            if (::WriteFile(write.pipe, input.data() + written, chunk, &n, &write.ov)) {
                written += n;
            } else if (::GetLastError() == ERROR_IO_PENDING) {
                write.pending = true;
            } else {
                write.open = false;  // a child that closed its input has read all it wants
            }
            if (!write.pending && (!write.open || written == input.size())) {
                write.open = false;
                m_win->in.reset();
            }
        }
        if (!reads[0].open && !reads[1].open) break;

        HANDLE events[3];
        Transfer* owners[3];
        DWORD count = 0;
        for (Transfer* t : {&reads[0], &reads[1], &write}) {
            if (t->pending) {
                events[count] = t->event.get();
                owners[count++] = t;
            }
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) return outcome;
        const DWORD rc = ::WaitForMultipleObjects(count, events, FALSE, static_cast<DWORD>(left));
        if (rc == WAIT_TIMEOUT) return outcome;
        if (rc >= WAIT_OBJECT_0 + count) break;
        Transfer* done = owners[rc - WAIT_OBJECT_0];
        DWORD n = 0;
        const bool ok = ::GetOverlappedResult(done->pipe, &done->ov, &n, FALSE);
        done->pending = false;
        if (done == &write) {
            if (ok) written += n;
            if (!ok || written == input.size()) {
                write.open = false;
                m_win->in.reset();
            }
        } else {
            if (ok)
                (done == &reads[0] ? outcome.out : outcome.err).append(done->buf, n);
            else
                done->open = false;
        }
    }
    m_win->in.reset();
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (::WaitForSingleObject(m_win->process.get(), left > 0 ? static_cast<DWORD>(left) : 0) !=
        WAIT_OBJECT_0)
        return outcome;
    DWORD code = 0;
    ::GetExitCodeProcess(m_win->process.get(), &code);
    std::lock_guard lock(m_win->lock);
    m_win->finished = true;
    outcome.finished = true;
    outcome.exit_code = static_cast<int>(code);
    return outcome;
}

bool takes_line_breaks_in_arguments(const std::string& program) {
    return !windows::is_batch_file(path_from_utf8(program).native());
}

std::vector<pid_t> processes_in_group(pid_t pgid) {
    std::vector<pid_t> found;
    std::lock_guard lock(g_jobs_lock);
    const auto job = g_jobs.find(pgid);
    if (job == g_jobs.end()) return found;
    // Room for many processes; the count says how many were listed.
    std::string buf(sizeof(JOBOBJECT_BASIC_PROCESS_ID_LIST) + 1024 * sizeof(ULONG_PTR), '\0');
    auto* list = reinterpret_cast<JOBOBJECT_BASIC_PROCESS_ID_LIST*>(buf.data());
    if (!::QueryInformationJobObject(job->second, JobObjectBasicProcessIdList, list,
                                     static_cast<DWORD>(buf.size()), nullptr))
        return found;
    for (DWORD i = 0; i < list->NumberOfProcessIdsInList; ++i)
        found.push_back(static_cast<pid_t>(list->ProcessIdList[i]));
    return found;
}

}  // namespace termiva::platform
