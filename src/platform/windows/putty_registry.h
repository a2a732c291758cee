// PuTTY's saved sessions in the registry: one subkey per session under a key of the
// current user's hive, read only.
#pragma once

#include <memory>
#include <string>

#include "platform/putty_sessions.h"

namespace termiva::platform::windows {

// PuTTY's own key.
inline constexpr const wchar_t* kPuttySessionsKey = L"Software\\SimonTatham\\PuTTY\\Sessions";

// The store whose sessions are the subkeys of HKEY_CURRENT_USER\`key_path`.
std::shared_ptr<PuttySessionStore> putty_registry_store(std::wstring key_path);

}  // namespace termiva::platform::windows
