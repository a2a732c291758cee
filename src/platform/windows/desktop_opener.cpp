// The default browser or mail program on Windows: ShellExecuteExW with the "open" verb on
// the address (already checked by Desktop::open_url), without the shell's own error
// dialogs. The shell hands the address over and returns; there is no child to wait for.
#include "platform/desktop_opener.h"

#include <windows.h>

#include <objbase.h>
#include <shellapi.h>

#include "platform/log.h"
#include "platform/windows/wide_text.h"
#include "platform/windows/win_error.h"

namespace termiva::platform {

bool run_desktop_opener(const std::string& url, std::chrono::milliseconds) {
    // The shell may use COM objects to run the handler: this thread needs an apartment.
    const HRESULT com =
        ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    const std::wstring address = windows::to_utf16(url);
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof info;
    // NOASYNC: the call is complete when it returns (this thread may end right after).
    info.fMask = SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
    info.lpVerb = L"open";
    info.lpFile = address.c_str();
    info.nShow = SW_SHOWNORMAL;
    const bool ok = ::ShellExecuteExW(&info) != FALSE;
    const DWORD err = ok ? ERROR_SUCCESS : ::GetLastError();
    if (SUCCEEDED(com)) ::CoUninitialize();
    if (!ok)
        log::warn("open_url", "the shell could not open the address: " + windows::message_of(err));
    return ok;
}

}  // namespace termiva::platform
