// Logging a tab to a file: bytes as given, time stamps at line starts across chunks,
// stopping, and names made from captions.
#include "app/tablog/tab_logs.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <mutex>
#include <random>
#include <regex>
#include <sstream>

#include "support/test_support.h"

namespace termiva {
namespace {

std::string read_all(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST(TabLogs, WritesEveryChunkAsGivenAndOnlyForTheLoggedTab) {
    testing::TempDir dir;
    TabLogs logs;
    const auto file = dir.path() / "deep" / "folder" / "a.log";
    logs.write("t1", "before the log\r\n");
    logs.start("t1", file, false);
    EXPECT_EQ(logs.status("t1")["logging"], true);
    EXPECT_EQ(logs.status("t1")["path"], file.string());
    std::string expected;
    std::mt19937 rng(7);
    for (int i = 0; i < 200; ++i) {
        std::string chunk;
        for (int n = rng() % 300; n > 0; --n)
            chunk += "ab\r\n\xe4\xb8\xad\0x"[rng() % 8];
        expected += chunk;
        logs.write("t1", chunk);
        logs.write("t2", "other tab");
    }
    EXPECT_TRUE(logs.stop("t1"));
    EXPECT_FALSE(logs.stop("t1"));
    logs.write("t1", "after the log");
    EXPECT_EQ(read_all(file), expected);
    EXPECT_EQ(logs.status("t1")["logging"], false);
}

TEST(TabLogs, StampsEachLineOnceWhenItsFirstCharacterArrives) {
    testing::TempDir dir;
    TabLogs logs;
    const auto file = dir.path() / "stamped.log";
    logs.start("t", file, true);
    for (const char* chunk : {"one\r", "\ntw", "o\r\n", "\r\nthree", "", "\nfour\n"})
        logs.write("t", chunk);
    logs.stop("t");
    const std::string stamp = R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\] )";
    const std::regex shape("^" + stamp + "one\r\n" + stamp + "two\r\n" + stamp + "\r\n" + stamp +
                           "three\n" + stamp + "four\n$");
    EXPECT_TRUE(std::regex_match(read_all(file), shape)) << read_all(file);
}

TEST(TabLogs, RestartingSwitchesFilesAndAnUnwritableFileIsAReadableError) {
    testing::TempDir dir;
    TabLogs logs;
    logs.start("t", dir.path() / "1.log", false);
    logs.write("t", "first");
    logs.start("t", dir.path() / "2.log", false);
    logs.write("t", "second");
    logs.stop("t");
    EXPECT_EQ(read_all(dir.path() / "1.log"), "first");
    EXPECT_EQ(read_all(dir.path() / "2.log"), "second");
    // Appends to what is there.
    logs.start("t", dir.path() / "1.log", false);
    logs.write("t", "+more");
    logs.stop("t");
    EXPECT_EQ(read_all(dir.path() / "1.log"), "first+more");
    EXPECT_THROW(logs.start("t", dir.path(), false), std::runtime_error);  // a folder
    EXPECT_THROW(logs.start("t", "", false), std::runtime_error);
    EXPECT_EQ(logs.status("t")["logging"], false);
}

// /dev/full answers every write with "No space left on device", as a full disk does: the
// log ends, its owner is told once with the file and the system's reason (the program
// then says it in the tab and the page drops its mark), and the tab goes on. New log
// files are the owner's alone: they hold everything the tab showed.
TEST(TabLogs, AFullDiskEndsTheLogAndIsToldOnceAndFilesAreOwnerOnly) {
    if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full here";
    std::mutex told_lock;
    std::vector<std::string> told;
    TabLogs logs(
        [&](const std::string& tab, const std::filesystem::path& file, const std::string& reason) {
            std::lock_guard lock(told_lock);
            told.push_back(tab + "|" + file.string() + "|" + reason);
        });
    logs.start("t1", "/dev/full", false);
    // Past MAX_PENDING the reader writes itself, so the failure is seen here and now.
    logs.write("t1", std::string(TabLogs::MAX_PENDING, 'x'));
    logs.write("t1", "after the failure");
    EXPECT_EQ(logs.status("t1")["logging"], false);
    // The flusher may have met the failure first and be telling it just now.
    EXPECT_TRUE(testing::eventually(
        [&] {
            std::lock_guard lock(told_lock);
            return !told.empty();
        },
        std::chrono::seconds(5)));
    {
        std::lock_guard lock(told_lock);
        ASSERT_EQ(told.size(), 1u);
        EXPECT_EQ(told[0], "t1|/dev/full|" + std::string(std::strerror(ENOSPC)));
    }

    testing::TempDir dir;
    const mode_t old_mask = ::umask(022);
    logs.start("t2", dir.path() / "t2.log", false);
    ::umask(old_mask);
    struct stat st {};
    ASSERT_EQ(::stat((dir.path() / "t2.log").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_TRUE(logs.stop("t2"));
}

TEST(TabLogs, DefaultNamesComeFromTheCaptionMadeSafe) {
    const auto p = TabLogs::default_path("/data/logs", "root@host:22 / \"x\"*?");
    EXPECT_EQ(p.parent_path(), std::filesystem::path("/data/logs"));
    EXPECT_TRUE(std::regex_match(p.filename().string(),
                                 std::regex(R"(root@host_22 _ _x___-\d{8}-\d{6}\.log)")))
        << p;
    EXPECT_EQ(TabLogs::default_path("/l", "..").filename().string().rfind("tab", 0), 0u);
    // A long caption is cut, never inside a character.
    std::string long_caption;
    for (int i = 0; i < 60; ++i)
        long_caption += "\xe4\xb8\xad";
    const std::string name = TabLogs::default_path("/l", long_caption).filename().string();
    EXPECT_EQ(name.find("\xe4\xb8\xad-"), 75u) << name;  // 26 whole characters, 78 bytes
}

}  // namespace
}  // namespace termiva
