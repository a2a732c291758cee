// Page operations that go through the desktop: the clipboard, the save-folder chooser and
// showing where a receive put its files.
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

TEST_F(DesktopOps, SaveFolderChooserOpensInTheDownloadFolderAndAnswersTheChoice) {
    app->set_desktop(desktop);
    app->call_bridge("set_page_settings",
                     Json::array({{{"download_folder", (dir.path() / "downloads").string()}}}));
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

TEST_F(DesktopOps, OpenFolderShowsOnlyWhereTheTabsLastReceiveWrote) {
    app->set_desktop(desktop);
    const fs::path folder = dir.path() / "received";
    fs::create_directories(folder);
    const std::string tab = open_idle_tab();
    auto open_folder = [&] { return *app->call_bridge("xfer_open_folder", Json::array({tab})); };
    EXPECT_EQ(open_folder(), false);  // nothing received in this tab yet

    ASSERT_EQ(app->transfer().start(tab, "xmodem", "recv", nullptr, folder.string())["ok"], true);
    EXPECT_TRUE(app->transfer().cancel(tab));
    ASSERT_TRUE(wait_until([&] { return app->transfer().status(tab) == Json{{"active", false}}; }));
    EXPECT_EQ(open_folder(), true);
    EXPECT_EQ(desktop->folders_shown(), std::vector<fs::path>{folder});

    // A folder that is gone, or a tab that is not there, opens nothing.
    fs::remove_all(folder);
    EXPECT_EQ(open_folder(), false);
    EXPECT_EQ(*app->call_bridge("xfer_open_folder", Json::array({"no-such-tab"})), false);
    EXPECT_EQ(desktop->folders_shown().size(), 1u);
}

}  // namespace
}  // namespace termiva::testing
