// Diagnostics: one flushed line per call on standard error, and in a file when the user
// has turned diagnostics on. A line reads
//   [component] message (warn, thread 1a2b)
// so the bracketed tag comes first, as the lines grepped for in the field always did. A
// component given as "name:" is written that way instead ("load_sessions: …").
// Safe from any thread; never throws.
#pragma once

#include <filesystem>
#include <string_view>

namespace termiva::log {

enum class Level { debug, info, warn, error };

// Debug lines go to the file only; the others to standard error and the file.
void write(Level level, std::string_view component, std::string_view message) noexcept;

inline void debug(std::string_view component, std::string_view message) noexcept {
    write(Level::debug, component, message);
}
inline void info(std::string_view component, std::string_view message) noexcept {
    write(Level::info, component, message);
}
inline void warn(std::string_view component, std::string_view message) noexcept {
    write(Level::warn, component, message);
}
inline void error(std::string_view component, std::string_view message) noexcept {
    write(Level::error, component, message);
}

// From now on also append every line to `file` (created 0600). Returns false when the
// file cannot be opened; standard error keeps working either way.
bool set_file(const std::filesystem::path& file) noexcept;

}  // namespace termiva::log
