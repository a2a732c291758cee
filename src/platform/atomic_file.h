// Writing a file so that a crash mid-write never loses the previous version.
#pragma once

#include <filesystem>
#include <string_view>

namespace termiva::platform {

// Writes `content` to a temporary file in the same folder, flushes it to disk and
// renames it over `path`. Throws std::system_error on failure (the old file stays).
// `owner_only` creates the file with mode 0600 (for secrets).
void write_file_atomically(const std::filesystem::path& path, std::string_view content,
                           bool owner_only = false);

}  // namespace termiva::platform
