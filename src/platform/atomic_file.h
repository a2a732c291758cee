// Writing a file so that a crash, a full disk or a read-only folder never loses the
// previous version, and the data folder that holds the user's files.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

namespace termiva::platform {

// A write that did not happen. The previous file (if any) is untouched and no temporary
// file is left; what() names the file and the reason ("No space left on device").
class WriteError : public std::system_error {
public:
    WriteError(int error, const std::filesystem::path& path, const std::string& step);
    const std::filesystem::path& path() const noexcept { return m_path; }

private:
    std::filesystem::path m_path;
};

// Writes `content` to a temporary file in the same folder, syncs it, renames it over
// `path` and syncs the folder, so either the old or the new content is there after a
// crash. The file is owner-only (0600, set on the temporary file before the rename, so
// it is never readable by others) unless `owner_only` is false, when the umask decides
// (0644 with the usual umask). Throws WriteError.
void write_file_atomically(const std::filesystem::path& path, std::string_view content,
                           bool owner_only = true);

// For a file that grows by appends (known hosts) rather than whole rewrites: creates
// `path` owner-only (0600) when it is missing, or narrows an existing one open to group
// or others to 0600 (returns true then, so the caller can say so). Nothing is written;
// whoever appends next finds the file private already. Throws WriteError.
bool make_private_file(const std::filesystem::path& path);

// Appends `content` to `path` (created 0600, or narrowed first as make_private_file does)
// with one write, then syncs it, so appends from other writers are not interleaved.
// Throws WriteError.
void append_to_private_file(const std::filesystem::path& path, std::string_view content);

// Creates `dir` (and missing parents) for data only its owner may see: the folder
// itself gets mode 0700. An existing folder open to group or others is narrowed to
// 0700; returns true then, so the caller can say so. Throws std::system_error when the
// folder cannot be made or narrowed.
bool make_private_folder(const std::filesystem::path& dir);

// Renames `file` to `<file>.<tag>`, or `<file>.<tag>-2`, `-3` ... when that name is
// taken: an earlier file set aside is never replaced. Returns the new name; throws
// std::system_error when the file cannot be renamed (it then stays where it was).
std::filesystem::path set_aside(const std::filesystem::path& file, const std::string& tag);

}  // namespace termiva::platform
