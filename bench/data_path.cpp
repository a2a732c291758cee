// Throughput of the terminal data path: a loopback producer sends 256 MiB through a raw
// tab while a consumer drains it as the page does. Compared with reading the same socket
// straight into a buffer. Prints MB/s; run it by hand: build/bench/data_path [MiB] (on
// Windows builds too: build-win/bench/data_path.exe, under Wine through scripts/wine-run.sh).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <thread>

#include "app/termiva_app.h"
#include "platform/socket_io.h"

using namespace termiva;
using Clock = std::chrono::steady_clock;
namespace net = termiva::platform;

namespace {

// Waits until `fd` is ready as `want` asks (the sockets are non-blocking).
void wait_for(net::SocketFd fd, net::SocketWant want) {
    static const net::SocketWake never;
    net::wait_socket(fd, want, never, 1000);
}

// A listening socket whose single client receives `total` bytes of terminal-like text.
struct Producer {
    net::SocketFd listen_fd;
    int port;
    std::thread thread;

    Producer(std::size_t total, const std::string& line) {
        listen_fd = net::listen_loopback(0);
        port = net::local_port(listen_fd);
        thread = std::thread([this, total, line] {
            net::SocketFd c = net::NO_SOCKET;
            while ((c = net::accept_socket(listen_fd)) == net::NO_SOCKET)
                wait_for(listen_fd, net::SocketWant::read);
            std::string block;
            while (block.size() < 1 << 16)
                block += line;
            std::size_t sent = 0;
            while (sent < total) {
                std::size_t n = std::min(block.size(), total - sent);
                const net::SocketIo w = net::send_some(c, block.data(), n);
                if (w.status == net::SocketIo::would_block) {
                    wait_for(c, net::SocketWant::write);
                    continue;
                }
                if (w.status != net::SocketIo::done) break;
                sent += w.bytes;
            }
            net::shutdown_socket(c);
            net::close_socket(c);
        });
    }
    ~Producer() {
        thread.join();
        net::close_socket(listen_fd);
    }
};

double seconds_since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

double baseline(std::size_t total, const std::string& line) {
    Producer p(total, line);
    const net::SocketWake never;
    net::SocketFd fd =
        net::connect_tcp("127.0.0.1", p.port, net::IpFamily::any, 10, never, nullptr);
    auto start = Clock::now();
    std::string buf(4096, '\0');
    std::size_t got = 0;
    while (got < total) {
        const net::SocketIo n = net::recv_some(fd, buf.data(), buf.size());
        if (n.status == net::SocketIo::would_block) {
            wait_for(fd, net::SocketWant::read);
            continue;
        }
        if (n.status != net::SocketIo::done) break;
        got += n.bytes;
    }
    double s = seconds_since(start);
    net::close_socket(fd);
    return total / s / 1e6;
}

double through_tab(std::size_t total, const std::string& line, bool eol) {
    Producer p(total, line);
    std::string name = "termiva-bench-";
    name += std::to_string(std::random_device()());
    auto dir = std::filesystem::temp_directory_path() / name;
    std::filesystem::remove_all(dir);
    double mbps = 0;
    {
        TermivaApp app(nullptr, nullptr, dir);
        Json saved = app.save_session({{"name", "bench"},
                                       {"protocol", "raw"},
                                       {"host", "127.0.0.1"},
                                       {"port", p.port},
                                       {"lfhascr", eol}});
        std::string tab = app.tabs().connect_session(saved["id"])["tab_id"];
        // Output grows by one byte per line when every LF gains a CR. The producer closes
        // when done; the run ends when the tab has seen the end and the buffer is empty.
        std::size_t lines = total / line.size();
        std::size_t expected = total + (eol ? lines : 0);
        std::size_t got = 0;
        Clock::time_point start;
        bool started = false;
        auto tab_ptr = app.tabs().find_tab(tab);
        auto deadline = Clock::now() + std::chrono::minutes(2);
        while (Clock::now() < deadline) {
            bool ended = !tab_ptr->alive();
            std::string chunk = app.tabs().drain_terminal(tab);
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
    if (line.size() < 80) line = std::string(80 - line.size(), ' ') + line;

    double base = baseline(total, line);
    double off = through_tab(total, line, false);
    double on = through_tab(total, line, true);
    std::printf("data path, %zu MiB through a raw tab drained as the page does\n", mib);
    std::printf("  socket into a buffer : %8.1f MB/s\n", base);
    std::printf("  tab, EOL translation off: %8.1f MB/s  ratio %.2f\n", off, off / base);
    std::printf("  tab, EOL translation on : %8.1f MB/s  ratio %.2f\n", on, on / base);
    return 0;
}
