#include "app/tablog/tab_logs.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <stdexcept>
#include <vector>

#include "platform/calendar_time.h"
#include "platform/log.h"
#include "platform/new_file.h"
#include "platform/utf8_path.h"

namespace termiva {

namespace fs = std::filesystem;

TabLogs::~TabLogs() {
    m_ending = true;
    {
        std::lock_guard lock(m_lock);
        m_stopping = true;
    }
    m_wake.notify_all();
    if (m_flusher.joinable()) m_flusher.join();
    std::lock_guard lock(m_lock);
    for (auto& [id, log] : m_logs)
        close_log(*log);
}

void TabLogs::write_out(Log& log) {
    std::string reason;
    {
        std::lock_guard io(log.io);
        std::string text;
        {
            std::lock_guard lock(log.lock);
            text.swap(log.pending);
        }
        if (!log.file || text.empty()) return;
        if (std::fwrite(text.data(), 1, text.size(), log.file) == text.size() &&
            std::fflush(log.file) == 0) {
            return;
        }
        reason = std::strerror(errno);
        log::warn("tab_log",
                  platform::path_to_utf8(log.path) + ": write failed (" + reason + "); log ended");
        std::fclose(log.file);
        log.file = nullptr;
        std::lock_guard lock(log.lock);
        log.closed = true;
        log.pending.clear();
    }
    if (m_on_failure && !m_ending) m_on_failure(log.tab_id, log.path, reason);
}

void TabLogs::close_log(Log& log) {
    write_out(log);
    std::lock_guard io(log.io);
    if (log.file) std::fclose(log.file);
    log.file = nullptr;
    std::lock_guard lock(log.lock);
    log.closed = true;
}

void TabLogs::flusher() {
    std::unique_lock lock(m_lock);
    while (!m_stopping) {
        if (m_logs.empty()) {
            m_wake.wait(lock, [&] { return m_stopping || !m_logs.empty(); });
            continue;
        }
        m_wake.wait_for(lock, FLUSH_EVERY, [&] { return m_stopping || m_flush_asked; });
        m_flush_asked = false;
        std::vector<std::shared_ptr<Log>> logs;
        for (const auto& [id, log] : m_logs)
            logs.push_back(log);
        lock.unlock();
        for (const auto& log : logs)
            write_out(*log);
        lock.lock();
    }
}

void TabLogs::start(const std::string& tab_id, const fs::path& path, bool timestamps) {
    if (path.empty()) throw std::runtime_error("no file name");
    std::error_code ec;
    if (path.has_parent_path()) fs::create_directories(path.parent_path(), ec);
    if (ec)
        throw std::runtime_error(platform::path_to_utf8(path.parent_path()) + ": " + ec.message());
    auto log = std::make_shared<Log>();
    log->tab_id = tab_id;
    // Owner-only from the start: the file holds everything the tab showed (passwords
    // typed where a program echoed them, say).
    log->file = platform::open_private_for_append(path);
    if (!log->file) {
        const std::string reason = std::strerror(errno);
        throw std::runtime_error(platform::path_to_utf8(path) + ": " + reason);
    }
    log->path = path;
    log->timestamps = timestamps;
    std::shared_ptr<Log> previous;
    {
        std::lock_guard lock(m_lock);
        auto& slot = m_logs[tab_id];
        previous = std::move(slot);
        slot = std::move(log);
        if (!previous) ++m_count;
        if (!m_flusher.joinable()) m_flusher = std::thread([this] { flusher(); });
    }
    m_wake.notify_all();
    if (previous) close_log(*previous);
}

bool TabLogs::stop(const std::string& tab_id) {
    std::shared_ptr<Log> log;
    {
        std::lock_guard lock(m_lock);
        auto it = m_logs.find(tab_id);
        if (it == m_logs.end()) return false;
        log = std::move(it->second);
        m_logs.erase(it);
        --m_count;
    }
    close_log(*log);
    return true;
}

nlohmann::json TabLogs::status(const std::string& tab_id) const {
    std::shared_ptr<Log> log;
    {
        std::lock_guard lock(m_lock);
        if (auto it = m_logs.find(tab_id); it != m_logs.end()) log = it->second;
    }
    if (!log) return {{"logging", false}, {"path", ""}, {"timestamps", false}};
    std::lock_guard file_lock(log->lock);
    return {{"logging", !log->closed},
            {"path", platform::path_to_utf8(log->path)},
            {"timestamps", log->timestamps}};
}

void TabLogs::write(const std::string& tab_id, std::string_view text) {
    if (m_count.load(std::memory_order_relaxed) == 0 || text.empty()) return;
    std::shared_ptr<Log> log;
    {
        std::lock_guard lock(m_lock);
        if (auto it = m_logs.find(tab_id); it != m_logs.end()) log = it->second;
    }
    if (!log) return;
    std::size_t waiting = 0;
    {
        std::lock_guard file_lock(log->lock);
        if (log->closed) return;
        if (!log->timestamps) {
            log->pending.append(text);
        } else {
            // One stamp per line, taken when the line's first character arrives.
            const std::string stamp = stamp_now();
            std::size_t pos = 0;
            while (pos < text.size()) {
                if (log->at_line_start) {
                    log->pending += stamp;
                    log->at_line_start = false;
                }
                const std::size_t nl = text.find('\n', pos);
                const std::size_t end = nl == std::string_view::npos ? text.size() : nl + 1;
                log->pending.append(text.data() + pos, end - pos);
                if (nl != std::string_view::npos) log->at_line_start = true;
                pos = end;
            }
        }
        waiting = log->pending.size();
    }
    if (waiting >= MAX_PENDING) {
        write_out(*log);  // the disk is behind: wait for it rather than hold more
    } else if (waiting >= FLUSH_BYTES) {
        {
            std::lock_guard lock(m_lock);
            m_flush_asked = true;
        }
        m_wake.notify_all();
    }
}

fs::path TabLogs::default_path(const fs::path& folder, const std::string& caption) {
    std::string name;
    for (unsigned char c : caption) {
        // Anything a file system may refuse or read as a path becomes "_".
        const bool bad = c < 0x20 || c == 0x7f || std::strchr("/\\:*?\"<>|", c) != nullptr;
        name += bad ? '_' : static_cast<char>(c);
    }
    while (!name.empty() && (name.back() == ' ' || name.back() == '.'))
        name.pop_back();
    if (name.empty() || name[0] == '.') name.insert(0, "tab");
    if (name.size() > 80) {
        name.resize(80);
        // Not in the middle of a character.
        while (!name.empty() && (static_cast<unsigned char>(name.back()) & 0xC0) == 0x80)
            name.pop_back();
        if (!name.empty() && static_cast<unsigned char>(name.back()) >= 0xC0) name.pop_back();
    }
    const std::time_t now = std::time(nullptr);
    const std::tm local = platform::local_time(now);
    char when[32];
    std::strftime(when, sizeof when, "%Y%m%d-%H%M%S", &local);
    return folder / (name + "-" + when + ".log");
}

std::string TabLogs::stamp_now() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t secs = std::chrono::system_clock::to_time_t(now);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    const std::tm local = platform::local_time(secs);
    char text[48];
    const std::size_t n = std::strftime(text, sizeof text, "[%Y-%m-%d %H:%M:%S", &local);
    std::snprintf(text + n, sizeof text - n, ".%03d] ", static_cast<int>(ms));
    return text;
}

}  // namespace termiva
