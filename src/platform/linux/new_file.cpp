#include "platform/new_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace termiva::platform {

std::FILE* create_new_file(const std::filesystem::path& path) {
    // "x" is O_EXCL: the open fails rather than follow a link or reuse a file.
    return std::fopen(path.c_str(), "wbx");
}

std::FILE* open_private_for_append(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) return nullptr;
    std::FILE* file = ::fdopen(fd, "ab");
    if (!file) {
        const int err = errno;
        ::close(fd);
        errno = err;
    }
    return file;
}

bool create_private_file(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

}  // namespace termiva::platform
