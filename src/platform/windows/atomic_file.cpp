// Replacing a store on Windows: the new content goes to a temporary file beside the old
// one, created owner-only (its access list is set when the file is created, so it is never
// readable by others), flushed to the disk, and moved over the old name with
// MoveFileExW(MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH), which returns only once
// the rename is on the disk. ReplaceFileW is not used: it gives the new file the old
// file's access list, so a store once readable by others would stay that way.
#include "platform/atomic_file.h"

#include <windows.h>

#include <cerrno>
#include <random>
#include <thread>

#include "platform/utf8_path.h"
#include "platform/windows/owner_only.h"
#include "platform/windows/win_error.h"

namespace termiva::platform {

namespace fs = std::filesystem;

namespace {

std::string describe(const fs::path& path, const std::string& step) {
    return "cannot write " + path_to_utf8(path) + " (" + step + ")";
}

[[noreturn]] void fail(const fs::path& path, const std::string& step) {
    throw WriteError(windows::errno_of(::GetLastError()), path, step);
}

class Handle {
public:
    explicit Handle(HANDLE h = INVALID_HANDLE_VALUE) : m_h(h) {}
    ~Handle() { close(); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE get() const { return m_h; }
    void reset(HANDLE h) {
        close();
        m_h = h;
    }
    bool valid() const { return m_h != INVALID_HANDLE_VALUE; }
    bool close() {
        if (!valid()) return true;
        const bool ok = ::CloseHandle(m_h) != 0;
        m_h = INVALID_HANDLE_VALUE;
        return ok;
    }

private:
    HANDLE m_h;
};

HANDLE create_file(const fs::path& path, DWORD access, DWORD disposition, bool owner_only) {
    windows::SecurityDescriptor sd;
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, FALSE};
    if (owner_only) {
        sd = windows::owner_only_descriptor(false);
        sa.lpSecurityDescriptor = sd.get();
    }
    // Others may read or rename the file while we hold it (a backup, an indexer); nobody
    // may write it.
    return ::CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_DELETE, &sa,
                         disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

void write_all(HANDLE h, std::string_view content, const fs::path& path, const std::string& step) {
    while (!content.empty()) {
        const DWORD chunk =
            content.size() > (1u << 30) ? (1u << 30) : static_cast<DWORD>(content.size());
        DWORD put = 0;
        if (!::WriteFile(h, content.data(), chunk, &put, nullptr)) fail(path, step);
        content.remove_prefix(put);
    }
}

// A virus scanner or the search indexer may hold the old file open for a moment without
// sharing delete access; the rename then fails with a sharing or access error. Retrying
// for a short while is what Windows programs do about it.
bool move_replacing(const fs::path& from, const fs::path& to) {
    for (int attempt = 0;; ++attempt) {
        if (::MoveFileExW(from.c_str(), to.c_str(),
                          MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            return true;
        const DWORD err = ::GetLastError();
        if ((err != ERROR_SHARING_VIOLATION && err != ERROR_ACCESS_DENIED) || attempt == 20)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ::SetLastError(err);
    }
}

}  // namespace

WriteError::WriteError(int error, const fs::path& path, const std::string& step)
    : std::system_error(error, std::generic_category(), describe(path, step)), m_path(path) {}

void write_file_atomically(const fs::path& path, std::string_view content, bool owner_only) {
    std::random_device rd;
    fs::path tmp;
    Handle file;
    for (int attempt = 0; attempt < 16 && !file.valid(); ++attempt) {
        tmp = path.parent_path() /
              (L"." + path.filename().native() + L".tmp" + std::to_wstring(rd() % 100000000));
        file.reset(create_file(tmp, GENERIC_WRITE, CREATE_NEW, owner_only));
        if (!file.valid() && ::GetLastError() != ERROR_FILE_EXISTS) break;
    }
    if (!file.valid()) fail(path, "create a temporary file beside it");
    struct Remover {
        const fs::path& tmp;
        bool moved = false;
        ~Remover() {
            if (!moved) ::DeleteFileW(tmp.c_str());
        }
    } remover{tmp};
    // Hidden like a dot file on Linux: nobody should open it from the folder view.
    ::SetFileAttributesW(tmp.c_str(), FILE_ATTRIBUTE_HIDDEN);

    write_all(file.get(), content, path, "write the temporary file");
    if (!::FlushFileBuffers(file.get())) fail(path, "flush the temporary file");
    if (!file.close()) fail(path, "close the temporary file");
    if (!::SetFileAttributesW(tmp.c_str(), FILE_ATTRIBUTE_NORMAL))
        fail(path, "show the temporary file");
    if (!move_replacing(tmp, path)) fail(path, "rename the temporary file over it");
    remover.moved = true;
}

namespace {

// Opens `path` for appending, creating it owner-only; an existing file that others may
// open is narrowed first. `narrowed` says so.
HANDLE open_private(const fs::path& path, bool& narrowed) {
    narrowed = false;
    std::error_code ec;
    if (fs::exists(path, ec) && !fs::is_regular_file(path, ec))
        throw WriteError(EINVAL, path, "look at it");
    if (fs::exists(path, ec) && windows::open_to_others(path)) {
        try {
            windows::narrow_to_owner(path, false);
        } catch (const std::system_error& e) {
            throw WriteError(e.code().value(), path, "make it owner-only");
        }
        narrowed = true;
    }
    HANDLE h = create_file(path, FILE_APPEND_DATA | SYNCHRONIZE, OPEN_ALWAYS, true);
    if (h == INVALID_HANDLE_VALUE) fail(path, "open it owner-only");
    return h;
}

}  // namespace

bool make_private_file(const fs::path& path) {
    bool narrowed = false;
    ::CloseHandle(open_private(path, narrowed));
    return narrowed;
}

void append_to_private_file(const fs::path& path, std::string_view content) {
    bool narrowed = false;
    Handle file(open_private(path, narrowed));
    // FILE_APPEND_DATA without FILE_WRITE_DATA: every write lands at the end of the file,
    // whoever else appended meanwhile.
    write_all(file.get(), content, path, "append to it");
    if (!::FlushFileBuffers(file.get())) fail(path, "sync it");
}

bool make_private_folder(const fs::path& dir) {
    std::error_code ec;
    if (!fs::is_directory(dir, ec)) {
        if (!dir.parent_path().empty()) fs::create_directories(dir.parent_path());
        windows::SecurityDescriptor sd = windows::owner_only_descriptor(true);
        SECURITY_ATTRIBUTES sa{sizeof sa, sd.get(), FALSE};
        if (!::CreateDirectoryW(dir.c_str(), &sa) && ::GetLastError() != ERROR_ALREADY_EXISTS)
            throw windows::last_error("cannot create " + path_to_utf8(dir));
        if (!fs::is_directory(dir, ec))
            throw std::system_error(ENOTDIR, std::generic_category(), path_to_utf8(dir));
        return false;
    }
    if (!windows::open_to_others(dir)) return false;
    windows::narrow_to_owner(dir, true);
    return true;
}

fs::path set_aside(const fs::path& file, const std::string& tag) {
    const std::wstring wide_tag = path_from_utf8(tag).native();
    for (int n = 1; n < 1000; ++n) {
        fs::path target = file;
        target += L"." + wide_tag + (n > 1 ? L"-" + std::to_wstring(n) : std::wstring());
        // Without MOVEFILE_REPLACE_EXISTING an existing name is refused, never replaced.
        if (::MoveFileExW(file.c_str(), target.c_str(), MOVEFILE_WRITE_THROUGH)) return target;
        const DWORD err = ::GetLastError();
        if (err != ERROR_ALREADY_EXISTS && err != ERROR_FILE_EXISTS) {
            ::SetLastError(err);
            break;
        }
    }
    throw windows::last_error("cannot set aside " + path_to_utf8(file));
}

}  // namespace termiva::platform
