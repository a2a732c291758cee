// Bulk output through an SSH tab (TermivaApp, drained as the page does) against the
// OpenSSH client on the same server. Run by hand: build/bench/ssh_throughput [MiB].
// The Windows build (run under Wine beside the Linux one, on the server
// tests/support/wine_sshd.sh starts) measures our client and tab only, on the server
// TERMIVA_TEST_SSHD names: tests/support/wine_sshd.sh scripts/wine-run.sh
// build-win/bench/ssh_throughput.exe [MiB]; the OpenSSH client's figure is the Linux run's.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>

#include "app/termiva_app.h"
#include "connect/ssh2/ssh_connection.h"
#include "connect/ssh2/ssh_prefs.h"
#include "platform/utf8_path.h"
#include "support/recording_window.h"
#include "tab_timing.h"

#ifndef _WIN32
#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "fixtures/sshd_fixture.h"
#include "platform/pty_process.h"
#else
#include <winsock2.h>
#endif

using namespace termiva;
using namespace termiva::bench;

namespace {

// The server and the login, as both builds know them.
struct Server {
    int port = 0;
    std::string user;
    std::string key;                // the client key, a name of the system the client runs on
    std::filesystem::path scratch;  // a folder of the client's for known hosts and data
};

SshConnectOptions options_for(const Server& server) {
    SshConnectOptions options;
    options.host = "127.0.0.1";
    options.port = server.port;
    options.username = server.user;
    options.key_file = platform::path_from_utf8(server.key);
    options.look_for_keys = false;
    options.known_hosts_file = server.scratch / "bench_known_hosts";
    if (const char* ciphers = std::getenv("BENCH_CIPHERS"))
        options.prefs = SshPrefs{{"ciphers", {ciphers}}};
    return options;
}

// Runs `command` in a shell on the server without a pseudo-terminal and collects what it
// prints until the channel closes (at most 300 s); returns the seconds from the first
// bytes on, `bytes` the count.
double run_on_server(const Server& server, const std::string& command, std::size_t& bytes) {
    SshConnection conn;
    conn.connect(options_for(server));
    auto channel = conn.open_session();
    conn.invoke_shell(channel);
    channel->send(command + "\n");
    bytes = channel->recv(1 << 20).size();
    const auto t0 = clk::now();
    while (!channel->closed()) {
        bytes += channel->recv(1 << 20).size();
        if (seconds_since(t0) > 300) break;
    }
    const double seconds = seconds_since(t0);
    conn.close();
    return seconds;
}

// The file through a tab of the application, drained as the page does.
double tab_seconds(const Server& server, const std::string& file, std::size_t& got) {
    auto data = server.scratch / "termiva-bench-data";
    std::filesystem::remove_all(data);
    auto window = std::make_shared<testing::RecordingWindow>();
    double seconds = 0;
    {
        TermivaApp app(nullptr, nullptr, data);
        app.set_window(window);
        auto saved = app.save_session({{"host", "127.0.0.1"},
                                       {"port", server.port},
                                       {"username", server.user},
                                       {"private_key", server.key}});
        std::string tab = app.tabs().connect_session(saved["id"])["tab_id"];
        wait_connected(app, *window, tab, std::chrono::milliseconds(500));
        seconds = cat_through_tab(app, tab, file, got);
        app.tabs().close_tab(tab);
    }
    std::filesystem::remove_all(data);
    return seconds;
}

void print_ours(double bytes, double client_no_pty, std::size_t client_bytes, double ours,
                std::size_t got) {
    std::printf("termiva client without a pty: %.2f s  %.1f MB/s (%zu bytes)\n", client_no_pty,
                bytes / client_no_pty / 1e6, client_bytes);
    std::printf("termiva tab:    %.2f s  %.1f MB/s (drained %zu chars)\n", ours, bytes / ours / 1e6,
                got);
}

}  // namespace

#ifdef _WIN32

// The server wine_sshd.sh started: "port;user;key" (the key as a Windows path).
int main(int argc, char** argv) {
    const long mib = argc > 1 ? std::atol(argv[1]) : 200;
    const char* text = std::getenv("TERMIVA_TEST_SSHD");
    Server server;
    std::stringstream in(text ? text : "");
    std::string port;
    if (!std::getline(in, port, ';') || !std::getline(in, server.user, ';') ||
        !std::getline(in, server.key) || (server.port = std::atoi(port.c_str())) <= 0) {
        std::fprintf(stderr, "run inside tests/support/wine_sshd.sh (TERMIVA_TEST_SSHD)\n");
        return 2;
    }
    WSADATA wsa{};
    ::WSAStartup(MAKEWORD(2, 2), &wsa);
    server.scratch = std::filesystem::temp_directory_path() / L"termiva-bench-ssh";
    std::filesystem::create_directories(server.scratch);
    const double bytes = double(mib) * (1 << 20);
    // The payload is made on the server, as the Linux run makes it: lines of 79 "x".
    const std::string file = "/tmp/termiva-bench-ssh-" + std::to_string(server.port) + ".txt";
    std::size_t ignored = 0;
    run_on_server(server,
                  "exec sh -c 'yes " + std::string(79, 'x') + " | head -c " +
                      std::to_string(static_cast<long long>(mib) << 20) + " > " + file + "'",
                  ignored);
    std::size_t client_bytes = 0, got = 0;
    const double client_no_pty = run_on_server(server, "exec cat " + file, client_bytes);
    const double ours = tab_seconds(server, file, got);
    run_on_server(server, "exec rm -f " + file, ignored);
    std::filesystem::remove_all(server.scratch);
    std::printf("payload %.0f MiB (Windows build; compare with the Linux run's OpenSSH client)\n",
                bytes / (1 << 20));
    print_ours(bytes, client_no_pty, client_bytes, ours, got);
}

#else

namespace {

// What a pseudo-terminal alone carries on this machine: `cat` on a local pty, its master
// read until the end. The server's side of an SSH tab is such a pty, so no tab can be
// faster than this.
double local_pty_seconds(const std::filesystem::path& file) {
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

}  // namespace

int main(int argc, char** argv) {
    const long mib = argc > 1 ? std::atol(argv[1]) : 200;
    testing::SshdFixture sshd("/usr/sbin/sshd", "/usr/bin/ssh-keygen");
    const Server server{sshd.port(), testing::SshdFixture::login_user(), sshd.client_key().string(),
                        sshd.dir()};
    const auto file = sshd.dir() / "big.txt";
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
        "ssh -q -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null -i " + server.key +
        " -p " + std::to_string(server.port) + " " + server.user + "@127.0.0.1 ";
    // OpenSSH's client as a user would run it, less the time a login takes.
    const double login = best_seconds(ssh + "true");
    const double openssh = best_seconds(ssh + "cat " + file.string() + " >/dev/null") - login;
    const double openssh_tty =
        best_seconds(ssh + "-tt cat " + file.string() + " >/dev/null") - login;

    const double local_pty = local_pty_seconds(file);

    // Our SSH client alone, on a shell without a pseudo-terminal: the same work as the
    // OpenSSH client above, without the server's pty in the way.
    std::size_t client_bytes = 0, got = 0;
    const double client_no_pty = run_on_server(server, "exec cat " + file.string(), client_bytes);
    const double ours = tab_seconds(server, file.string(), got);
    std::printf("payload %.0f MiB, OpenSSH login %.2f s (subtracted; best of three runs)\n",
                bytes / (1 << 20), login);
    std::printf("openssh client: %.2f s  %.1f MB/s\n", openssh, bytes / openssh / 1e6);
    std::printf("openssh client with a pty (-tt): %.2f s  %.1f MB/s\n", openssh_tty,
                bytes / openssh_tty / 1e6);
    std::printf("local pty alone (no SSH): %.2f s  %.1f MB/s\n", local_pty,
                bytes / local_pty / 1e6);
    print_ours(bytes, client_no_pty, client_bytes, ours, got);
    std::printf("ratio tab / openssh: %.2f\n", openssh / ours);
    std::printf("ratio tab / openssh -tt: %.2f\n", openssh_tty / ours);
    std::printf("ratio client without a pty / openssh: %.2f\n", openssh / client_no_pty);
}

#endif
