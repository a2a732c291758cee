// Bulk output through an SSH tab (TermivaApp, drained as the page does) against the
// OpenSSH client on the same server. Run by hand: build/bench/ssh_throughput [MiB].
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <thread>

#include "app/termiva_app.h"
#include "fixtures/sshd_fixture.h"
#include "support/recording_window.h"

using namespace termiva;
using clk = std::chrono::steady_clock;

static double seconds_since(clk::time_point t) {
    return std::chrono::duration<double>(clk::now() - t).count();
}

int main(int argc, char** argv) {
    const long mib = argc > 1 ? std::atol(argv[1]) : 200;
    testing::SshdFixture server("/usr/sbin/sshd", "/usr/bin/ssh-keygen");
    const auto file = server.dir() / "big.txt";
    {
        std::string line(79, 'x');
        line += '\n';
        std::string block;
        while (block.size() < (1 << 20))
            block += line;
        block.resize(1 << 20);
        std::ofstream out(file, std::ios::binary);
        for (long i = 0; i < mib; ++i)
            out << block;
    }
    const double bytes = double(mib) * (1 << 20);
    const std::string ssh =
        "ssh -q -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null -i " +
        server.client_key().string() + " -p " + std::to_string(server.port()) + " " +
        testing::SshdFixture::login_user() + "@127.0.0.1 ";
    auto t0 = clk::now();
    std::system((ssh + "true").c_str());
    const double login = seconds_since(t0);
    t0 = clk::now();
    std::system((ssh + "cat " + file.string() + " >/dev/null").c_str());
    const double openssh = seconds_since(t0) - login;
    t0 = clk::now();
    std::system((ssh + "-tt cat " + file.string() + " >/dev/null").c_str());
    const double openssh_tty = seconds_since(t0) - login;

    auto data = std::filesystem::temp_directory_path() / "termiva-bench-data";
    std::filesystem::remove_all(data);
    auto window = std::make_shared<testing::RecordingWindow>();
    double ours = 0;
    std::size_t got = 0;
    {
        TermivaApp app(nullptr, nullptr, data);
        app.set_window(window);
        auto saved = app.save_session({{"host", "127.0.0.1"},
                                       {"port", server.port()},
                                       {"username", testing::SshdFixture::login_user()},
                                       {"private_key", server.client_key().string()}});
        std::string tab = app.connect_session(saved["id"])["tab_id"];
        for (int i = 0; i < 1000; ++i) {
            bool connected = false;
            for (auto& s : window->scripts())
                connected |= s.find("terminalConnected") != std::string::npos;
            if (connected) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        app.drain_terminal(tab);
        app.send_input(tab, "stty -echo; cat " + file.string() + "; echo END''MARK\n");
        t0 = clk::now();
        std::string tail;
        for (;;) {
            std::string part = app.drain_terminal(tab);
            got += part.size();
            tail = (tail + part);
            if (tail.size() > 64) tail.erase(0, tail.size() - 64);
            if (tail.find("ENDMARK") != std::string::npos) break;
            if (part.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
            if (seconds_since(t0) > 300) break;
        }
        ours = seconds_since(t0);
        app.close_tab(tab);
    }
    std::filesystem::remove_all(data);
    std::printf("payload %.0f MiB, login overhead %.2f s\n", bytes / (1 << 20), login);
    std::printf("openssh client: %.2f s  %.1f MB/s\n", openssh, bytes / openssh / 1e6);
    std::printf("openssh client with a pty (-tt): %.2f s  %.1f MB/s\n", openssh_tty,
                bytes / openssh_tty / 1e6);
    std::printf("termiva tab:    %.2f s  %.1f MB/s (drained %zu chars)\n", ours, bytes / ours / 1e6,
                got);
    std::printf("ratio: %.2f\n", openssh / ours);
}
