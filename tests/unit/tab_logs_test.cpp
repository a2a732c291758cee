// Logging a tab to a file: bytes as given, time stamps at line starts across chunks,
// stopping, and names made from captions.
#include "app/tablog/tab_logs.h"

#include <fstream>
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
