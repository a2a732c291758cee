// Files and folders only their owner may open. On Windows that is a protected access list
// (nothing inherited from the folder above) with one entry: the user running the program.
#pragma once

#include <windows.h>

#include <filesystem>
#include <memory>

namespace termiva::platform::windows {

// A security descriptor granting full control to the current user alone; for folders the
// entry is inherited by what is created inside. Freed by LocalFree.
struct LocalFreeDeleter {
    void operator()(void* p) const noexcept { ::LocalFree(p); }
};
using SecurityDescriptor = std::unique_ptr<void, LocalFreeDeleter>;
SecurityDescriptor owner_only_descriptor(bool folder);

// True when the access list of `path` allows anyone besides the current user, the
// system account and the administrators in (or has no access list, which allows all).
bool open_to_others(const std::filesystem::path& path);

// Replaces the access list of `path` by the owner-only one. Throws std::system_error.
void narrow_to_owner(const std::filesystem::path& path, bool folder);

}  // namespace termiva::platform::windows
