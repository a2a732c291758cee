// The GTK desktop's file and folder choosers and its clipboard reader under a private X
// server, while the window loop runs: the dialogs appear under their titles, a dismissed
// or forgotten one gives nothing and goes away, an accepted one gives its choice, and
// the clipboard gives what another client holds.
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include <gio/gio.h>
#include <gtk/gtk.h>

#include "integration/gui_clipboard_owner.h"
#include "integration/gui_x11.h"
#include "integration/gui_xvfb.h"
#include "platform/linux/gtk/gtk_desktop.h"
#include "platform/linux/gtk/gtk_file_filter.h"

namespace termiva::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

using Files = std::optional<std::vector<fs::path>>;
using Folder = std::optional<fs::path>;

class GtkDialogs : public ::testing::Test {
protected:
    void SetUp() override {
        auto xvfb = find_program("Xvfb");
        auto dbus = find_program("dbus-daemon");
        if (!xvfb || !dbus) {
            if (peers_required()) FAIL() << "Xvfb and dbus-daemon are required";
            GTEST_SKIP() << "Xvfb or dbus-daemon not installed";
        }
        m_xvfb = std::make_unique<XvfbServer>(*xvfb);
        ASSERT_FALSE(m_xvfb->display().empty()) << "Xvfb did not start";
        m_bus = std::make_unique<SessionBus>(*dbus);
        ASSERT_FALSE(m_bus->address().empty()) << "dbus-daemon did not start";
        ::setenv("DBUS_SESSION_BUS_ADDRESS", m_bus->address().c_str(), 1);
        ::setenv("DISPLAY", m_xvfb->display().c_str(), 1);
        ::setenv("NO_AT_BRIDGE", "1", 1);
        // A fresh home: no recent files or bookmarks of the machine's user in the choosers.
        ::setenv("HOME", (m_dir.path() / "home").c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", (m_dir.path() / "home" / ".config").c_str(), 1);
        ::setenv("XDG_DATA_HOME", (m_dir.path() / "home" / ".local").c_str(), 1);
        fs::create_directories(m_dir.path() / "home");
        m_desktop = platform::gtk::make_gtk_desktop();
        m_x = open_display(m_xvfb->display());  // after the toolkit's own connection
        ASSERT_TRUE(m_x);
    }

    void TearDown() override {
        // The toolkit's bus connection ends the process when its bus goes away, as a
        // desktop program should; here the bus ends first, with the test.
        if (!m_bus) return;
        if (GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr)) {
            g_dbus_connection_set_exit_on_close(bus, FALSE);
            g_object_unref(bus);
        }
    }

    // Runs `driver` on a thread of its own while the window loop runs on this one, as the
    // program's page calls do; the loop ends when the driver is done.
    void with_loop(const std::function<void()>& driver) {
        platform::WindowOptions options;
        options.title = "Dialog owner";
        options.html = "<!DOCTYPE html><html><body>owner</body></html>";
        options.storage_dir = m_dir.path() / "storage";
        auto window = m_desktop->create_window(
            options,
            [](const std::string&, const nlohmann::json&, platform::BridgeReply reply) {
                reply(std::nullopt);
            },
            [] { return true; });
        std::thread thread([&] {
            driver();
            window->destroy();
        });
        m_desktop->run_event_loop();
        thread.join();
    }

    // The dialog titled `title` once it is on screen, or 0.
    Window wait_for_dialog(const std::string& title) {
        Window w = 0;
        wait_until([&] { return (w = find_viewable(m_x.get(), title)) != 0; }, 10s);
        return w;
    }

    bool gone(const std::string& title) {
        return wait_until([&] { return find_viewable(m_x.get(), title) == 0; }, 5s);
    }

    // Keys as the user types them (xdotool's XTEST input), into the dialog `w`.
    bool type_keys(Window w, const std::vector<std::string>& args) {
        XSetInputFocus(m_x.get(), w, RevertToParent, CurrentTime);
        XSync(m_x.get(), False);
        std::this_thread::sleep_for(200ms);
        std::vector<std::string> argv{m_xdotool.string()};
        argv.insert(argv.end(), args.begin(), args.end());
        ChildProcess xdotool(argv, {"DISPLAY=" + m_xvfb->display()}, m_dir.path() / "xdotool.txt");
        return xdotool.wait_exit(5000) == 0;
    }

    TempDir m_dir;
    std::unique_ptr<XvfbServer> m_xvfb;
    std::unique_ptr<SessionBus> m_bus;
    std::shared_ptr<platform::Desktop> m_desktop;
    DisplayPtr m_x;
    fs::path m_xdotool;
};

TEST_F(GtkDialogs, ReadsTheClipboardTextOfAnotherClientAndNothingWithoutIt) {
    const std::string text = "Grüße, 世界\nsecond line\ttab";
    // On the window's own thread the reader would wait on the loop it blocks: it refuses.
    ClipboardOwner early(m_xvfb->display(), text, ClipboardOwner::Offer::text);
    ASSERT_TRUE(early.owns());
    EXPECT_EQ(m_desktop->read_clipboard(2s), std::nullopt);

    std::optional<std::string> held, empty, picture, silent;
    bool silent_returned = false;
    with_loop([&] {
        held = m_desktop->read_clipboard(5s);
        {
            ClipboardOwner owner(m_xvfb->display(), "", ClipboardOwner::Offer::no_text);
            EXPECT_TRUE(owner.owns());
            picture = m_desktop->read_clipboard(5s);
        }
        // The last owner left: nobody holds the clipboard now.
        std::this_thread::sleep_for(200ms);
        empty = m_desktop->read_clipboard(5s);
        {
            ClipboardOwner owner(m_xvfb->display(), text, ClipboardOwner::Offer::silence);
            EXPECT_TRUE(owner.owns());
            // An owner that never answers: the reader gives up at its limit.
            auto reading =
                std::async(std::launch::async, [&] { return m_desktop->read_clipboard(1s); });
            silent_returned = reading.wait_for(10s) == std::future_status::ready;
            if (silent_returned) silent = reading.get();
        }
    });
    EXPECT_EQ(held, text);
    EXPECT_EQ(picture, std::nullopt);
    EXPECT_EQ(empty, std::nullopt);
    EXPECT_TRUE(silent_returned) << "the reader hung on a silent owner";
    EXPECT_EQ(silent, std::nullopt);
}

TEST_F(GtkDialogs, DismissedChoosersGiveNothingAndClose) {
    TERMIVA_REQUIRE_PROGRAM(xdotool, "xdotool");
    m_xdotool = xdotool;
    // On the window's own thread a chooser would block the loop it needs: refused at once.
    EXPECT_EQ(m_desktop->pick_files("Refused", {}, false, 30s), std::nullopt);

    Files files = std::vector<fs::path>{"unset"};
    Folder folder = fs::path("unset");
    bool files_shown = false, files_gone = false, folder_shown = false, folder_gone = false;
    with_loop([&] {
        // The window manager's close button.
        auto picking = std::async(std::launch::async, [&] {
            return m_desktop->pick_files("Send files", {{"Text (*.txt)", {"*.txt"}}}, true, 15s);
        });
        Window dialog = wait_for_dialog("Send files");
        files_shown = dialog != 0;
        if (dialog) request_close(m_x.get(), dialog);
        if (picking.wait_for(10s) == std::future_status::ready) files = picking.get();
        files_gone = gone("Send files");

        // Escape from the keyboard; an initial folder that does not exist is no obstacle.
        auto choosing = std::async(std::launch::async, [&] {
            return m_desktop->pick_folder("Save into", 15s, m_dir.path() / "missing");
        });
        dialog = wait_for_dialog("Save into");
        folder_shown = dialog != 0;
        if (dialog) {
            EXPECT_TRUE(type_keys(dialog, {"key", "Escape"}));
        }
        if (choosing.wait_for(10s) == std::future_status::ready) folder = choosing.get();
        folder_gone = gone("Save into");
    });
    EXPECT_FALSE(find_viewable(m_x.get(), "Refused"));
    EXPECT_TRUE(files_shown) << "no dialog titled \"Send files\"";
    EXPECT_EQ(files, std::nullopt);
    EXPECT_TRUE(files_gone);
    EXPECT_TRUE(folder_shown) << "no dialog titled \"Save into\"";
    EXPECT_EQ(folder, std::nullopt);
    EXPECT_TRUE(folder_gone);
}

TEST_F(GtkDialogs, AChooserLeftOpenPastTheLimitGivesNothingAndCloses) {
    Files files = std::vector<fs::path>{"unset"};
    bool shown = false, returned = false, closed = false;
    std::optional<std::string> after;
    with_loop([&] {
        auto picking = std::async(std::launch::async, [&] {
            return m_desktop->pick_files("Nobody answers", {}, false, 2s);
        });
        shown = wait_for_dialog("Nobody answers") != 0;
        returned = picking.wait_for(10s) == std::future_status::ready;
        if (returned) files = picking.get();
        closed = gone("Nobody answers");
        // The loop still answers afterwards.
        ClipboardOwner owner(m_xvfb->display(), "still here", ClipboardOwner::Offer::text);
        after = m_desktop->read_clipboard(5s);
    });
    EXPECT_TRUE(shown);
    ASSERT_TRUE(returned) << "the caller was held past its limit";
    EXPECT_EQ(files, std::nullopt);
    EXPECT_TRUE(closed) << "the dialog stayed on screen after its limit";
    EXPECT_EQ(after, "still here");
}

TEST_F(GtkDialogs, FolderChooserOpensInTheInitialFolderAndGivesItWhenAccepted) {
    TERMIVA_REQUIRE_PROGRAM(xdotool, "xdotool");
    m_xdotool = xdotool;
    const fs::path initial = m_dir.path() / "received files";
    fs::create_directories(initial);
    std::ofstream(initial / "only-a-file.txt") << "x";  // not a choice in a folder chooser
    Folder folder;
    bool shown = false;
    with_loop([&] {
        auto choosing = std::async(
            std::launch::async, [&] { return m_desktop->pick_folder("Save into", 15s, initial); });
        Window dialog = wait_for_dialog("Save into");
        shown = dialog != 0;
        // Accepting without picking a sub-folder chooses the folder on show.
        std::this_thread::sleep_for(500ms);
        if (dialog) {
            EXPECT_TRUE(type_keys(dialog, {"key", "alt+s"}));
        }
        if (choosing.wait_for(10s) == std::future_status::ready) folder = choosing.get();
    });
    ASSERT_TRUE(shown);
    ASSERT_TRUE(folder.has_value()) << "the chooser gave nothing";
    std::error_code ec;
    EXPECT_TRUE(fs::equivalent(*folder, initial, ec)) << *folder;
}

TEST_F(GtkDialogs, FileChooserGivesTheFileTypedIntoIt) {
    TERMIVA_REQUIRE_PROGRAM(xdotool, "xdotool");
    m_xdotool = xdotool;
    const fs::path folder = m_dir.path() / "to send";
    fs::create_directories(folder);
    std::ofstream(folder / "notes.txt") << "x";
    Files files;
    bool shown = false;
    with_loop([&] {
        auto picking = std::async(std::launch::async, [&] {
            return m_desktop->pick_files("Send files", {{"Text (*.txt)", {"*.txt"}}}, true, 15s);
        });
        Window dialog = wait_for_dialog("Send files");
        shown = dialog != 0;
        std::this_thread::sleep_for(500ms);
        if (dialog) {
            // Ctrl+L opens the location entry; keys typed while it opens would be lost.
            EXPECT_TRUE(type_keys(dialog, {"key", "ctrl+l"}));
            EXPECT_TRUE(type_keys(dialog, {"key", "ctrl+a"}));
            EXPECT_TRUE(
                type_keys(dialog, {"type", "--delay", "20", (folder / "notes.txt").string()}));
            // The chooser looks the typed name up in the background before it takes Return;
            // until then the key is ignored, so the user presses it again.
            for (int i = 0; i < 5; ++i) {
                EXPECT_TRUE(type_keys(dialog, {"key", "Return"}));
                if (picking.wait_for(1s) == std::future_status::ready) break;
            }
        }
        if (picking.wait_for(10s) == std::future_status::ready) files = picking.get();
    });
    ASSERT_TRUE(shown);
    ASSERT_TRUE(files.has_value()) << "the chooser gave nothing";
    ASSERT_EQ(files->size(), 1u);
    std::error_code ec;
    EXPECT_TRUE(fs::equivalent(files->front(), folder / "notes.txt", ec)) << files->front();
}

// The choosers are given patterns as users know them from Windows; GTK's own matching
// would hide extensionless keys and firmware from "*.*" and "APP.BIN" from "*.bin".
TEST_F(GtkDialogs, FiltersListExtensionlessAndUpperCaseNames) {
    auto lists = [](const platform::FileFilter& filter, const char* name) {
        GtkFileFilter* f = platform::gtk::make_file_filter(filter);
        g_object_ref_sink(f);
        GtkFileFilterInfo info{};
        info.contains = GTK_FILE_FILTER_DISPLAY_NAME;
        info.display_name = name;
        const bool listed = gtk_file_filter_filter(f, &info) != FALSE;
        g_object_unref(f);
        return listed;
    };
    const platform::FileFilter all{"All Files", {"*.*"}};
    const platform::FileFilter firmware{"Firmware Binary", {"*.bin"}};
    EXPECT_TRUE(lists(all, "id_ed25519"));
    EXPECT_TRUE(lists(all, "firmware"));
    EXPECT_TRUE(lists(all, "notes.txt"));
    EXPECT_TRUE(lists(firmware, "APP.BIN"));
    EXPECT_TRUE(lists(firmware, "boot.Bin"));
    EXPECT_FALSE(lists(firmware, "app.bin.txt"));
    EXPECT_FALSE(lists(firmware, "firmware"));
}

}  // namespace
}  // namespace termiva::testing
