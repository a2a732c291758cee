// The installed program: `cmake --install` lays out the program folder, the launcher, the
// desktop entry and the icons under a prefix; the program started from that prefix finds
// its folder and shows its page. And without any display it says so in one line.
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>

#include "integration/gui_program.h"

namespace termiva::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

using InstalledProgram = WindowProgramTest;

// Width and height from a PNG's header.
std::pair<int, int> png_size(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    unsigned char h[24] = {};
    in.read(reinterpret_cast<char*>(h), sizeof h);
    if (!in || h[1] != 'P' || h[2] != 'N' || h[3] != 'G') return {0, 0};
    auto be32 = [&](int at) {
        return (h[at] << 24) | (h[at + 1] << 16) | (h[at + 2] << 8) | h[at + 3];
    };
    return {be32(16), be32(20)};
}

// Runs `argv` to the end (at most 2 minutes); its exit status, its output in `output`.
int run(const std::vector<std::string>& argv, const fs::path& output) {
    ChildProcess child(argv, {}, output);
    return child.wait_exit(120000).value_or(-1);
}

TEST_F(InstalledProgram, InstallsUnderAPrefixAndStartsFromThereShowingItsPage) {
    TERMIVA_REQUIRE_PROGRAM(validate, "desktop-file-validate");
    const fs::path prefix = m_dir.path() / "prefix with space";
    const fs::path log = m_dir.path() / "install.txt";
    ASSERT_EQ(
        run({TERMIVA_CMAKE_COMMAND, "--install", TERMIVA_BINARY_DIR, "--prefix", prefix.string()},
            log),
        0)
        << read_text_file(log);

    const fs::path folder = prefix / "lib" / "termiva";
    for (const char* part :
         {"termiva", "termiva-host", "libflashwright.so", "libsixbitline.so", "html/index.html",
          "html/vendor/xterm.js", "html/js/version.js", "格式範本/logo.png", "格式範本/logo.ico"}) {
        EXPECT_TRUE(fs::is_regular_file(folder / part)) << part;
    }
    EXPECT_TRUE(::access((folder / "termiva").c_str(), X_OK) == 0);
    // Nothing of the program lies loose in the prefix itself.
    for (const auto& entry : fs::directory_iterator(prefix)) {
        const auto name = entry.path().filename().string();
        EXPECT_TRUE(name == "lib" || name == "bin" || name == "share") << name;
    }
    EXPECT_TRUE(fs::is_directory(folder / "esp_stubs"));
    int notices = 0;
    for (const auto& entry : fs::directory_iterator(folder))
        notices += entry.path().extension() == ".dist-info" ? 1 : 0;
    EXPECT_GE(notices, 10);

    // The launcher on the search path leads to the program in its folder.
    const fs::path launcher = prefix / "bin" / "termiva";
    ASSERT_TRUE(fs::is_symlink(launcher));
    EXPECT_EQ(fs::canonical(launcher), fs::canonical(folder / "termiva"));
    EXPECT_EQ(fs::canonical(prefix / "bin" / "termiva-host"),
              fs::canonical(folder / "termiva-host"));

    const fs::path entry = prefix / "share" / "applications" / "termiva.desktop";
    EXPECT_EQ(run({validate.string(), entry.string()}, m_dir.path() / "validate.txt"), 0)
        << read_text_file(m_dir.path() / "validate.txt");
    const std::string desktop = read_text_file(entry);
    EXPECT_NE(desktop.find("\nExec=\"" + launcher.string() + "\"\n"), std::string::npos) << desktop;
    EXPECT_NE(desktop.find("\nTryExec=" + launcher.string() + "\n"), std::string::npos) << desktop;
    EXPECT_NE(desktop.find("\nIcon=termiva\n"), std::string::npos);

    const fs::path icons = prefix / "share" / "icons" / "hicolor";
    for (int size : {48, 128, 256}) {
        const auto sz = std::to_string(size);
        EXPECT_EQ(png_size(icons / (sz + "x" + sz) / "apps" / "termiva.png"),
                  std::make_pair(size, size));
    }
    EXPECT_NE(read_text_file(icons / "scalable" / "apps" / "termiva.svg").find("<svg"),
              std::string::npos);
    EXPECT_EQ(png_size(folder / "格式範本" / "logo.png"), std::make_pair(256, 256));

    // Started by the launcher's name, the program finds its page beside itself.
    auto program = start(launcher);
    Window window = wait_for_window(20s);
    ASSERT_NE(window, 0u) << "no window; the program said:\n" << output();
    EXPECT_TRUE(wait_until([&] { return colours_in(display(), window) >= 8; }, 15s))
        << "the page did not draw";
    EXPECT_NE(output().find("run model --> termiva"), std::string::npos) << output();
}

TEST(NoDisplay, SaysHowToGoOnInOneLineAndFails) {
    TempDir dir;
    const fs::path out = dir.path() / "output.txt";
    ChildProcess program({(fs::path(TERMIVA_PROGRAM_DIR) / "termiva").string()},
                         {"DISPLAY", "WAYLAND_DISPLAY", "XDG_DATA_HOME=" + dir.path().string()},
                         out);
    const auto status = program.wait_exit(20000);
    ASSERT_TRUE(status.has_value()) << "still running without a display";
    EXPECT_EQ(*status, 1);
    const std::string text = read_text_file(out);
    EXPECT_NE(text.find("\ncannot open a display; set DISPLAY, or use termiva-host for the "
                        "headless program\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("fatal"), std::string::npos) << text;
    EXPECT_EQ(text.find("0x"), std::string::npos) << "a stack trace:\n" << text;
}

}  // namespace
}  // namespace termiva::testing
