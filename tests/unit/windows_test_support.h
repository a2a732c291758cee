// Test-only: what the Windows tests need to know about where they run. Never shipped.
#pragma once

#include <windows.h>

#include <string>

namespace termiva::test {

// Wine's version ("8.0") when the test runs under Wine, else empty. Used only to skip a
// check whose Windows behaviour Wine does not have, with the reason given.
inline std::string wine_version() {
    HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    if (!ntdll) return {};
    using Fn = const char*(__cdecl*)();
    auto fn =
        reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(ntdll, "wine_get_version")));
    return fn ? std::string(fn()) : std::string();
}

}  // namespace termiva::test
