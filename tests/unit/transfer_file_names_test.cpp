// Names chosen by a remote sender, and how received files reach their final name.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "support/test_support.h"
#include "transfer/file_names.h"
#include "transfer/received_file.h"

namespace termiva::xfer {
namespace {

namespace fs = std::filesystem;

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST(SafeBaseName, KeepsOnlyTheLastPathComponent) {
    EXPECT_EQ(safe_base_name("../../x"), "x");
    EXPECT_EQ(safe_base_name("/etc/passwd"), "passwd");
    EXPECT_EQ(safe_base_name("..\\..\\Windows\\win.ini"), "win.ini");
    EXPECT_EQ(safe_base_name("C:evil.txt"), "evil.txt");
    EXPECT_EQ(safe_base_name("C:\\evil.txt"), "evil.txt");
    EXPECT_EQ(safe_base_name("dir/sub/"), "sub");
    EXPECT_EQ(safe_base_name("report.pdf"), "report.pdf");
}

TEST(SafeBaseName, NeverYieldsAParentOrEmptyName) {
    for (const char* bad : {"", ".", "..", "../..", "/", "\\\\", "...", " . ", "a/.."}) {
        std::string name = safe_base_name(bad);
        EXPECT_FALSE(name.empty()) << bad;
        EXPECT_NE(name, ".") << bad;
        EXPECT_NE(name, "..") << bad;
        EXPECT_EQ(name.find('/'), std::string::npos) << bad;
    }
    EXPECT_EQ(safe_base_name(".."), "received-file");
}

TEST(SafeBaseName, DefusesDeviceNames) {
    EXPECT_EQ(safe_base_name("CON"), "_CON");
    EXPECT_EQ(safe_base_name("nul.txt"), "_nul.txt");
    EXPECT_EQ(safe_base_name("x/com1"), "_com1");
    EXPECT_EQ(safe_base_name("LPT9.log"), "_LPT9.log");
    EXPECT_EQ(safe_base_name("COM10"), "COM10");
    EXPECT_EQ(safe_base_name("console"), "console");
    EXPECT_TRUE(is_device_name("aux"));
    EXPECT_FALSE(is_device_name("auxiliary"));
}

TEST(SafeBaseName, ReplacesCharactersNoFileSystemTakes) {
    EXPECT_EQ(safe_base_name(std::string("a\x01") + "b"), "a_b");
    EXPECT_EQ(safe_base_name("a<b>c|d?e*f\"g"), "a_b_c_d_e_f_g");
    EXPECT_EQ(safe_base_name("name. . ."), "name");
    EXPECT_EQ(safe_base_name(std::string("x\0/../../y", 10)), "x");
}

TEST(SafeBaseName, BoundsTheLengthWithoutSplittingCharacters) {
    EXPECT_EQ(safe_base_name(std::string(500, 'a')).size(), 200u);
    std::string accents;
    for (int i = 0; i < 150; ++i)
        accents += "\xc3\xa9";  // é
    std::string name = safe_base_name(accents);
    EXPECT_LE(name.size(), 200u);
    EXPECT_EQ(name.size() % 2, 0u);
    EXPECT_EQ(static_cast<unsigned char>(name.back()), 0xA9);
}

TEST(NumberedFreePath, NumbersTakenNames) {
    termiva::testing::TempDir dir;
    EXPECT_EQ(numbered_free_path(dir.path(), "f.txt"), dir.path() / "f.txt");
    std::ofstream(dir.path() / "f.txt") << "1";
    EXPECT_EQ(numbered_free_path(dir.path(), "f.txt"), dir.path() / "f (1).txt");
    std::ofstream(dir.path() / "f (1).txt") << "2";
    EXPECT_EQ(numbered_free_path(dir.path(), "f.txt"), dir.path() / "f (2).txt");
    std::ofstream(dir.path() / "noext") << "3";
    EXPECT_EQ(numbered_free_path(dir.path(), "noext"), dir.path() / "noext (1)");
}

TEST(ReceivedFileStorage, AppearsUnderItsNameOnlyWhenCommitted) {
    termiva::testing::TempDir dir;
    ReceivedFile file(dir.path() / "new", "data.bin");
    file.write("hello ");
    file.write("world");
    EXPECT_FALSE(fs::exists(dir.path() / "new" / "data.bin"));
    EXPECT_EQ(file.size(), 11u);
    fs::path where = file.commit();
    EXPECT_EQ(where, dir.path() / "new" / "data.bin");
    EXPECT_EQ(slurp(where), "hello world");
    // Nothing else is left in the folder (no temporary file).
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path() / "new"), {}), 1);
}

TEST(ReceivedFileStorage, LeavesNothingWhenAbandoned) {
    termiva::testing::TempDir dir;
    {
        ReceivedFile file(dir.path(), "data.bin");
        file.write("partial");
    }
    EXPECT_TRUE(fs::is_empty(dir.path()));
    ReceivedFile discarded(dir.path(), "data.bin");
    discarded.write("x");
    discarded.discard();
    EXPECT_TRUE(fs::is_empty(dir.path()));
}

TEST(ReceivedFileStorage, NeverOverwritesAnExistingFile) {
    termiva::testing::TempDir dir;
    std::ofstream(dir.path() / "data.bin") << "precious";
    ReceivedFile file(dir.path(), "data.bin");
    file.write("new");
    // Someone creates the numbered name meanwhile: it is skipped too.
    std::ofstream(dir.path() / "data (1).bin") << "also precious";
    fs::path where = file.commit();
    EXPECT_EQ(where, dir.path() / "data (2).bin");
    EXPECT_EQ(slurp(dir.path() / "data.bin"), "precious");
    EXPECT_EQ(slurp(dir.path() / "data (1).bin"), "also precious");
    EXPECT_EQ(slurp(where), "new");
}

}  // namespace
}  // namespace termiva::xfer
