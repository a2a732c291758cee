// Bulk output through an SSH-1 tab (TermivaApp, drained as the page does) and through
// the SSH-1 backend alone, against PuTTY's plink -1 on the same test server, for each
// cipher. Run by hand: build/bench/ssh1_throughput [MiB] [cipher] (default 50, both).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "app/termiva_app.h"
#include "connect/ssh1/ssh1_backend.h"
#include "fixtures/ssh1_server/ssh1_fixture.h"
#include "support/recording_window.h"
#include "support/test_support.h"
#include "tab_timing.h"

using namespace termiva;
using namespace termiva::bench;

// Reads the backend until the marker has gone by; the seconds it took.
static double backend_seconds(termiva::testing::Ssh1Fixture& server, const std::string& file,
                              const std::filesystem::path& known_hosts) {
    Ssh1Backend::Options o;
    o.host = "127.0.0.1";
    o.port = server.port();
    o.username = server.options().user;
    o.password = server.options().password;
    o.known_hosts_file = known_hosts;
    Ssh1Backend backend(o);
    backend.connect();
    backend.send("stty -echo; cat " + file + "; echo END''MARK\n");
    const auto t0 = clk::now();
    std::string tail;
    while (tail.find("ENDMARK") == std::string::npos && seconds_since(t0) < 300) {
        std::string part = backend.recv(4096);
        if (part.empty()) break;
        tail += part;
        if (tail.size() > 64) tail.erase(0, tail.size() - 64);
    }
    const double s = seconds_since(t0);
    backend.close();
    return s;
}

static double tab_seconds(termiva::testing::Ssh1Fixture& server, const std::string& file,
                          const std::filesystem::path& data, std::size_t& got) {
    auto window = std::make_shared<termiva::testing::RecordingWindow>();
    TermivaApp app(nullptr, nullptr, data);
    app.set_window(window);
    auto saved = app.save_session({{"protocol", "ssh"},
                                   {"ssh_version", "1"},
                                   {"host", "127.0.0.1"},
                                   {"port", server.port()},
                                   {"username", server.options().user},
                                   {"password", server.options().password}});
    std::string tab = app.tabs().connect_session(saved["id"])["tab_id"];
    wait_connected(app, *window, tab, std::chrono::milliseconds(300));
    const double s = cat_through_tab(app, tab, file, got);
    app.tabs().close_tab(tab);
    return s;
}

int main(int argc, char** argv) {
    const long mib = argc > 1 ? std::atol(argv[1]) : 50;
    termiva::testing::TempDir dir;
    const auto file = (dir.path() / "big.txt").string();
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
    const auto plink = termiva::testing::find_program("plink");
    std::printf("payload %.0f MiB; best of three runs each, plink's less a login\n",
                bytes / (1 << 20));
    for (std::string cipher : {"3des", "blowfish"}) {
        if (argc > 2 && cipher != argv[2]) continue;
        termiva::testing::Ssh1FixtureOptions fo;
        fo.ciphers = cipher;
        termiva::testing::Ssh1Fixture server(dir.path(), dir.path() / "host_key", fo);
        double plink_s = 0;
        if (plink) {
            const auto sessions = dir.path() / ".putty" / "sessions";
            std::filesystem::create_directories(sessions);
            std::ofstream(sessions / cipher)
                << "Cipher=" << cipher << ",aes,chacha20,aesgcm,3des,blowfish,WARN,des,arcfour\n";
            const std::string run = "HOME=" + dir.path().string() + " " + plink->string() +
                                    " -load " + cipher + " -1 -batch -t -hostkey " +
                                    server.host_key_md5() + " -pw " + fo.password + " -P " +
                                    std::to_string(server.port()) + " " + fo.user + "@127.0.0.1 ";
            const double login = best_seconds(run + "true </dev/null >/dev/null 2>&1");
            plink_s =
                best_seconds(run + "'stty -echo; cat " + file + "' </dev/null >/dev/null 2>&1") -
                login;
        }
        // Best of three like plink's figure: the machine is shared and noisy.
        double backend_s = 1e9, tab_s = 1e9;
        std::size_t got = 0;
        for (int run = 0; run < 3; ++run) {
            backend_s =
                std::min(backend_s, backend_seconds(server, file, dir.path() / "known_hosts"));
            const auto data = dir.path() / ("data-" + cipher + std::to_string(run));
            tab_s = std::min(tab_s, tab_seconds(server, file, data, got));
        }
        std::printf("%-8s plink -1 -t: %6.2f s %6.1f MB/s\n", cipher.c_str(), plink_s,
                    plink_s > 0 ? bytes / plink_s / 1e6 : 0.0);
        std::printf("%-8s backend:     %6.2f s %6.1f MB/s\n", cipher.c_str(), backend_s,
                    bytes / backend_s / 1e6);
        std::printf("%-8s tab:         %6.2f s %6.1f MB/s (drained %zu chars)\n", cipher.c_str(),
                    tab_s, bytes / tab_s / 1e6, got);
        if (plink_s > 0) {
            std::printf("%-8s ratio tab / plink: %.2f  backend / plink: %.2f\n", cipher.c_str(),
                        plink_s / tab_s, plink_s / backend_s);
        }
    }
}
