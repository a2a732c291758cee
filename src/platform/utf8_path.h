// File names as the program's own text: UTF-8 in, UTF-8 out, on every system.
//
// On Windows a std::filesystem::path built from a narrow string is read in the ANSI code
// page, so "格式範本" would name a folder that does not exist; every path made from our
// text goes through path_from_utf8, and every path shown or stored goes through
// path_to_utf8.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace termiva::platform {

// The path that UTF-8 text names. Bytes that are not UTF-8 (a name read from an old file)
// become U+FFFD on Windows, where a file name is UTF-16; on Linux they pass unchanged.
std::filesystem::path path_from_utf8(std::string_view utf8);

// The path as UTF-8 text. A Windows name holding an unpaired surrogate (which NTFS allows)
// comes back with U+FFFD in its place.
std::string path_to_utf8(const std::filesystem::path& path);

// The name to hand a C library that opens files by a narrow name (libssh's fopen of its
// known-hosts file): the path's own bytes on Linux. On Windows a narrow name is read in the
// ANSI code page: the name in that code page, or where the path holds a character outside
// it, the short (8.3) form of the part that exists with the rest appended; "" when neither
// can name it.
std::string path_for_narrow_api(const std::filesystem::path& path);

}  // namespace termiva::platform
