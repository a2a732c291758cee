#include <windows.h>

#include <string>

#include "module_dir.h"

namespace flashwright::detail {
namespace {

// Any symbol of this module; its address tells Windows which DLL we were loaded from.
void module_anchor() {}

}  // namespace

std::filesystem::path default_stub_dir() {
    HMODULE module = nullptr;
    if (GetModuleHandleExW(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            reinterpret_cast<LPCWSTR>(&module_anchor), &module)) {
        // Long enough for any path Windows gives back; a cut name is not used.
        std::wstring name(32768, L'\0');
        DWORD n = GetModuleFileNameW(module, name.data(), static_cast<DWORD>(name.size()));
        if (n > 0 && n < name.size()) {
            name.resize(n);
            // Built from the wide name: a narrow one would be read in the ANSI code page.
            return std::filesystem::path(name).parent_path() / L"esp_stubs";
        }
    }
    return std::filesystem::path(L"esp_stubs");
}

}  // namespace flashwright::detail
