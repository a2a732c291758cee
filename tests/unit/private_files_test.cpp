// Files only their owner may open (tab logs, converted keys) and calendar time, on both
// systems: the same test runs on Linux and, cross-built, under Wine.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/calendar_time.h"
#include "platform/new_file.h"
#include "platform/utf8_path.h"
#include "support/test_support.h"

#ifdef _WIN32
#include "platform/windows/owner_only.h"
#endif

namespace termiva {
namespace {

namespace fs = std::filesystem;

std::string read_all(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

bool owner_only(const fs::path& p) {
#ifdef _WIN32
    return !platform::windows::open_to_others(p);
#else
    const fs::perms perms = fs::status(p).permissions();
    return perms == (fs::perms::owner_read | fs::perms::owner_write);
#endif
}

void append(const fs::path& p, const std::string& text) {
    std::FILE* f = platform::open_private_for_append(p);
    ASSERT_NE(f, nullptr) << std::strerror(errno);
    EXPECT_EQ(std::fwrite(text.data(), 1, text.size(), f), text.size());
    EXPECT_EQ(std::fclose(f), 0);
}

TEST(PrivateFiles, AppendingMakesAnOwnerOnlyFileAndKeepsWhatItHolds) {
    testing::TempDir dir;
    const fs::path log = dir.path() / platform::path_from_utf8("分頁記錄.log");
    append(log, "first\r\n");
    append(log, "second\n\x1a third");
    EXPECT_EQ(read_all(log), "first\r\nsecond\n\x1a third");  // binary: nothing translated
    EXPECT_TRUE(owner_only(log));
}

TEST(PrivateFiles, AppendingInAMissingFolderFailsWithTheReason) {
    testing::TempDir dir;
    errno = 0;
    EXPECT_EQ(platform::open_private_for_append(dir.path() / "missing" / "x.log"), nullptr);
    EXPECT_EQ(errno, ENOENT);
}

TEST(PrivateFiles, ACreatedFileIsEmptyOwnerOnlyAndNeverATakenName) {
    testing::TempDir dir;
    const fs::path key = dir.path() / "termiva_key.pem";
    ASSERT_TRUE(platform::create_private_file(key));
    EXPECT_EQ(fs::file_size(key), 0u);
    EXPECT_TRUE(owner_only(key));
    { std::ofstream(key, std::ios::binary) << "someone else's"; }
    EXPECT_FALSE(platform::create_private_file(key));
    EXPECT_EQ(read_all(key), "someone else's");
    EXPECT_FALSE(platform::create_private_file(dir.path() / "missing" / "k.pem"));
}

TEST(CalendarTime, UtcFieldsOfKnownMoments) {
    const std::tm epoch = platform::utc_time(0);
    EXPECT_EQ(epoch.tm_year, 70);
    EXPECT_EQ(epoch.tm_mon, 0);
    EXPECT_EQ(epoch.tm_mday, 1);
    EXPECT_EQ(epoch.tm_hour, 0);
    const std::tm leap = platform::utc_time(951782400);  // 2000-02-29 00:00:00
    EXPECT_EQ(leap.tm_year, 100);
    EXPECT_EQ(leap.tm_mon, 1);
    EXPECT_EQ(leap.tm_mday, 29);
    const std::tm later = platform::utc_time(1700000000);  // 2023-11-14 22:13:20
    EXPECT_EQ(later.tm_year, 123);
    EXPECT_EQ(later.tm_mon, 10);
    EXPECT_EQ(later.tm_mday, 14);
    EXPECT_EQ(later.tm_hour, 22);
    EXPECT_EQ(later.tm_min, 13);
    EXPECT_EQ(later.tm_sec, 20);
}

TEST(CalendarTime, LocalTimeIsWithinADayOfUtc) {
    const std::time_t t = 1700000000;
    std::tm local = platform::local_time(t);
    std::tm utc = platform::utc_time(t);
    // Zones run from UTC-12 to UTC+14: the same moment is at most a day apart on paper.
    const auto minutes = [](const std::tm& tm) {
        return tm.tm_yday * 24 * 60 + tm.tm_hour * 60 + tm.tm_min;
    };
    ASSERT_EQ(local.tm_year, utc.tm_year);
    EXPECT_LE(std::abs(minutes(local) - minutes(utc)), 14 * 60);
    EXPECT_EQ(local.tm_sec, utc.tm_sec);
}

}  // namespace
}  // namespace termiva
