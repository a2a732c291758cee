// PuTTY on Windows keeps each saved session as a registry key: texts as REG_SZ (written
// through the ANSI API, so the registry holds them as UTF-16 already converted from the
// user's code page: UTF-8 from that UTF-16 is the text PuTTY showed), numbers as REG_DWORD.
// Keys are opened with KEY_READ only; nothing here writes.
#include "platform/windows/putty_registry.h"

#include <windows.h>

#include <charconv>
#include <cstring>

#include "platform/log.h"
#include "platform/windows/wide_text.h"

namespace termiva::platform::windows {

namespace {

// A session value is a few hundred bytes at most; anything far larger is not PuTTY's.
constexpr DWORD MAX_VALUE_BYTES = 1024 * 1024;

std::optional<long long> whole_integer(const std::string& text) {
    long long number = 0;
    const char* end = text.data() + text.size();
    auto [stop, error] = std::from_chars(text.data(), end, number);
    if (text.empty() || error != std::errc() || stop != end) return std::nullopt;
    return number;
}

class Key {
public:
    Key(HKEY parent, const std::wstring& path) {
        if (::RegOpenKeyExW(parent, path.c_str(), 0, KEY_READ, &m_key) != ERROR_SUCCESS)
            m_key = nullptr;
    }
    ~Key() {
        if (m_key) ::RegCloseKey(m_key);
    }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    HKEY get() const { return m_key; }

private:
    HKEY m_key = nullptr;
};

class RegistrySession : public PuttySession {
public:
    RegistrySession(const std::wstring& path) : m_key(HKEY_CURRENT_USER, path) {}
    bool opened() const { return m_key.get() != nullptr; }

    std::optional<PuttyValue> value(const std::string& name, PuttyValueKind kind) const override {
        const std::wstring wide = to_utf16(name);
        DWORD type = 0, size = 0;
        if (::RegQueryValueExW(m_key.get(), wide.c_str(), nullptr, &type, nullptr, &size) !=
                ERROR_SUCCESS ||
            size > MAX_VALUE_BYTES)
            return std::nullopt;
        std::string raw(size + 2 * sizeof(wchar_t), '\0');
        DWORD got = size;
        if (::RegQueryValueExW(m_key.get(), wide.c_str(), nullptr, &type,
                               reinterpret_cast<BYTE*>(raw.data()), &got) != ERROR_SUCCESS)
            return std::nullopt;
        raw.resize(got);
        if (type == REG_DWORD && got == sizeof(DWORD)) {
            DWORD number = 0;
            std::memcpy(&number, raw.data(), sizeof number);
            return PuttyValue(static_cast<long long>(number));
        }
        if (type == REG_SZ || type == REG_EXPAND_SZ) {
            std::wstring text(got / sizeof(wchar_t), L'\0');
            std::memcpy(text.data(), raw.data(), text.size() * sizeof(wchar_t));
            // Stored with its terminating NUL, or without it by a careless writer.
            while (!text.empty() && text.back() == L'\0')
                text.pop_back();
            std::string utf8 = to_utf8(text);
            if (kind == PuttyValueKind::integer) {
                if (auto number = whole_integer(utf8)) return PuttyValue(*number);
            }
            return PuttyValue(std::move(utf8));
        }
        return std::nullopt;  // a type PuTTY never writes
    }

private:
    Key m_key;
};

class RegistryStore : public PuttySessionStore {
public:
    explicit RegistryStore(std::wstring path) : m_path(std::move(path)) {}

    std::vector<std::string> session_names() const override {
        std::vector<std::string> names;
        Key key(HKEY_CURRENT_USER, m_path);
        if (!key.get()) return names;  // PuTTY creates the key on its first save
        for (DWORD i = 0;; ++i) {
            wchar_t name[256];  // the longest key name the registry allows is 255
            DWORD length = 256;
            const LONG rc =
                ::RegEnumKeyExW(key.get(), i, name, &length, nullptr, nullptr, nullptr, nullptr);
            if (rc == ERROR_NO_MORE_ITEMS) break;
            if (rc != ERROR_SUCCESS) {
                log::warn("putty", "listing the registry's sessions stopped (error " +
                                       std::to_string(rc) + ")");
                break;
            }
            names.push_back(to_utf8(std::wstring(name, length)));
        }
        return names;
    }

    std::unique_ptr<PuttySession> open_session(const std::string& escaped_name) const override {
        // A backslash would reach a key outside the sessions.
        if (escaped_name.empty() || escaped_name.find('\\') != std::string::npos) return nullptr;
        auto session = std::make_unique<RegistrySession>(m_path + L"\\" + to_utf16(escaped_name));
        if (!session->opened()) return nullptr;
        return session;
    }

private:
    std::wstring m_path;
};

}  // namespace

std::shared_ptr<PuttySessionStore> putty_registry_store(std::wstring key_path) {
    return std::make_shared<RegistryStore>(std::move(key_path));
}

}  // namespace termiva::platform::windows

namespace termiva::platform {

std::shared_ptr<PuttySessionStore> default_putty_session_store() {
    return windows::putty_registry_store(windows::kPuttySessionsKey);
}

}  // namespace termiva::platform
