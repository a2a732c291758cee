// Bulk output through an SSH tab (TermivaApp, drained as the page does) against the
// OpenSSH client on the same server. Run by hand: build/bench/ssh_throughput [MiB].
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <thread>

#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "app/termiva_app.h"
#include "connect/ssh2/ssh_connection.h"
#include "connect/ssh2/ssh_prefs.h"
#include "fixtures/sshd_fixture.h"
#include "platform/pty_process.h"
#include "support/recording_window.h"
#include "tab_timing.h"

using namespace termiva;
using namespace termiva::bench;

// What a pseudo-terminal alone carries on this machine: `cat` on a local pty, its master
// read until the end. The server's side of an SSH tab is such a pty, so no tab can be
// faster than this.
static double local_pty_seconds(const std::filesystem::path& file) {
    platform::PtySpawn spawn;
    spawn.argv = {"cat", file.string()};
    platform::PtyProcess child(spawn);
    static char buf[1 << 16];
    const auto t0 = clk::now();
    pollfd ready{child.master_fd(), POLLIN, 0};
    for (;;) {
        const ssize_t n = ::read(child.master_fd(), buf, sizeof buf);
        if (n > 0) continue;
        if (n < 0 && errno == EAGAIN && ::poll(&ready, 1, 5000) > 0) continue;
        break;  // the end (EIO once cat has gone), or nothing for five seconds
    }
    return seconds_since(t0);
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
    // OpenSSH's client as a user would run it, less the time a login takes.
    const double login = best_seconds(ssh + "true");
    const double openssh = best_seconds(ssh + "cat " + file.string() + " >/dev/null") - login;
    const double openssh_tty =
        best_seconds(ssh + "-tt cat " + file.string() + " >/dev/null") - login;

    const double local_pty = local_pty_seconds(file);

    // Our SSH client alone, on a shell without a pseudo-terminal: the same work as the
    // OpenSSH client above, without the server's pty in the way.
    double client_no_pty = 0;
    std::size_t client_bytes = 0;
    {
        SshConnection conn;
        SshConnectOptions options;
        options.host = "127.0.0.1";
        options.port = server.port();
        options.username = testing::SshdFixture::login_user();
        options.key_file = server.client_key();
        options.look_for_keys = false;
        options.known_hosts_file = server.dir() / "bench_known_hosts";
        if (const char* ciphers = std::getenv("BENCH_CIPHERS"))
            options.prefs = SshPrefs{{"ciphers", {ciphers}}};
        conn.connect(options);
        auto channel = conn.open_session();
        conn.invoke_shell(channel);
        channel->send("exec cat " + file.string() + "\n");
        client_bytes = channel->recv(1 << 20).size();
        const auto t0 = clk::now();
        while (!channel->closed()) {
            client_bytes += channel->recv(1 << 20).size();
            if (seconds_since(t0) > 300) break;
        }
        client_no_pty = seconds_since(t0);
        conn.close();
    }

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
        wait_connected(app, *window, tab, std::chrono::milliseconds(500));
        ours = cat_through_tab(app, tab, file.string(), got);
        app.close_tab(tab);
    }
    std::filesystem::remove_all(data);
    std::printf("payload %.0f MiB, OpenSSH login %.2f s (subtracted; best of three runs)\n",
                bytes / (1 << 20), login);
    std::printf("openssh client: %.2f s  %.1f MB/s\n", openssh, bytes / openssh / 1e6);
    std::printf("openssh client with a pty (-tt): %.2f s  %.1f MB/s\n", openssh_tty,
                bytes / openssh_tty / 1e6);
    std::printf("local pty alone (no SSH): %.2f s  %.1f MB/s\n", local_pty,
                bytes / local_pty / 1e6);
    std::printf("termiva client without a pty: %.2f s  %.1f MB/s (%zu bytes)\n", client_no_pty,
                bytes / client_no_pty / 1e6, client_bytes);
    std::printf("termiva tab:    %.2f s  %.1f MB/s (drained %zu chars)\n", ours, bytes / ours / 1e6,
                got);
    std::printf("ratio tab / openssh: %.2f\n", openssh / ours);
    std::printf("ratio tab / openssh -tt: %.2f\n", openssh_tty / ours);
    std::printf("ratio client without a pty / openssh: %.2f\n", openssh / client_no_pty);
}
