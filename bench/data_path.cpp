// Throughput of the terminal data path: a loopback producer sends 256 MiB through a raw
// tab while a consumer drains it as the page does. Compared with reading the same socket
// straight into a buffer. Prints MB/s; run it by hand: build/bench/data_path [MiB].
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "app/termiva_app.h"

using namespace termiva;
using Clock = std::chrono::steady_clock;

namespace {

// A listening socket whose single client receives `total` bytes of terminal-like text.
struct Producer {
    int listen_fd;
    int port;
    std::thread thread;

    Producer(std::size_t total, const std::string& line) {
        listen_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listen_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        socklen_t len = sizeof addr;
        ::getsockname(listen_fd, reinterpret_cast<sockaddr*>(&addr), &len);
        port = ntohs(addr.sin_port);
        ::listen(listen_fd, 1);
        thread = std::thread([this, total, line] {
            int c = ::accept(listen_fd, nullptr, nullptr);
            std::string block;
            while (block.size() < 1 << 16)
                block += line;
            std::size_t sent = 0;
            while (sent < total) {
                std::size_t n = std::min(block.size(), total - sent);
                ssize_t w = ::write(c, block.data(), n);
                if (w <= 0) break;
                sent += static_cast<std::size_t>(w);
            }
            ::close(c);
        });
    }
    ~Producer() {
        thread.join();
        ::close(listen_fd);
    }
};

double seconds_since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

double baseline(std::size_t total, const std::string& line) {
    Producer p(total, line);
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(p.port));
    ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    auto start = Clock::now();
    std::string buf(4096, '\0');
    std::size_t got = 0;
    while (got < total) {
        ssize_t n = ::read(fd, buf.data(), buf.size());
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    double s = seconds_since(start);
    ::close(fd);
    return total / s / 1e6;
}

double through_tab(std::size_t total, const std::string& line, bool eol) {
    Producer p(total, line);
    auto dir =
        std::filesystem::temp_directory_path() / ("termiva-bench-" + std::to_string(::getpid()));
    std::filesystem::remove_all(dir);
    double mbps = 0;
    {
        TermivaApp app(nullptr, nullptr, dir);
        Json saved = app.save_session({{"name", "bench"},
                                       {"protocol", "raw"},
                                       {"host", "127.0.0.1"},
                                       {"port", p.port},
                                       {"lfhascr", eol}});
        std::string tab = app.connect_session(saved["id"])["tab_id"];
        // Output grows by one byte per line when every LF gains a CR. The producer closes
        // when done; the run ends when the tab has seen the end and the buffer is empty.
        std::size_t lines = total / line.size();
        std::size_t expected = total + (eol ? lines : 0);
        std::size_t got = 0;
        Clock::time_point start;
        bool started = false;
        auto tab_ptr = app.find_tab(tab);
        auto deadline = Clock::now() + std::chrono::minutes(2);
        while (Clock::now() < deadline) {
            bool ended = !tab_ptr->alive();
            std::string chunk = app.drain_terminal(tab);
            if (chunk.empty()) {
                if (ended && started) break;
                std::this_thread::sleep_for(std::chrono::microseconds(100));
                continue;
            }
            if (!started) {
                start = Clock::now();
                started = true;
            }
            got += chunk.size();
        }
        mbps = started ? total / seconds_since(start) / 1e6 : 0;
        if (got < expected) {
            std::printf(
                "  (the page fell behind: %.1f%% of the output was dropped by the cap)\n",
                100.0 * static_cast<double>(expected - got) / static_cast<double>(expected));
        }
    }
    std::filesystem::remove_all(dir);
    return mbps;
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 256;
    std::size_t total = mib << 20;
    // 80-column lines of mostly ASCII with a few multi-byte characters.
    std::string line =
        "drwxr-xr-x  2 user group  4096 Dec  7 09:00 build-\xE4\xB8\xAD\xE6\x96\x87 logs/ x\n";
    while (line.size() < 80)
        line.insert(0, " ");

    double base = baseline(total, line);
    double off = through_tab(total, line, false);
    double on = through_tab(total, line, true);
    std::printf("data path, %zu MiB through a raw tab drained as the page does\n", mib);
    std::printf("  socket into a buffer : %8.1f MB/s\n", base);
    std::printf("  tab, EOL translation off: %8.1f MB/s  ratio %.2f\n", off, off / base);
    std::printf("  tab, EOL translation on : %8.1f MB/s  ratio %.2f\n", on, on / base);
    return 0;
}
