// A file that did not exist before: created for writing, never opened when the name is
// taken (a received file's temporary must not be someone else's file).
#pragma once

#include <cstdio>
#include <filesystem>

namespace termiva::platform {

// The new file open for binary writing, or nullptr with errno set (EEXIST when the name
// was taken). The caller fcloses it.
std::FILE* create_new_file(const std::filesystem::path& path);

// A file only its owner may open (it holds secrets or everything a tab showed), open for
// appending in binary; made when missing, kept as it is when there. nullptr with errno set
// when it cannot be opened. The caller fcloses it.
std::FILE* open_private_for_append(const std::filesystem::path& path);

// Makes the file, empty and owner-only from its first moment, for another program to fill.
// False when the name was taken or the file cannot be made.
bool create_private_file(const std::filesystem::path& path);

}  // namespace termiva::platform
