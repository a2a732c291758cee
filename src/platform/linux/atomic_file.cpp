#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <random>
#include <system_error>

#include "platform/atomic_file.h"

namespace termiva::platform {

namespace {

[[noreturn]] void fail(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

struct FdCloser {
    int fd;
    ~FdCloser() {
        if (fd >= 0) ::close(fd);
    }
};

}  // namespace

void write_file_atomically(const std::filesystem::path& path, std::string_view content,
                           bool owner_only) {
    std::random_device rd;
    std::filesystem::path tmp = path;
    tmp += ".tmp" + std::to_string(rd() % 1000000);
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, owner_only ? 0600 : 0644);
    if (fd < 0) fail("open " + tmp.string());
    FdCloser closer{fd};
    const char* p = content.data();
    std::size_t left = content.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            int saved = errno;
            ::unlink(tmp.c_str());
            errno = saved;
            fail("write " + tmp.string());
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    if (::fsync(fd) != 0 || ::close(fd) != 0) {
        closer.fd = -1;
        int saved = errno;
        ::unlink(tmp.c_str());
        errno = saved;
        fail("sync " + tmp.string());
    }
    closer.fd = -1;
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
        int saved = errno;
        ::unlink(tmp.c_str());
        errno = saved;
        fail("rename " + tmp.string());
    }
}

}  // namespace termiva::platform
