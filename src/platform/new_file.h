// A file that did not exist before: created for writing, never opened when the name is
// taken (a received file's temporary must not be someone else's file).
#pragma once

#include <cstdio>
#include <filesystem>

namespace termiva::platform {

// The new file open for binary writing, or nullptr with errno set (EEXIST when the name
// was taken). The caller fcloses it.
std::FILE* create_new_file(const std::filesystem::path& path);

}  // namespace termiva::platform
