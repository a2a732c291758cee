// Diagnostics on Windows: standard error through its handle (a GUI process may have none,
// then only the file gets the line), and a file opened for appending only, owner-only.
#include "platform/log.h"

#include <windows.h>

#include <cstdio>
#include <mutex>
#include <string>

#include "platform/log_line.h"
#include "platform/windows/owner_only.h"

namespace termiva::log {

namespace {

std::mutex g_file_lock;  // guards g_file
HANDLE g_file = INVALID_HANDLE_VALUE;

// Whole lines in one WriteFile: lines of concurrent threads never interleave mid-line.
void write_all(HANDLE h, const std::string& line) {
    if (h == nullptr || h == INVALID_HANDLE_VALUE) return;
    std::size_t done = 0;
    while (done < line.size()) {
        DWORD put = 0;
        if (!::WriteFile(h, line.data() + done, static_cast<DWORD>(line.size() - done), &put,
                         nullptr) ||
            put == 0)
            return;  // a diagnostic that cannot be written is dropped, nothing more
        done += put;
    }
}

}  // namespace

void write(Level level, std::string_view component, std::string_view message) noexcept {
    try {
        const std::string line = format_line(level, component, message, ::GetCurrentThreadId());
        if (level != Level::debug) {
            std::fflush(stdout);  // keep order with anything printed the old way
            std::fflush(stderr);
            write_all(::GetStdHandle(STD_ERROR_HANDLE), line);
        }
        std::lock_guard lock(g_file_lock);
        write_all(g_file, line);
    } catch (...) {
        // Out of memory while building a diagnostic: there is nobody left to tell.
    }
}

bool set_file(const std::filesystem::path& file) noexcept {
    try {
        platform::windows::SecurityDescriptor sd = platform::windows::owner_only_descriptor(false);
        SECURITY_ATTRIBUTES sa{sizeof sa, sd.get(), FALSE};
        // Appends only: each write lands at the end whoever else has the file open.
        HANDLE h = ::CreateFileW(file.c_str(), FILE_APPEND_DATA | SYNCHRONIZE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &sa,
                                 OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) return false;
        std::lock_guard lock(g_file_lock);
        if (g_file != INVALID_HANDLE_VALUE) ::CloseHandle(g_file);
        g_file = h;
        return true;
    } catch (...) {
        return false;
    }
}

}  // namespace termiva::log
