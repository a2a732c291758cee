// The atomic writer and the data folder: modes whatever the umask, nothing left behind,
// and the old file intact when the disk is full or the folder read-only.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>

#include "platform/atomic_file.h"
#include "support/test_support.h"

namespace termiva {
namespace {

namespace fs = std::filesystem;

mode_t mode_of(const fs::path& p) {
    struct stat st {};
    if (::stat(p.c_str(), &st) != 0) return 0;
    return st.st_mode & 07777;
}

std::string read_all(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::size_t entries_in(const fs::path& dir) {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir))
        ++n;
    return n;
}

// Sets the umask for one test, as a user's shell would have it.
class Umask {
public:
    explicit Umask(mode_t mask) : m_old(::umask(mask)) {}
    ~Umask() { ::umask(m_old); }

private:
    mode_t m_old;
};

TEST(AtomicFile, WritesOwnerOnlyByDefaultAndSharedOnRequestUnderUmask022) {
    Umask mask(022);
    testing::TempDir dir;
    const fs::path secret = dir.path() / "sessions.json";
    platform::write_file_atomically(secret, "{\"sessions\":[]}\n");
    EXPECT_EQ(mode_of(secret), 0600);
    EXPECT_EQ(read_all(secret), "{\"sessions\":[]}\n");

    // A file that was readable by all (an older version wrote 0644) is replaced by an
    // owner-only one.
    const fs::path old = dir.path() / "settings.json";
    { std::ofstream(old) << "{}"; }
    ::chmod(old.c_str(), 0644);
    platform::write_file_atomically(old, "{\"language\":\"en\"}");
    EXPECT_EQ(mode_of(old), 0600);

    const fs::path shared = dir.path() / "notes.txt";
    platform::write_file_atomically(shared, "x", false);
    EXPECT_EQ(mode_of(shared), 0644);
    EXPECT_EQ(entries_in(dir.path()), 3u) << "a temporary file was left behind";
}

TEST(AtomicFile, OwnerOnlyEvenUnderAUmaskThatWouldTakeTheOwnersWriteRight) {
    Umask mask(0277);
    testing::TempDir dir;
    platform::write_file_atomically(dir.path() / "a", "1");
    EXPECT_EQ(mode_of(dir.path() / "a"), 0600);
}

TEST(AtomicFile, AFailedWriteNamesTheFileAndLeavesNoTemporaryFile) {
    testing::TempDir dir;
    const fs::path missing = dir.path() / "no-such-folder" / "sessions.json";
    try {
        platform::write_file_atomically(missing, "x");
        FAIL() << "a write into a missing folder succeeded";
    } catch (const platform::WriteError& e) {
        EXPECT_EQ(e.code().value(), ENOENT);
        EXPECT_EQ(e.path(), missing);
        EXPECT_NE(std::string(e.what()).find(missing.string()), std::string::npos) << e.what();
    }
    EXPECT_EQ(entries_in(dir.path()), 0u);
}

TEST(PrivateFolder, IsCreatedOwnerOnlyAndAWideOneIsNarrowed) {
    Umask mask(022);
    testing::TempDir dir;
    const fs::path data = dir.path() / "share" / "Lanternfold" / "Termiva";
    EXPECT_FALSE(platform::make_private_folder(data));
    EXPECT_EQ(mode_of(data), 0700);
    EXPECT_FALSE(platform::make_private_folder(data)) << "an owner-only folder was narrowed";

    const fs::path wide = dir.path() / "wide";
    fs::create_directory(wide);
    ::chmod(wide.c_str(), 0755);
    { std::ofstream(wide / "kept") << "kept"; }
    EXPECT_TRUE(platform::make_private_folder(wide));
    EXPECT_EQ(mode_of(wide), 0700);
    EXPECT_EQ(read_all(wide / "kept"), "kept");

    const fs::path file = dir.path() / "file";
    { std::ofstream(file) << "x"; }
    EXPECT_THROW(platform::make_private_folder(file), std::system_error);
}

// Runs `body` in a child with a private mount namespace over `dir`: a tmpfs of `size`
// bytes, or `dir` bound read-only. The child's exit code is the result: 0 passed,
// 2 the machine cannot make the mount (the test skips), others a failure described on
// the pipe.
struct MountRun {
    int code = -1;
    std::string said;
};

enum class Mount { small_tmpfs, read_only };

MountRun in_private_mount(const fs::path& dir, Mount how,
                          const std::function<std::string()>& body) {
    int pipe_fds[2];
    if (::pipe(pipe_fds) != 0) return {-1, "pipe failed"};
    pid_t pid = ::fork();
    if (pid == 0) {
        ::close(pipe_fds[0]);
        auto say = [&](const std::string& text) {
            [[maybe_unused]] auto n = ::write(pipe_fds[1], text.data(), text.size());
        };
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            say(std::string("no private mount namespace: ") + std::strerror(errno));
            ::_exit(2);
        }
        if (how == Mount::small_tmpfs) {
            if (::mount("termiva-test", dir.c_str(), "tmpfs", 0, "size=64k,mode=0700") != 0) {
                say(std::string("cannot mount a tmpfs: ") + std::strerror(errno));
                ::_exit(2);
            }
        }
        std::string failure;
        try {
            failure = body();
        } catch (const std::exception& e) {
            failure = std::string("unexpected exception: ") + e.what();
        }
        say(failure);
        ::_exit(failure.empty() ? 0 : 1);
    }
    ::close(pipe_fds[1]);
    MountRun run;
    char buf[512];
    ssize_t n;
    while ((n = ::read(pipe_fds[0], buf, sizeof buf)) > 0)
        run.said.append(buf, static_cast<std::size_t>(n));
    ::close(pipe_fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    run.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

TEST(AtomicFile, ADiskFullWriteLeavesTheOldFileIntact) {
    testing::TempDir dir;
    const fs::path folder = dir.path() / "data";
    fs::create_directory(folder);
    MountRun run = in_private_mount(folder, Mount::small_tmpfs, [&]() -> std::string {
        const fs::path file = folder / "sessions.json";
        platform::write_file_atomically(file, "old content");
        try {
            platform::write_file_atomically(file, std::string(256 * 1024, 'n'));
            return "a write larger than the disk succeeded";
        } catch (const platform::WriteError& e) {
            if (e.code().value() != ENOSPC) return std::string("wrong reason: ") + e.what();
        }
        if (read_all(file) != "old content") return "the old file changed: " + read_all(file);
        if (entries_in(folder) != 1) return "a temporary file was left on the full disk";
        // Space is back once the failed write's leftovers are gone: a write fits again.
        platform::write_file_atomically(file, "new content");
        if (read_all(file) != "new content") return "the next write did not land";
        return "";
    });
    if (run.code == 2) GTEST_SKIP() << run.said;
    EXPECT_EQ(run.code, 0) << run.said;
}

TEST(AtomicFile, AReadOnlyFolderRefusesTheWriteAndKeepsTheOldFile) {
    testing::TempDir dir;
    const fs::path folder = dir.path() / "data";
    fs::create_directory(folder);
    const fs::path file = folder / "settings.json";
    platform::write_file_atomically(file, "{\"language\":\"en\"}");
    MountRun run = in_private_mount(folder, Mount::read_only, [&]() -> std::string {
        if (::mount(folder.c_str(), folder.c_str(), nullptr, MS_BIND, nullptr) != 0 ||
            ::mount(nullptr, folder.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) !=
                0) {
            ::_exit(2);
        }
        try {
            platform::write_file_atomically(file, "{\"language\":\"zh-Hant\"}");
            return "a write into a read-only folder succeeded";
        } catch (const platform::WriteError& e) {
            if (e.code().value() != EROFS) return std::string("wrong reason: ") + e.what();
        }
        return "";
    });
    if (run.code == 2) GTEST_SKIP() << "cannot bind a folder read-only here: " << run.said;
    EXPECT_EQ(run.code, 0) << run.said;
    EXPECT_EQ(read_all(file), "{\"language\":\"en\"}");
    EXPECT_EQ(entries_in(folder), 1u);
}

}  // namespace
}  // namespace termiva
