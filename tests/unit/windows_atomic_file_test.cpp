// Stores on Windows: the replacement is all or nothing, the file ends up owner-only even
// when the old one was open to everyone, and a file set aside never replaces another.
#include <gtest/gtest.h>
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/atomic_file.h"
#include "platform/utf8_path.h"
#include "platform/windows/owner_only.h"
#include "unit/windows_test_support.h"

namespace termiva {
namespace {

namespace fs = std::filesystem;
using platform::windows::open_to_others;

class WindowsStore : public ::testing::Test {
protected:
    void SetUp() override {
        wchar_t temp[MAX_PATH + 1];
        ASSERT_GT(::GetTempPathW(MAX_PATH + 1, temp), 0u);
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir = fs::path(temp) / (L"termiva-store-" + std::to_wstring(::GetCurrentProcessId())) /
              platform::path_from_utf8(info->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir.parent_path(), ec);
    }
    static std::string read(const fs::path& p) {
        std::ifstream in(p, std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }
    // Gives Everyone full access, as a file copied from elsewhere might have.
    static void open_to_everyone(const fs::path& p) {
        PSECURITY_DESCRIPTOR sd = nullptr;
        ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(
            L"D:P(A;OICI;FA;;;WD)", SDDL_REVISION_1, &sd, nullptr));
        BOOL present = FALSE, defaulted = FALSE;
        PACL dacl = nullptr;
        ::GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted);
        const DWORD rc =
            ::SetNamedSecurityInfoW(const_cast<wchar_t*>(p.c_str()), SE_FILE_OBJECT,
                                    DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                    nullptr, nullptr, dacl, nullptr);
        ::LocalFree(sd);
        ASSERT_EQ(rc, DWORD(ERROR_SUCCESS));
        ASSERT_TRUE(open_to_others(p));
    }
    std::size_t entries() const {
        std::size_t n = 0;
        for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir))
            ++n;
        return n;
    }
    fs::path dir;
};

TEST_F(WindowsStore, ReplacesTheFileOwnerOnlyAndLeavesNothingBehind) {
    const fs::path file = dir / platform::path_from_utf8("sessions \xe6\xa0\xbc.json");
    platform::write_file_atomically(file, "first");
    EXPECT_EQ(read(file), "first");
    EXPECT_FALSE(open_to_others(file));
    open_to_everyone(file);
    platform::write_file_atomically(file, std::string("second\0with NUL", 15));
    EXPECT_EQ(read(file), std::string("second\0with NUL", 15));
    // The new file has its own access list, not the old file's.
    EXPECT_FALSE(open_to_others(file));
    EXPECT_EQ(entries(), 1u);
    EXPECT_EQ(::GetFileAttributesW(file.c_str()) & FILE_ATTRIBUTE_HIDDEN, 0u);
}

TEST_F(WindowsStore, AFailedReplacementKeepsTheOldFile) {
    const fs::path file = dir / L"settings.json";
    platform::write_file_atomically(file, "old");
    // Held open without delete sharing: it cannot be replaced.
    HANDLE holder = ::CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    EXPECT_THROW(platform::write_file_atomically(file, "new"), platform::WriteError);
    ::CloseHandle(holder);
    EXPECT_EQ(read(file), "old");
    EXPECT_EQ(entries(), 1u);

    const fs::path nowhere = dir / L"missing" / L"x.json";
    try {
        platform::write_file_atomically(nowhere, "x");
        FAIL() << "wrote into a folder that does not exist";
    } catch (const platform::WriteError& e) {
        EXPECT_EQ(e.path(), nowhere);
        EXPECT_NE(std::string(e.what()).find("x.json"), std::string::npos) << e.what();
    }
}

TEST_F(WindowsStore, AppendsAndNarrowsAFileOpenToOthers) {
    const fs::path hosts = dir / L"known_hosts";
    EXPECT_FALSE(platform::make_private_file(hosts));
    EXPECT_TRUE(fs::exists(hosts));
    platform::append_to_private_file(hosts, "a\n");
    platform::append_to_private_file(hosts, "b\n");
    EXPECT_EQ(read(hosts), "a\nb\n");
    open_to_everyone(hosts);
    if (!test::wine_version().empty())
        GTEST_SKIP() << "Wine keeps access lists as Unix mode bits and never takes bits away "
                        "when an access list is narrowed";
    EXPECT_TRUE(platform::make_private_file(hosts));
    EXPECT_FALSE(open_to_others(hosts));
    EXPECT_FALSE(platform::make_private_file(hosts));
    EXPECT_EQ(read(hosts), "a\nb\n");
}

TEST_F(WindowsStore, PrivateFolderIsCreatedOrNarrowed) {
    const fs::path data = dir / L"Lanternfold" / L"Termiva";
    EXPECT_FALSE(platform::make_private_folder(data));
    EXPECT_TRUE(fs::is_directory(data));
    EXPECT_FALSE(open_to_others(data));
    open_to_everyone(data);
    if (!test::wine_version().empty())
        GTEST_SKIP() << "Wine keeps access lists as Unix mode bits and never takes bits away "
                        "when an access list is narrowed";
    EXPECT_TRUE(platform::make_private_folder(data));
    EXPECT_FALSE(open_to_others(data));
}

TEST_F(WindowsStore, SetAsideNeverReplacesAnEarlierFile) {
    const fs::path file = dir / L"sessions.json";
    platform::write_file_atomically(file, "one");
    const fs::path first = platform::set_aside(file, "unreadable-20261208T010203Z");
    EXPECT_EQ(first.filename().native(), L"sessions.json.unreadable-20261208T010203Z");
    platform::write_file_atomically(file, "two");
    const fs::path second = platform::set_aside(file, "unreadable-20261208T010203Z");
    EXPECT_EQ(second.filename().native(), L"sessions.json.unreadable-20261208T010203Z-2");
    EXPECT_EQ(read(first), "one");
    EXPECT_EQ(read(second), "two");
    EXPECT_FALSE(fs::exists(file));
    EXPECT_THROW(platform::set_aside(file, "gone"), std::system_error);
}

}  // namespace
}  // namespace termiva
