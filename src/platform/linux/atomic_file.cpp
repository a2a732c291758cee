#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <random>

#include "platform/atomic_file.h"

namespace termiva::platform {

namespace fs = std::filesystem;

namespace {

std::string describe(const fs::path& path, const std::string& step) {
    return "cannot write " + path.string() + " (" + step + ")";
}

// Closes the temporary file and removes it unless the rename made it the real one.
class TempFile {
public:
    explicit TempFile(fs::path path) : m_path(std::move(path)) {}
    ~TempFile() {
        if (m_fd >= 0) ::close(m_fd);
        if (!m_renamed) ::unlink(m_path.c_str());
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    int fd() const { return m_fd; }
    void set_fd(int fd) { m_fd = fd; }
    // close(2) reports delayed write errors (NFS, a full disk): its result counts.
    int close() {
        int fd = m_fd;
        m_fd = -1;
        return ::close(fd);
    }
    void renamed() { m_renamed = true; }
    const fs::path& path() const { return m_path; }

private:
    fs::path m_path;
    int m_fd = -1;
    bool m_renamed = false;
};

// A name beside `path` that is ours alone (O_EXCL), hidden from a folder listing.
int create_temp(const fs::path& path, fs::path& tmp, mode_t mode) {
    std::random_device rd;
    for (int attempt = 0;; ++attempt) {
        tmp = path.parent_path() /
              ("." + path.filename().string() + ".tmp" + std::to_string(rd() % 100000000));
        int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd >= 0 || errno != EEXIST || attempt == 16) return fd;
    }
}

void sync_folder(const fs::path& path) {
    fs::path folder = path.parent_path().empty() ? fs::path(".") : path.parent_path();
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) throw WriteError(errno, path, "open its folder to sync it");
    int rc = ::fsync(fd);
    int saved = errno;
    ::close(fd);
    // Some file systems cannot sync a folder at all (EINVAL): nothing more to do there.
    if (rc != 0 && saved != EINVAL && saved != EROFS)
        throw WriteError(saved, path, "sync its folder after the rename");
}

}  // namespace

WriteError::WriteError(int error, const fs::path& path, const std::string& step)
    : std::system_error(error, std::generic_category(), describe(path, step)), m_path(path) {}

void write_file_atomically(const fs::path& path, std::string_view content, bool owner_only) {
    fs::path tmp_path;
    int fd = create_temp(path, tmp_path, owner_only ? 0600 : 0666);
    if (fd < 0) throw WriteError(errno, path, "create a temporary file beside it");
    TempFile tmp(tmp_path);
    tmp.set_fd(fd);
    // The mode is exact whatever the umask, and set before any byte or name is visible.
    if (owner_only && ::fchmod(fd, 0600) != 0)
        throw WriteError(errno, path, "make the temporary file owner-only");

    const char* p = content.data();
    std::size_t left = content.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw WriteError(errno, path, "write the temporary file");
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    if (::fsync(fd) != 0) throw WriteError(errno, path, "sync the temporary file");
    if (tmp.close() != 0) throw WriteError(errno, path, "close the temporary file");
    if (::rename(tmp.path().c_str(), path.c_str()) != 0)
        throw WriteError(errno, path, "rename the temporary file over it");
    tmp.renamed();
    sync_folder(path);
}

namespace {

// Opens `path` for appending, creating it owner-only, and narrows it to 0600 when group
// or others may read it (before anything is written through it). `narrowed` says so.
int open_private(const fs::path& path, bool& narrowed) {
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) throw WriteError(errno, path, "open it owner-only");
    struct stat st {};
    narrowed = false;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        const int err = errno ? errno : EINVAL;
        ::close(fd);
        throw WriteError(err, path, "look at it");
    }
    if ((st.st_mode & 077) != 0) {
        if (::fchmod(fd, 0600) != 0) {
            const int err = errno;
            ::close(fd);
            throw WriteError(err, path, "make it owner-only");
        }
        narrowed = true;
    }
    return fd;
}

}  // namespace

bool make_private_file(const fs::path& path) {
    bool narrowed = false;
    ::close(open_private(path, narrowed));
    return narrowed;
}

void append_to_private_file(const fs::path& path, std::string_view content) {
    bool narrowed = false;
    int fd = open_private(path, narrowed);
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    const char* p = content.data();
    std::size_t left = content.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw WriteError(errno, path, "append to it");
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    if (::fsync(fd) != 0) throw WriteError(errno, path, "sync it");
}

bool make_private_folder(const fs::path& dir) {
    std::error_code ec;
    if (!fs::is_directory(dir, ec)) {
        if (!dir.parent_path().empty()) fs::create_directories(dir.parent_path());
        if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
            throw std::system_error(errno, std::generic_category(),
                                    "cannot create " + dir.string());
    }
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0)
        throw std::system_error(errno, std::generic_category(), "cannot look at " + dir.string());
    if (!S_ISDIR(st.st_mode))
        throw std::system_error(ENOTDIR, std::generic_category(), dir.string());
    // mkdir applied the umask; the folder must still be usable by its owner.
    const mode_t mode = st.st_mode & 07777;
    if (mode == 0700) return false;
    if (::chmod(dir.c_str(), 0700) != 0)
        throw std::system_error(errno, std::generic_category(),
                                "cannot make " + dir.string() + " owner-only");
    return (mode & 077) != 0;
}

fs::path set_aside(const fs::path& file, const std::string& tag) {
    for (int n = 1; n < 1000; ++n) {
        fs::path target = file;
        target += "." + tag + (n > 1 ? "-" + std::to_string(n) : std::string());
        if (::renameat2(AT_FDCWD, file.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) {
            sync_folder(file);
            return target;
        }
        if (errno == EEXIST) continue;
        if (errno != EINVAL && errno != ENOSYS) break;
        // A file system that cannot refuse to replace in a rename: a hard link refuses
        // an existing name just as well.
        if (::link(file.c_str(), target.c_str()) == 0) {
            ::unlink(file.c_str());
            sync_folder(file);
            return target;
        }
        if (errno != EEXIST) break;
    }
    throw std::system_error(errno, std::generic_category(), "cannot set aside " + file.string());
}

}  // namespace termiva::platform
