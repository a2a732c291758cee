// The window program's reachability dots under a private X server: a session whose host
// answers shows the online dot, one whose host does not the offline ring, with no launcher
// at all (the program probes by itself). The window is saved as a picture.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

// gtest (through the program harness) before Xlib: its macros would break gtest's headers.
#include "integration/gui_program.h"

#include <X11/Xutil.h>

namespace termiva::testing {
namespace {

using namespace std::chrono_literals;

enum class Hue { green, red };

// How many pixels of the window are clearly green (the online dot) or red (the offline
// ring, drawn anti-aliased over the dark panel); optionally the whole window to `ppm`.
std::size_t pixels_of(Display* d, Window w, Hue hue, const std::string& ppm = {}) {
    XWindowAttributes a;
    if (!XGetWindowAttributes(d, w, &a) || a.map_state != IsViewable) return 0;
    XImage* image = XGetImage(d, w, 0, 0, a.width, a.height, AllPlanes, ZPixmap);
    if (!image) return 0;
    std::FILE* out = ppm.empty() ? nullptr : std::fopen(ppm.c_str(), "wb");
    if (out) std::fprintf(out, "P6\n%d %d\n255\n", a.width, a.height);
    std::size_t count = 0;
    for (int y = 0; y < a.height; ++y) {
        for (int x = 0; x < a.width; ++x) {
            const unsigned long p = XGetPixel(image, x, y);
            const int r = static_cast<int>((p & image->red_mask) >> 16);
            const int g = static_cast<int>((p & image->green_mask) >> 8);
            const int b = static_cast<int>(p & image->blue_mask);
            if (out) {
                const unsigned char bytes[3] = {static_cast<unsigned char>(r),
                                                static_cast<unsigned char>(g),
                                                static_cast<unsigned char>(b)};
                std::fwrite(bytes, 1, 3, out);
            }
            // The page's --ok is (92, 207, 143) and --danger (239, 107, 107); nothing else on
            // this screen is that green or that red.
            if (hue == Hue::green ? g > 150 && g > r + 60 && g > b + 30
                                  : r > 110 && r > g + 50 && r > b + 50) {
                ++count;
            }
        }
    }
    if (out) std::fclose(out);
    XDestroyImage(image);
    return count;
}

int listening_socket(int& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(fd, 16);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    return fd;
}

using WindowReachability = WindowProgramTest;

TEST_F(WindowReachability, TheDotsShowWhatTheProgramsOwnProbeFound) {
    // SSH sessions: the loopback answers an ICMP echo where the system allows one, and its
    // SSH port (listening here) a TCP connect where it does not; a name that does not
    // resolve answers neither.
    int up_port = 0;
    const int listener = listening_socket(up_port);
    write_text_file(data_dir() / "sessions.json",
                    R"({"sessions": [
      {"id": "e0000000000000000000000000000001", "name": "Reachable", "protocol": "ssh",
       "host": "127.0.0.1", "port": )" +
                        std::to_string(up_port) + R"(},
      {"id": "e0000000000000000000000000000002", "name": "Unreachable", "protocol": "ssh",
       "host": "no-such-host.invalid", "port": 22}]})");
    auto program = start(PROGRAM);
    Display* d = display();
    Window window = wait_for_window(10s);
    ASSERT_NE(window, 0u) << "no window titled Termiva; program said:\n" << output();

    // A filled 8-pixel dot, and a ring around an empty one.
    const bool lit = wait_until(
        [&] {
            return pixels_of(d, window, Hue::green) >= 20 && pixels_of(d, window, Hue::red) >= 8;
        },
        15s);
    const std::string picture = (m_dir.path() / "window.ppm").string();
    const std::size_t online = pixels_of(d, window, Hue::green, picture);
    const std::size_t offline = pixels_of(d, window, Hue::red);
    // Kept beside the page tests' pictures for a person to look at.
    const std::filesystem::path keep =
        std::filesystem::path(TERMIVA_TEST_BIN_DIR) / ".." / "web-artifacts";
    std::error_code ec;
    std::filesystem::create_directories(keep, ec);
    std::filesystem::copy_file(picture, keep / "window-reachability.ppm",
                               std::filesystem::copy_options::overwrite_existing, ec);
    EXPECT_TRUE(lit) << online << " online and " << offline << " offline pixels; program said:\n"
                     << output();
    ::close(listener);
}

}  // namespace
}  // namespace termiva::testing
