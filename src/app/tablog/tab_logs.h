// Logging a tab to a file: the tab's decoded output, exactly as the page is given it
// (line ends already translated), appended to a file the user chose or one in the data
// folder's "logs". The program writes it as the output arrives, so a slow or hidden page,
// a tab in the background or the output cap loses nothing of the log.
//
// Owns: the open log of each tab (file, path, the timestamp option, whether the next
// character starts a line).
// Called from: reader threads (`write`, through the output path), bridge workers
// (`start`, `stop`, `status`), closing a tab (`stop`).
// Lock: `m_lock`, a leaf, guards the table; each log has its own `lock`, held while a chunk
// is written (one writer per tab, so only start/stop ever wait on it).
#pragma once

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace termiva {

class TabLogs {
public:
    TabLogs() = default;
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
        std::mutex lock;
        std::FILE* file = nullptr;
        std::filesystem::path path;
        bool timestamps = false;
        bool at_line_start = true;
    };
    static void close_log(Log& log);

    mutable std::mutex m_lock;
    std::map<std::string, std::shared_ptr<Log>> m_logs;
    std::atomic<int> m_count{0};  // lets the output path skip the table when nothing logs
};

}  // namespace termiva
