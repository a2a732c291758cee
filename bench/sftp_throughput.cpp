// SFTP downloads and uploads through an SSH-2 tab of the application (sftp_download and
// sftp_upload, files written to disk) against OpenSSH's `sftp` client on the same server
// in the same run, both with one cipher (BENCH_CIPHER, OpenSSH's first choice by default).
// Run by hand: build/bench/sftp_throughput [MiB] (200 by default).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>

#include "fixtures/sshd_fixture.h"
#include "tab_timing.h"

using namespace termiva;
using namespace termiva::bench;
namespace fs = std::filesystem;

namespace {

// The "done" events the page has been told of so far.
std::size_t done_events(testing::RecordingWindow& window) {
    std::size_t n = 0;
    for (const std::string& s : window.scripts())
        if (s.find("xferOnEvent") != std::string::npos &&
            s.find("\"kind\":\"done\"") != std::string::npos)
            ++n;
    return n;
}

// Starts `op` in the tab and waits for its end (at most 300 s); the seconds it took.
double tab_copy_seconds(TermivaApp& app, testing::RecordingWindow& window, const std::string& op,
                        const nlohmann::json& args) {
    const std::size_t before = done_events(window);
    const auto t0 = clk::now();
    const auto answer = app.call_bridge(op, args);
    if (!answer || answer->value("ok", false) != true) {
        std::fprintf(stderr, "%s refused: %s\n", op.c_str(), answer ? answer->dump().c_str() : "");
        std::exit(1);
    }
    while (done_events(window) == before && seconds_since(t0) < 300)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return seconds_since(t0);
}

void print(const char* what, double bytes, double openssh, double ours) {
    std::printf("%s: openssh sftp %.2f s  %.1f MB/s | termiva %.2f s  %.1f MB/s | ratio %.2f\n",
                what, openssh, bytes / openssh / 1e6, ours, bytes / ours / 1e6, openssh / ours);
}

}  // namespace

int main(int argc, char** argv) {
    const long mib = argc > 1 ? std::atol(argv[1]) : 200;
    testing::SshdOptions options;
    options.extra_config = {"Subsystem sftp internal-sftp"};
    testing::SshdFixture sshd("/usr/sbin/sshd", "/usr/bin/ssh-keygen", options);
    const fs::path remote = sshd.dir() / "remote";
    const fs::path local = sshd.dir() / "local";
    fs::create_directories(remote);
    fs::create_directories(local);
    const fs::path file = remote / "payload.bin";
    {
        std::mt19937_64 random(42);
        std::string block(1 << 20, '\0');
        std::ofstream out(file, std::ios::binary);
        for (long i = 0; i < mib; ++i) {
            for (std::size_t at = 0; at < block.size(); at += 8) {
                const std::uint64_t v = random();
                std::memcpy(&block[at], &v, 8);
            }
            out << block;
        }
    }
    const double bytes = double(mib) * (1 << 20);
    const char* chosen = std::getenv("BENCH_CIPHER");
    const std::string cipher = chosen && *chosen ? chosen : "chacha20-poly1305@openssh.com";
    const std::string sftp = "sftp -q -c " + cipher +
                             " -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null -i " +
                             sshd.client_key().string() + " -P " + std::to_string(sshd.port()) +
                             " -b - " + testing::SshdFixture::login_user() +
                             "@127.0.0.1 >/dev/null";
    auto batch = [&](const std::string& commands) {
        return "printf '" + commands + "\\n' | " + sftp;
    };
    // OpenSSH's client as a user would run it, less the time a login takes.
    const double login = best_seconds(batch("bye"));
    const fs::path openssh_copy = local / "openssh.bin";
    const double openssh_get =
        best_seconds(batch("get " + file.string() + " " + openssh_copy.string())) - login;
    const double openssh_put =
        best_seconds(batch("put " + openssh_copy.string() + " " + (remote / "put.bin").string())) -
        login;
    fs::remove(openssh_copy);
    fs::remove(remote / "put.bin");

    auto window = std::make_shared<testing::RecordingWindow>();
    const fs::path data = sshd.dir() / "termiva-bench-data";
    double ours_get = 0;
    double ours_put = 0;
    {
        TermivaApp app(nullptr, nullptr, data);
        app.set_window(window);
        auto saved = app.save_session({{"host", "127.0.0.1"},
                                       {"port", sshd.port()},
                                       {"username", testing::SshdFixture::login_user()},
                                       {"private_key", sshd.client_key().string()},
                                       {"ssh_ciphers", nlohmann::json::array({cipher})}});
        const std::string tab = app.tabs().connect_session(saved["id"])["tab_id"];
        wait_connected(app, *window, tab, std::chrono::milliseconds(500));
        // Best of three, as for OpenSSH; each copy lands under a new numbered name.
        ours_get = ours_put = 1e9;
        for (int i = 0; i < 3; ++i) {
            ours_get = std::min(ours_get, tab_copy_seconds(app, *window, "sftp_download",
                                                           {tab, file.string(), local.string()}));
            fs::remove_all(local);
            fs::create_directories(local);
        }
        const fs::path up = sshd.dir() / "up";
        fs::create_directories(up);
        for (int i = 0; i < 3; ++i) {
            ours_put = std::min(
                ours_put,
                tab_copy_seconds(app, *window, "sftp_upload",
                                 {tab, nlohmann::json::array({file.string()}), up.string()}));
            fs::remove_all(up);
            fs::create_directories(up);
        }
        app.tabs().close_tab(tab);
    }
    fs::remove_all(data);
    std::printf("payload %.0f MiB, cipher %s, OpenSSH login %.2f s (subtracted; best of three)\n",
                bytes / (1 << 20), cipher.c_str(), login);
    print("download", bytes, openssh_get, ours_get);
    print("upload", bytes, openssh_put, ours_put);
}
