// Key paths are typed as a shell user writes them: "~/" is the home folder, "~user" and a
// tilde elsewhere are names like any other.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/assistant_program.h"
#include "platform/paths.h"
#include "support/env_override.h"
#include "support/test_support.h"

namespace termiva::platform {
namespace {

TEST(TypedPath, ALeadingTildeSlashIsTheHomeFolderAndNothingElseIs) {
    const std::filesystem::path home = home_dir();
    EXPECT_EQ(path_typed_by_user("~/.ssh/id_ed25519"), home / ".ssh" / "id_ed25519");
    EXPECT_EQ(path_typed_by_user("~"), home);
    EXPECT_EQ(path_typed_by_user("~other/key"), std::filesystem::path("~other/key"));
    EXPECT_EQ(path_typed_by_user("/keys/~/k"), std::filesystem::path("/keys/~/k"));
    EXPECT_EQ(path_typed_by_user(""), std::filesystem::path());
}

#ifndef _WIN32
TEST(UserDownloads, ComesFromUserDirsAsXdgUserDirReadsItElseDownloadsAtHome) {
    testing::TempDir dir;
    testing::EnvOverride home("HOME", (dir.path() / "me").string());
    testing::EnvOverride config("XDG_CONFIG_HOME", (dir.path() / "config").string());
    std::filesystem::create_directories(dir.path() / "config");
    const auto dirs_file = [&](const std::string& text) {
        std::ofstream(dir.path() / "config" / "user-dirs.dirs") << text;
    };
    EXPECT_EQ(user_downloads_dir(), dir.path() / "me" / "Downloads");  // no file

    dirs_file(
        "# written by xdg-user-dirs-update\nXDG_DESKTOP_DIR=\"$HOME/Desktop\"\n"
        "XDG_DOWNLOAD_DIR=\"$HOME/Téléchargements\"\n");
    EXPECT_EQ(user_downloads_dir(), dir.path() / "me" / "Téléchargements");
    dirs_file("XDG_DOWNLOAD_DIR=\"/srv/incoming/\"\n");
    EXPECT_EQ(user_downloads_dir(), std::filesystem::path("/srv/incoming/"));
    // The home folder itself means "none"; a relative or unquoted value is not a folder.
    for (const char* line : {"XDG_DOWNLOAD_DIR=\"$HOME/\"", "XDG_DOWNLOAD_DIR=\"$HOME\"",
                             "XDG_DOWNLOAD_DIR=\"incoming\"", "XDG_DOWNLOAD_DIR=$HOME/x",
                             "XDG_DOWNLOAD_DIR=\"$HOMEx/y\""}) {
        dirs_file(std::string(line) + "\n");
        EXPECT_EQ(user_downloads_dir(), dir.path() / "me" / "Downloads") << line;
    }
}
#endif

}  // namespace
}  // namespace termiva::platform
