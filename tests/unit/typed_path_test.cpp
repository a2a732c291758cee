// Key paths are typed as a shell user writes them: "~/" is the home folder, "~user" and a
// tilde elsewhere are names like any other.
#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/assistant_program.h"
#include "platform/paths.h"

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

}  // namespace
}  // namespace termiva::platform
