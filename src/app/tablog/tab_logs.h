// Logging a tab to a file: the tab's decoded output, exactly as the page is given it
// (line ends already translated), appended to a file the user chose or one in the data
// folder's "logs". The program writes it as the output arrives, so a slow or hidden page,
// a tab in the background or the output cap loses nothing of the log.
//
// Owns: the open log of each tab (file, path, the timestamp option, whether the next
// character starts a line).
// Called from: reader threads (`write`, through the output path), bridge workers
// (`start`, `stop`, `status`), closing a tab (`stop`), and its own flusher thread.
// Lock: `m_lock`, a leaf, guards the table and the flusher's schedule. Each log has `lock`
// (its pending text, options, closed flag; held only to append or take the text) and `io`
// (the file; held while writing it), taken io first, never the other way round.
//
// The reader only appends to the log's pending text; the flusher thread writes it to the
// file within FLUSH_EVERY, at once when FLUSH_BYTES are waiting, so a flood costs the
// reader a copy, not a system call per chunk. A disk slower than the output makes the
// reader write itself past MAX_PENDING (memory stays bounded, nothing is dropped). The
// flusher sleeps while nothing is logged. A write that fails (a full disk) ends that log
// and is reported through `Ended` (no lock held), so the tab and the page can say so.
// Log files are created owner-only: they hold everything the tab showed.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include <nlohmann/json.hpp>

namespace termiva {

class TabLogs {
public:
    static constexpr std::chrono::milliseconds FLUSH_EVERY{200};
    static constexpr std::size_t FLUSH_BYTES = 256 * 1024;
    static constexpr std::size_t MAX_PENDING = 8 * 1024 * 1024;

    // Called when a log ends on a failed write: the tab, the file and the system's reason.
    using Ended = std::function<void(const std::string& tab_id, const std::filesystem::path& file,
                                     const std::string& reason)>;

    explicit TabLogs(Ended on_failure = {}) : m_on_failure(std::move(on_failure)) {}
    ~TabLogs();
    TabLogs(const TabLogs&) = delete;
    TabLogs& operator=(const TabLogs&) = delete;

    // Starts (or restarts, with the new choice) the log of `tab_id`, appending to `path`.
    // Folders on the way are created. Throws std::runtime_error with a readable reason.
    void start(const std::string& tab_id, const std::filesystem::path& path, bool timestamps);
    // True when the tab was being logged.
    bool stop(const std::string& tab_id);
    // {"logging": bool, "path": text, "timestamps": bool}
    nlohmann::json status(const std::string& tab_id) const;
    // Appends shown output of the tab; nothing when the tab is not logged. A failed write
    // ends the log (logged once), never the tab.
    void write(const std::string& tab_id, std::string_view text);

    // "logs/<caption>-<local time>.log" under `folder`, the caption made safe as a name.
    static std::filesystem::path default_path(const std::filesystem::path& folder,
                                              const std::string& caption);
    // "[YYYY-MM-DD HH:MM:SS.mmm] ", local time: what starts each line with timestamps on.
    static std::string stamp_now();

private:
    struct Log {
        std::string tab_id;
        std::mutex io;
        std::FILE* file = nullptr;  // under io
        std::mutex lock;
        std::string pending;  // under lock, and the fields below
        std::filesystem::path path;
        bool timestamps = false;
        bool at_line_start = true;
        bool closed = false;
    };
    // What is pending to the file; a failure ends the log and is reported (not once the
    // destructor has begun). Takes `io`, then `lock`, and calls `m_on_failure` with
    // neither held.
    void write_out(Log& log);
    // Writes what is pending and closes the file.
    void close_log(Log& log);
    void flusher();

    const Ended m_on_failure;
    std::atomic<bool> m_ending{false};  // the destructor has begun: failures go unreported
    mutable std::mutex m_lock;
    std::map<std::string, std::shared_ptr<Log>> m_logs;
    std::atomic<int> m_count{0};  // lets the output path skip the table when nothing logs
    std::condition_variable m_wake;
    bool m_stopping = false;     // guarded by m_lock
    bool m_flush_asked = false;  // guarded by m_lock
    std::thread m_flusher;       // started with the first log, joined by the destructor
};

}  // namespace termiva
