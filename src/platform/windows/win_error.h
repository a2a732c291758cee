// Win32 error codes as the rest of the program reports errors: the errno value the
// portable layers compare with, and the system's own text for the user.
#pragma once

#include <string>
#include <system_error>

namespace termiva::platform::windows {

// The errno value that means the same (ENOSPC for ERROR_DISK_FULL ...), EIO when none does.
int errno_of(unsigned long win32_error);
// The system's text for the error ("The system cannot find the file specified."), without
// the trailing line break; "error N" when the system has none.
std::string message_of(unsigned long win32_error);
// A std::system_error for GetLastError(), its text "`what`: <system's text>".
std::system_error last_error(const std::string& what);

}  // namespace termiva::platform::windows
