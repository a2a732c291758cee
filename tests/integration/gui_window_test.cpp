// The window program under a private X server: it starts, shows "Termiva" at the size the
// settings ask for, draws the page, and only hides when asked to close.
#include <chrono>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "integration/gui_xvfb.h"
#include "support/test_support.h"

// After gtest: Xlib's macros (None, Bool, Status) would break its headers.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace termiva::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

struct DisplayCloser {
    void operator()(Display* d) const { XCloseDisplay(d); }
};
using DisplayPtr = std::unique_ptr<Display, DisplayCloser>;

std::string read_file(const fs::path& file) {
    std::ifstream in(file);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_file(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file) << text;
}

// A window titled `title` anywhere below `root`, or 0.
Window find_titled(Display* d, Window root, const std::string& title) {
    Window root_ret, parent;
    Window* children = nullptr;
    unsigned count = 0;
    if (!XQueryTree(d, root, &root_ret, &parent, &children, &count)) return 0;
    Window found = 0;
    for (unsigned i = 0; i < count && !found; ++i) {
        char* name = nullptr;
        if (XFetchName(d, children[i], &name) && name) {
            if (title == name) found = children[i];
            XFree(name);
        }
        if (!found) found = find_titled(d, children[i], title);
    }
    if (children) XFree(children);
    return found;
}

bool viewable(Display* d, Window w) {
    XWindowAttributes a;
    return XGetWindowAttributes(d, w, &a) && a.map_state == IsViewable;
}

// How many different colours a grid of samples of the window holds.
std::size_t colours_in(Display* d, Window w) {
    XWindowAttributes a;
    if (!XGetWindowAttributes(d, w, &a) || a.map_state != IsViewable) return 0;
    XImage* image = XGetImage(d, w, 0, 0, a.width, a.height, AllPlanes, ZPixmap);
    if (!image) return 0;
    std::set<unsigned long> colours;
    for (int y = 0; y < a.height; y += 3) {
        for (int x = 0; x < a.width; x += 3)
            colours.insert(XGetPixel(image, x, y));
    }
    XDestroyImage(image);
    return colours.size();
}

void request_close(Display* d, Window w) {
    XEvent ev{};
    ev.xclient.type = ClientMessage;
    ev.xclient.window = w;
    ev.xclient.message_type = XInternAtom(d, "WM_PROTOCOLS", False);
    ev.xclient.format = 32;
    ev.xclient.data.l[0] = static_cast<long>(XInternAtom(d, "WM_DELETE_WINDOW", False));
    ev.xclient.data.l[1] = CurrentTime;
    XSendEvent(d, w, False, NoEventMask, &ev);
    XFlush(d);
}

template <class Pred>
bool wait_until(Pred pred, std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (pred()) return true;
        std::this_thread::sleep_for(50ms);
    }
    return pred();
}

const fs::path PROGRAM = fs::path(TERMIVA_PROGRAM_DIR) / "termiva";

class WindowProgram : public ::testing::Test {
protected:
    void SetUp() override {
        auto xvfb = find_program("Xvfb");
        auto dbus = find_program("dbus-run-session");
        if (!xvfb || !dbus) {
            if (peers_required()) FAIL() << "Xvfb and dbus-run-session are required";
            GTEST_SKIP() << "Xvfb or dbus-run-session not installed";
        }
        m_dbus = *dbus;
        m_xvfb = std::make_unique<XvfbServer>(*xvfb);
        ASSERT_FALSE(m_xvfb->display().empty()) << "Xvfb did not start";
        m_display.reset(XOpenDisplay(m_xvfb->display().c_str()));
        ASSERT_TRUE(m_display) << "cannot open " << m_xvfb->display();
    }

    std::unique_ptr<ChildProcess> start(const fs::path& program) {
        return std::make_unique<ChildProcess>(
            std::vector<std::string>{m_dbus.string(), "--", program.string()},
            std::vector<std::string>{"DISPLAY=" + m_xvfb->display(),
                                     "XDG_DATA_HOME=" + (m_dir.path() / "xdg").string(),
                                     "NO_AT_BRIDGE=1"},
            output_file());
    }

    fs::path data_dir() const { return m_dir.path() / "xdg" / "Lanternfold" / "Termiva"; }
    fs::path output_file() const { return m_dir.path() / "output.txt"; }

    TempDir m_dir;
    fs::path m_dbus;
    std::unique_ptr<XvfbServer> m_xvfb;
    DisplayPtr m_display;
};

TEST_F(WindowProgram, OpensAtTheConfiguredSizeDrawsThePageAndOnlyHidesOnClose) {
    // Width from the file; the height keeps the program's own default.
    write_file(data_dir() / "settings.json", R"({"window_w": 1000})");
    auto program = start(PROGRAM);
    Display* d = m_display.get();

    Window window = 0;
    ASSERT_TRUE(wait_until(
        [&] {
            window = find_titled(d, DefaultRootWindow(d), "Termiva");
            return window && viewable(d, window);
        },
        10s))
        << "no window titled Termiva; program said:\n"
        << read_file(output_file());

    XWindowAttributes attributes;
    ASSERT_TRUE(XGetWindowAttributes(d, window, &attributes));
    EXPECT_EQ(attributes.width, 1000);
    EXPECT_EQ(attributes.height, 720);

    // The page paints text and controls over its background: many colours, not one.
    EXPECT_TRUE(wait_until([&] { return colours_in(d, window) >= 8; }, 10s))
        << "the window stayed blank (" << colours_in(d, window) << " colours)";
    EXPECT_TRUE(fs::is_directory(data_dir() / "webview2_data"));

    request_close(d, window);
    EXPECT_TRUE(wait_until([&] { return !viewable(d, window); }, 5s)) << "close did not hide";
    std::this_thread::sleep_for(500ms);
    EXPECT_TRUE(program->running()) << "closing the window ended the program:\n"
                                    << read_file(output_file());
    EXPECT_NE(read_file(output_file()).find("run model --> termiva"), std::string::npos);
}

TEST_F(WindowProgram, ReportsAMissingPageAsFatalAndFails) {
    // The program folder without its page: the executable and its libraries only.
    fs::path folder = m_dir.path() / "program";
    fs::create_directories(folder);
    for (const auto& entry : fs::directory_iterator(PROGRAM.parent_path())) {
        const auto name = entry.path().filename().string();
        if (name == "termiva" || entry.path().extension() == ".so") {
            fs::copy_file(entry.path(), folder / name);
        }
    }
    auto program = start(folder / "termiva");
    auto status = program->wait_exit(15000);
    ASSERT_TRUE(status.has_value()) << "the program kept running without its page";
    EXPECT_NE(*status, 0);
    const std::string out = read_file(output_file());
    EXPECT_NE(out.find("run model --> termiva"), std::string::npos) << out;
    EXPECT_NE(out.find("[GUI] fatal:"), std::string::npos) << out;
    EXPECT_NE(out.find("index.html"), std::string::npos) << out;
}

}  // namespace
}  // namespace termiva::testing
