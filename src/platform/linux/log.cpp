#include "platform/log.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <cstdio>
#include <mutex>
#include <string>

#include "platform/log_line.h"

namespace termiva::log {

namespace {

std::mutex g_file_lock;  // guards g_file_fd
int g_file_fd = -1;

// Whole lines in one write(2): lines of concurrent threads never interleave mid-line.
void write_all(int fd, const std::string& line) {
    std::size_t done = 0;
    while (done < line.size()) {
        ssize_t n = ::write(fd, line.data() + done, line.size() - done);
        if (n <= 0) return;  // a diagnostic that cannot be written is dropped, nothing more
        done += static_cast<std::size_t>(n);
    }
}

}  // namespace

void write(Level level, std::string_view component, std::string_view message) noexcept {
    try {
        const std::string line =
            format_line(level, component, message, static_cast<unsigned long>(::pthread_self()));
        if (level != Level::debug) {
            std::fflush(stdout);  // keep order with anything printed the old way
            write_all(STDERR_FILENO, line);
        }
        std::lock_guard lock(g_file_lock);
        if (g_file_fd >= 0) write_all(g_file_fd, line);
    } catch (...) {
        // Out of memory while building a diagnostic: there is nobody left to tell.
    }
}

bool set_file(const std::filesystem::path& file) noexcept {
    int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    std::lock_guard lock(g_file_lock);
    if (g_file_fd >= 0) ::close(g_file_fd);
    g_file_fd = fd;
    return true;
}

}  // namespace termiva::log
