#include "platform/new_file.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cerrno>

#include "platform/windows/owner_only.h"

namespace termiva::platform {

namespace {

void set_errno_from_last_error() {
    const DWORD err = GetLastError();
    errno = (err == ERROR_FILE_EXISTS || err == ERROR_ALREADY_EXISTS) ? EEXIST
            : err == ERROR_ACCESS_DENIED                              ? EACCES
            : err == ERROR_PATH_NOT_FOUND                             ? ENOENT
                                                                      : EIO;
}

// The handle as a C stream that owns it (closing the stream closes the handle).
std::FILE* stream_of(HANDLE h, int flags, const char* mode) {
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), flags | _O_BINARY);
    if (fd == -1) {
        CloseHandle(h);
        errno = EIO;
        return nullptr;
    }
    std::FILE* file = _fdopen(fd, mode);
    if (!file) _close(fd);
    return file;
}

// Owner-only from creation; not inherited by the programs we start.
HANDLE create_private(const std::filesystem::path& path, DWORD access, DWORD disposition) {
    windows::SecurityDescriptor sd = windows::owner_only_descriptor(false);
    SECURITY_ATTRIBUTES sa{sizeof sa, sd.get(), FALSE};
    return CreateFileW(path.c_str(), access, FILE_SHARE_READ, &sa, disposition,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

std::FILE* create_new_file(const std::filesystem::path& path) {
    // CREATE_NEW fails on an existing name; not inherited by the programs we start.
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        set_errno_from_last_error();
        return nullptr;
    }
    return stream_of(h, _O_WRONLY, "wb");
}

std::FILE* open_private_for_append(const std::filesystem::path& path) {
    // FILE_APPEND_DATA alone: every write lands at the end, whoever else appends.
    HANDLE h = create_private(path, FILE_APPEND_DATA, OPEN_ALWAYS);
    if (h == INVALID_HANDLE_VALUE) {
        set_errno_from_last_error();
        return nullptr;
    }
    return stream_of(h, _O_WRONLY | _O_APPEND, "ab");
}

bool create_private_file(const std::filesystem::path& path) {
    HANDLE h = create_private(path, GENERIC_WRITE, CREATE_NEW);
    if (h == INVALID_HANDLE_VALUE) return false;
    CloseHandle(h);
    return true;
}

}  // namespace termiva::platform
