#include "platform/new_file.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cerrno>

namespace termiva::platform {

std::FILE* create_new_file(const std::filesystem::path& path) {
    // CREATE_NEW fails on an existing name; not inherited by the programs we start.
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        DWORD err = GetLastError();
        errno = (err == ERROR_FILE_EXISTS || err == ERROR_ALREADY_EXISTS) ? EEXIST
                : err == ERROR_ACCESS_DENIED                              ? EACCES
                : err == ERROR_PATH_NOT_FOUND                             ? ENOENT
                                                                          : EIO;
        return nullptr;
    }
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_WRONLY | _O_BINARY);
    if (fd == -1) {
        CloseHandle(h);
        errno = EIO;
        return nullptr;
    }
    std::FILE* file = _fdopen(fd, "wb");
    if (!file) _close(fd);
    return file;
}

}  // namespace termiva::platform
