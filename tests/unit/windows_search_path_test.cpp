// The Windows search path: folders compared as Windows compares them, the user's PATH in
// the registry extended once and only when the folder is missing from it, and claude's
// candidate places.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <filesystem>

#include "platform/assistant_program.h"
#include "platform/child_process.h"
#include "platform/windows/search_path.h"

namespace termiva::platform {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using windows::merge_search_paths;
using windows::same_folder;

TEST(WindowsSearchPath, FoldersCompareAsWindowsComparesThem) {
    EXPECT_TRUE(same_folder(L"C:\\Users\\Me\\bin", L"c:\\users\\me\\BIN\\"));
    EXPECT_TRUE(same_folder(L"C:\\a\\.\\b", L"C:\\a\\b"));
    EXPECT_TRUE(same_folder(L"C:\\a\\x\\..\\b", L"C:/a/b"));
    EXPECT_FALSE(same_folder(L"C:\\a\\b", L"C:\\a\\bc"));
    EXPECT_TRUE(same_folder(L"C:\\", L"c:\\"));
}

TEST(WindowsSearchPath, MergingAddsOnlyWhatIsMissingInOrder) {
    EXPECT_EQ(
        merge_search_paths(L"C:\\a;;C:\\b\\", {L"c:\\B", L"C:\\c", L"", L"C:\\C\\", L"D:\\d"}),
        L"C:\\a;C:\\b\\;C:\\c;D:\\d");
    EXPECT_EQ(merge_search_paths(L"", {L"C:\\x"}), L"C:\\x");
    EXPECT_EQ(merge_search_paths(L"\"C:\\Program Files\\n\";C:\\y", {L"C:\\Program Files\\n"}),
              L"C:\\Program Files\\n;C:\\y");
}

class WindowsUserPath : public ::testing::Test {
protected:
    void SetUp() override {
        key = L"Software\\TermivaTest\\" + std::to_wstring(::GetCurrentProcessId()) + L"\\Env";
        wchar_t temp[MAX_PATH + 1];
        ASSERT_GT(::GetTempPathW(MAX_PATH + 1, temp), 0u);
        dir = fs::path(temp) / (L"termiva-claude-" + std::to_wstring(::GetCurrentProcessId()));
        fs::create_directories(dir);
    }
    void TearDown() override {
        ::RegDeleteTreeW(
            HKEY_CURRENT_USER,
            (L"Software\\TermivaTest\\" + std::to_wstring(::GetCurrentProcessId())).c_str());
        fs::remove_all(dir);
    }
    // Seeded with reg.exe, as `wine reg add` does.
    void seed(const std::string& path) {
        const std::string k(key.begin(), key.end());
        ChildProcess child({"reg.exe", "add", "HKCU\\" + k, "/v", "Path", "/t", "REG_EXPAND_SZ",
                            "/d", path, "/f"});
        const auto outcome = child.communicate("", 60s);
        ASSERT_TRUE(outcome.finished);
        ASSERT_EQ(outcome.exit_code, 0) << outcome.err;
    }
    std::wstring stored() {
        wchar_t buf[4096] = {};
        DWORD size = sizeof buf - sizeof(wchar_t);
        ::RegGetValueW(HKEY_CURRENT_USER, key.c_str(), L"Path", RRF_RT_ANY | RRF_NOEXPAND, nullptr,
                       buf, &size);
        return buf;
    }
    std::wstring key;
    fs::path dir;
};

TEST_F(WindowsUserPath, AddsTheFolderOnceAsAnExpandableString) {
    seed("%USERPROFILE%\\bin;C:\\tools");
    const std::wstring updated = windows::add_to_user_path(key, dir);
    EXPECT_EQ(updated, L"%USERPROFILE%\\bin;C:\\tools;" + dir.native());
    EXPECT_EQ(stored(), updated);
    DWORD type = 0;
    ::RegGetValueW(HKEY_CURRENT_USER, key.c_str(), L"Path", RRF_RT_ANY | RRF_NOEXPAND, &type,
                   nullptr, nullptr);
    EXPECT_EQ(type, DWORD(REG_EXPAND_SZ));
    // Already there in another spelling: nothing is written.
    seed("C:\\tools;" + fs::path(dir.native() + L"\\").string());
    const std::wstring before = stored();
    EXPECT_EQ(windows::add_to_user_path(key, dir), before);
    EXPECT_EQ(stored(), before);
}

TEST_F(WindowsUserPath, AMissingFolderOrKeyChangesNothing) {
    seed("C:\\tools");
    EXPECT_EQ(windows::add_to_user_path(key, dir / L"not-there"), L"C:\\tools");
    EXPECT_EQ(stored(), L"C:\\tools");
    EXPECT_THROW(windows::add_to_user_path(key + L"\\missing", dir), std::system_error);
}

TEST(WindowsAssistantProgram, CandidatesFollowTheEnvironment) {
    ::SetEnvironmentVariableW(L"ProgramFiles", nullptr);
    const auto without = assistant_program_candidates();
    for (const auto& c : without)
        EXPECT_TRUE(c.is_absolute()) << c.string();
    ::SetEnvironmentVariableW(L"ProgramFiles", L"C:\\Program Files");
    const auto with = assistant_program_candidates();
    ASSERT_FALSE(with.empty());
    EXPECT_EQ(with.back(), fs::path(L"C:\\Program Files\\nodejs\\claude.cmd"));
    EXPECT_EQ(assistant_program_names(),
              (std::vector<std::string>{"claude", "claude.cmd", "claude.exe"}));
}

}  // namespace
}  // namespace termiva::platform
