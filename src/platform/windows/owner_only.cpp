#include "platform/windows/owner_only.h"

#include <aclapi.h>
#include <sddl.h>

#include <string>

#include "platform/utf8_path.h"
#include "platform/windows/win_error.h"

namespace termiva::platform::windows {

namespace fs = std::filesystem;

namespace {

struct HandleCloser {
    HANDLE h;
    ~HandleCloser() {
        if (h) ::CloseHandle(h);
    }
};

// The current user's SID as text ("S-1-5-21-…").
std::wstring user_sid_text() {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token))
        throw last_error("cannot open the process token");
    HandleCloser closer{token};
    DWORD size = 0;
    ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::string buf(size, '\0');
    if (size == 0 || !::GetTokenInformation(token, TokenUser, buf.data(), size, &size))
        throw last_error("cannot read the current user");
    const auto* user = reinterpret_cast<const TOKEN_USER*>(buf.data());
    wchar_t* text = nullptr;
    if (!::ConvertSidToStringSidW(user->User.Sid, &text)) throw last_error("cannot name the user");
    std::wstring out(text);
    ::LocalFree(text);
    return out;
}

bool is_trusted(PSID sid, PSID user) {
    return ::EqualSid(sid, user) || ::IsWellKnownSid(sid, WinLocalSystemSid) ||
           ::IsWellKnownSid(sid, WinBuiltinAdministratorsSid);
}

}  // namespace

SecurityDescriptor owner_only_descriptor(bool folder) {
    // D:P — a protected DACL; FA — full access; OICI — inherited by files and folders.
    const std::wstring sddl =
        L"D:P(A;" + std::wstring(folder ? L"OICI" : L"") + L";FA;;;" + user_sid_text() + L")";
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &sd,
                                                                nullptr))
        throw last_error("cannot build an owner-only access list");
    return SecurityDescriptor(sd);
}

bool open_to_others(const fs::path& path) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    const DWORD rc =
        ::GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                nullptr, &dacl, nullptr, &sd);
    if (rc != ERROR_SUCCESS) return false;  // nothing to narrow that we could see
    SecurityDescriptor owned(sd);
    if (!dacl) return true;  // a null DACL lets everyone in
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    HandleCloser closer{token};
    DWORD size = 0;
    ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::string buf(size, '\0');
    if (size == 0 || !::GetTokenInformation(token, TokenUser, buf.data(), size, &size))
        return false;
    PSID user = reinterpret_cast<const TOKEN_USER*>(buf.data())->User.Sid;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        if (!::GetAce(dacl, i, &ace)) continue;
        const auto* header = static_cast<const ACE_HEADER*>(ace);
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
        // An entry only inherited by children (INHERIT_ONLY) grants nothing on this object.
        if (header->AceFlags & INHERIT_ONLY_ACE) continue;
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        if (!is_trusted(reinterpret_cast<PSID>(&allowed->SidStart), user)) return true;
    }
    return false;
}

void narrow_to_owner(const fs::path& path, bool folder) {
    SecurityDescriptor sd = owner_only_descriptor(folder);
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    ::GetSecurityDescriptorDacl(sd.get(), &present, &dacl, &defaulted);
    const DWORD rc =
        ::SetNamedSecurityInfoW(const_cast<wchar_t*>(path.c_str()), SE_FILE_OBJECT,
                                DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                nullptr, nullptr, dacl, nullptr);
    if (rc != ERROR_SUCCESS)
        throw std::system_error(
            errno_of(rc), std::generic_category(),
            "cannot make " + path_to_utf8(path) + " owner-only: " + message_of(rc));
}

}  // namespace termiva::platform::windows
