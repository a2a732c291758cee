// The window program's reachability dots under a private X server: a session whose port
// listens shows the online dot, one whose port is closed the offline ring, with no
// launcher at all (the program probes by itself). The window is saved as a picture.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <X11/Xutil.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

#include "integration/gui_program.h"

namespace termiva::testing {
namespace {

using namespace std::chrono_literals;

// How many pixels of the window are within a small distance of `rgb`; optionally the whole
// window written to `ppm`.
std::size_t pixels_near(Display* d, Window w, unsigned rgb, const std::string& ppm = {}) {
    XWindowAttributes a;
    if (!XGetWindowAttributes(d, w, &a) || a.map_state != IsViewable) return 0;
    XImage* image = XGetImage(d, w, 0, 0, a.width, a.height, AllPlanes, ZPixmap);
    if (!image) return 0;
    std::FILE* out = ppm.empty() ? nullptr : std::fopen(ppm.c_str(), "wb");
    if (out) std::fprintf(out, "P6\n%d %d\n255\n", a.width, a.height);
    std::size_t count = 0;
    const int want[3] = {int(rgb >> 16) & 255, int(rgb >> 8) & 255, int(rgb) & 255};
    for (int y = 0; y < a.height; ++y) {
        for (int x = 0; x < a.width; ++x) {
            const unsigned long p = XGetPixel(image, x, y);
            const int c[3] = {int((p & image->red_mask) >> 16), int((p & image->green_mask) >> 8),
                              int(p & image->blue_mask)};
            if (out) {
                const unsigned char bytes[3] = {static_cast<unsigned char>(c[0]),
                                                static_cast<unsigned char>(c[1]),
                                                static_cast<unsigned char>(c[2])};
                std::fwrite(bytes, 1, 3, out);
            }
            if (std::abs(c[0] - want[0]) <= 12 && std::abs(c[1] - want[1]) <= 12 &&
                std::abs(c[2] - want[2]) <= 12)
                ++count;
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
    int up_port = 0;
    const int listener = listening_socket(up_port);
    const int closed_port = free_loopback_port();
    write_text_file(data_dir() / "sessions.json",
                    R"({"sessions": [
      {"id": "e0000000000000000000000000000001", "name": "Reachable", "protocol": "raw",
       "host": "127.0.0.1", "port": )" +
                        std::to_string(up_port) + R"(},
      {"id": "e0000000000000000000000000000002", "name": "Unreachable", "protocol": "raw",
       "host": "127.0.0.1", "port": )" +
                        std::to_string(closed_port) + R"(}]})");
    auto program = start(PROGRAM);
    Display* d = display();
    Window window = wait_for_window(10s);
    ASSERT_NE(window, 0u) << "no window titled Termiva; program said:\n" << output();

    // --ok fills the online dot; --danger rings the offline one.
    constexpr unsigned ONLINE = 0x5ccf8f;
    constexpr unsigned OFFLINE = 0xef6b6b;
    const bool lit = wait_until(
        [&] {
            return pixels_near(d, window, ONLINE) >= 20 && pixels_near(d, window, OFFLINE) >= 6;
        },
        15s);
    const std::string picture = (m_dir.path() / "window.ppm").string();
    const std::size_t online = pixels_near(d, window, ONLINE, picture);
    const std::size_t offline = pixels_near(d, window, OFFLINE);
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
