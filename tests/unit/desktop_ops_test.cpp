// Page operations that go through the desktop: the clipboard and the save-folder chooser.
#include <gtest/gtest.h>

#include "support/fake_desktop.h"
#include "unit/app_fixture.h"

namespace termiva::testing {
namespace {

using namespace std::chrono_literals;

class DesktopOps : public AppFixture {
protected:
    std::shared_ptr<FakeDesktop> desktop = std::make_shared<FakeDesktop>();
};

TEST_F(DesktopOps, ReadsTheClipboardThroughTheDesktopWaitingAtMostFiveSeconds) {
    app->set_desktop(desktop);
    desktop->clipboard = "ls -l\r\n中文 ✓\ttab";
    EXPECT_EQ(*app->call_bridge("read_clipboard", Json::array()), "ls -l\r\n中文 ✓\ttab");
    const auto reads = desktop->clipboard_reads();
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_EQ(reads[0], 5s);
}

TEST_F(DesktopOps, ClipboardWithoutTextOrDesktopOrThatFailsGivesEmptyText) {
    EXPECT_EQ(*app->call_bridge("read_clipboard", Json::array()), "");  // no desktop yet
    app->set_desktop(desktop);
    EXPECT_EQ(*app->call_bridge("read_clipboard", Json::array()), "");  // nothing to read
    desktop->clipboard_fails = true;
    EXPECT_EQ(*app->call_bridge("read_clipboard", Json::array()), "");
    EXPECT_EQ(desktop->clipboard_reads().size(), 2u);
}

TEST_F(DesktopOps, SaveFolderChooserOpensInTheDownloadsFolderAndAnswersTheChoice) {
    app->set_desktop(desktop);
    EXPECT_EQ(*app->call_bridge("xfer_pick_save_dir", Json::array()), "");  // cancelled
    desktop->folder_answer = dir.path() / "chosen";
    EXPECT_EQ(*app->call_bridge("xfer_pick_save_dir", Json::array()),
              (dir.path() / "chosen").string());

    const auto asked = desktop->folders();
    ASSERT_EQ(asked.size(), 2u);
    const fs::path downloads = dir.path() / "downloads";
    EXPECT_EQ(asked[0].initial, downloads);
    EXPECT_TRUE(fs::is_directory(downloads)) << "the chooser would open on a missing folder";
    EXPECT_EQ(asked[0].title, app->_t("dialog.pick_save_dir"));
}

}  // namespace
}  // namespace termiva::testing
