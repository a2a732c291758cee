// Addresses reach the desktop's opener program only when they are web or mail addresses,
// as one argument: under a private X server, with xdg-open on the search path replaced by
// a recorder.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <future>
#include <sstream>

#include "integration/gui_xvfb.h"
#include "platform/linux/gtk/gtk_desktop.h"
#include "support/test_support.h"

namespace termiva::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string read_all(const fs::path& file) {
    std::ifstream in(file);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST(DesktopOpener, OnlyWebAndMailAddressesReachXdgOpenAsOneArgument) {
    auto xvfb_path = find_program("Xvfb");
    if (!xvfb_path) {
        if (peers_required()) FAIL() << "Xvfb is required";
        GTEST_SKIP() << "Xvfb not installed";
    }
    XvfbServer xvfb(*xvfb_path);
    ASSERT_FALSE(xvfb.display().empty());
    ::setenv("DISPLAY", xvfb.display().c_str(), 1);
    ::setenv("NO_AT_BRIDGE", "1", 1);

    TempDir dir;
    const fs::path record = dir.path() / "opened.txt";
    const fs::path opener = dir.path() / "bin" / "xdg-open";
    fs::create_directories(opener.parent_path());
    std::ofstream(opener) << "#!/bin/sh\n"
                             "printf '%s|%s\\n' \"$#\" \"$1\" >> '"
                          << record.string()
                          << "'\n"
                             "case \"$1\" in *fail*) exit 4;; esac\n";
    fs::permissions(opener, fs::perms::owner_all);
    const std::string old_path = std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin";
    ::setenv("PATH", (opener.parent_path().string() + ":" + old_path).c_str(), 1);

    auto desktop = platform::gtk::make_gtk_desktop();
    // As a page call does: from a worker thread, not the window's.
    auto open = [&](const std::string& url) {
        return std::async(std::launch::async, [&] { return desktop->open_url(url); }).get();
    };
    for (const std::string refused : {"file:///etc/passwd", "javascript:alert(1)", "ssh://x", "",
                                      "just some text", "x-terminal-emulator:sh"}) {
        EXPECT_FALSE(open(refused)) << refused;
    }
    const std::string tricky = "https://example.com/a?b=1&c=$(touch%20x);d`id`";
    EXPECT_TRUE(open(tricky));
    EXPECT_TRUE(open("mailto:someone@example.com"));
    EXPECT_FALSE(open("https://example.com/fail"));  // the opener reported a failure

    ::setenv("PATH", old_path.c_str(), 1);
    EXPECT_EQ(read_all(record),
              "1|" + tricky + "\n1|mailto:someone@example.com\n1|https://example.com/fail\n");
    EXPECT_FALSE(fs::exists(dir.path() / "x"));
}

}  // namespace
}  // namespace termiva::testing
