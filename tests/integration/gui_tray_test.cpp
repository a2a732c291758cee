// The window program's tray icon, driven as a panel would drive it over the session bus:
// with a tray host there, closing the window only hides it, the menu's show item brings
// the same window back, and its quit item ends the program with status 0. Items are found
// by their texts.
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <string>
#include <thread>

#include "app/messages/messages.h"
#include "integration/gui_program.h"
#include "integration/gui_tray_host.h"
#include "integration/gui_tray_watcher.h"

namespace termiva::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char* ITEM_PATH = "/org/ayatana/NotificationItem/Termiva";

// The parent process id from /proc/<pid>/stat (the name field may hold spaces).
pid_t parent_of(pid_t pid) {
    std::string stat = read_text_file("/proc/" + std::to_string(pid) + "/stat");
    auto close = stat.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream rest(stat.substr(close + 1));
    std::string state;
    pid_t parent = -1;
    rest >> state >> parent;
    return parent;
}

const TrayMenuEntry* entry_labelled(const std::vector<TrayMenuEntry>& menu,
                                    const std::string& label) {
    for (const auto& entry : menu) {
        if (entry.label == label) return &entry;
    }
    return nullptr;
}

class TrayProgram : public WindowProgramTest {
protected:
    // Starts the program in `language`, waits for its window, finds its indicator and
    // checks the menu holds the show and quit items in that language.
    void start_in(const std::string& language) {
        write_text_file(data_dir() / "settings.json", "{\"language\": \"" + language + "\"}");
        write_text_file(data_dir() / "sessions.json",
                        R"({"sessions": [{"id": "0123456789abcdef0123456789abcdef",)"
                        R"( "name": "Tray shell", "protocol": "conpty", "conpty_shell": "sh"}]})");
        m_program = start(PROGRAM);
        m_window = wait_for_window(10s);
        ASSERT_NE(m_window, 0u) << "no window titled Termiva; program said:\n" << output();

        const std::string address = bus_address(5s);
        ASSERT_FALSE(address.empty()) << "the session bus never started";
        m_watcher = std::make_unique<TrayWatcher>(address);
        ASSERT_TRUE(m_watcher->serving()) << m_watcher->error();
        m_host = std::make_unique<TrayHost>(address);
        ASSERT_TRUE(m_host->connected()) << m_host->error();
        auto pid = m_host->find_indicator(ITEM_PATH, 10s);
        ASSERT_TRUE(pid) << m_host->error() << "\nprogram said:\n" << output();
        // The indicator is the program itself: a child of the bus session we started.
        EXPECT_EQ(fs::read_symlink("/proc/" + std::to_string(*pid) + "/exe").filename(), "termiva");
        EXPECT_EQ(parent_of(*pid), m_program->pid());
        // Registered with the tray host, the program knows a hidden window can come back.
        ASSERT_TRUE(wait_until([&] { return m_watcher->items() > 0; }, 10s))
            << "the indicator never registered with the tray host";

        EXPECT_EQ(m_host->item_property("Title"), "Termiva");
        EXPECT_EQ(m_host->item_property("Status"), "Active");

        const auto& texts = message_catalog().at(language);
        auto menu = m_host->menu();
        ASSERT_TRUE(menu) << m_host->error();
        ASSERT_EQ(menu->size(), 2u);
        const auto* show = entry_labelled(*menu, texts.at("tray.show"));
        const auto* quit = entry_labelled(*menu, texts.at("tray.quit"));
        ASSERT_TRUE(show) << "no item labelled " << texts.at("tray.show");
        ASSERT_TRUE(quit) << "no item labelled " << texts.at("tray.quit");
        EXPECT_EQ(menu->front().id, show->id);  // the show item comes first
        EXPECT_TRUE(show->visible && show->enabled);
        EXPECT_TRUE(quit->visible && quit->enabled);
        m_show_id = show->id;
        m_quit_id = quit->id;
    }

    void close_window_and_expect_hidden() {
        request_close(display(), m_window);
        ASSERT_TRUE(wait_until([&] { return !viewable(display(), m_window); }, 5s))
            << "close did not hide the window";
        std::this_thread::sleep_for(300ms);
        ASSERT_TRUE(m_program->running()) << "closing the window ended the program:\n" << output();
    }

    // The window that comes back is the one that was hidden, and it shows what it showed
    // (page and tabs), up to the blinking cursor.
    void expect_same_window_back(const std::vector<unsigned long>& shown) {
        EXPECT_TRUE(wait_until([&] { return viewable(display(), m_window); }, 5s))
            << "the window did not come back";
        EXPECT_EQ(find_viewable(display(), "Termiva"), m_window);
        double differ = 1;
        EXPECT_TRUE(wait_until(
            [&] {
                differ = share_differing(shown, sample_pixels(display(), m_window));
                return differ < 0.002;
            },
            5s))
            << "the window came back showing something else (" << differ * 100
            << " % of it changed)";
    }

    void quit_and_expect_exit_status_zero() {
        // The program may leave before it answers the click: the exit is what counts.
        bool answered = m_host->click(m_quit_id);
        auto status = m_program->wait_exit(10000);
        ASSERT_TRUE(status.has_value())
            << "still running after the quit item (click answered: " << answered << ", "
            << m_host->error() << ")\nprogram said:\n"
            << output();
        EXPECT_EQ(*status, 0) << output();
    }

    std::unique_ptr<ChildProcess> m_program;
    std::unique_ptr<TrayWatcher> m_watcher;
    std::unique_ptr<TrayHost> m_host;
    Window m_window = 0;
    int m_show_id = -1;
    int m_quit_id = -1;
};

TEST_F(TrayProgram, ShowItemAndMiddleClickBringTheHiddenWindowBackAndQuitEndsWithZero) {
    TERMIVA_REQUIRE_PROGRAM(xdotool, "xdotool");
    start_in("en");
    if (HasFatalFailure()) return;
    open_tab_by_double_click(m_window, xdotool);
    if (HasFatalFailure()) return;
    const auto shown = sample_pixels(display(), m_window);

    close_window_and_expect_hidden();
    if (HasFatalFailure()) return;
    ASSERT_TRUE(m_host->click(m_show_id)) << m_host->error();
    expect_same_window_back(shown);

    // A middle click on the icon runs the default item, the show item.
    close_window_and_expect_hidden();
    if (HasFatalFailure()) return;
    auto now = static_cast<guint32>(g_get_monotonic_time() / 1000);
    EXPECT_TRUE(m_host->call_item("XAyatanaSecondaryActivate", g_variant_new("(u)", now)))
        << m_host->error();
    expect_same_window_back(shown);

    quit_and_expect_exit_status_zero();
}

TEST_F(TrayProgram, QuitItemEndsTheProgramWhileItsWindowIsHidden) {
    start_in("zh-Hant");
    if (HasFatalFailure()) return;
    close_window_and_expect_hidden();
    if (HasFatalFailure()) return;
    quit_and_expect_exit_status_zero();
}

}  // namespace
}  // namespace termiva::testing
