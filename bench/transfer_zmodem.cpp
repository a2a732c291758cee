// ZMODEM throughput of our engine against lrzsz on the same link, in the same run:
//   send:    our engine -> rz      versus  sz -> rz
//   receive: sz -> our engine      versus  sz -> rz
// over a socketpair and over a socat pty pair. Prints MB/s and the ratio ours / lrzsz
// (the goal is at least 0.9 both ways). Usage: transfer_zmodem [MiB per run, default 8]
#include <sys/socket.h>
#include <unistd.h>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "fixtures/lrzsz_peer.h"
#include "transfer/xyzmodem_transfer.h"
#include "unit/transfer_event_log.h"

namespace {

using namespace std::chrono;
using namespace termiva;
using namespace termiva::testing;
namespace fs = std::filesystem;

// The machine may be shared: the best of several rounds is the figure least disturbed.
constexpr int ROUNDS = 5;
// A stalled run is abandoned rather than waited for.
constexpr seconds RUN_LIMIT{30};

struct Scratch {
    Scratch() {
        root = fs::temp_directory_path() / ("termiva-bench-" + std::to_string(::getpid()));
        fs::remove_all(root);
        fs::create_directories(root / "src");
        fs::create_directories(root / "dst");
    }
    ~Scratch() {
        std::error_code ec;
        fs::remove_all(root, ec);
    }
    void clear_dst() {
        fs::remove_all(root / "dst");
        fs::create_directories(root / "dst");
    }
    fs::path root;
};

// Seconds for one transfer of `file` by our engine against the lrzsz program, or -1.
double ours(Scratch& s, const fs::path& file, bool sending, LinkKind link) {
    s.clear_dst();
    TransferEventLog log;
    std::vector<std::string> argv = sending
                                        ? std::vector<std::string>{"rz", "-b", "-q"}
                                        : std::vector<std::string>{"sz", "-b", "-q", file.string()};
    // Both measurements include making the link and starting the programs.
    auto start = steady_clock::now();
    LrzszPeer peer(argv, sending ? s.root / "dst" : s.root / "src", link);
    double secs = 0;
    std::optional<nlohmann::json> done;
    {
        XYZModemTransfer job(
            "zmodem", sending ? "send" : "recv", [&peer](std::string_view b) { peer.send(b); },
            log.sink(),
            sending ? std::optional(std::vector<std::string>{file.string()}) : std::nullopt,
            sending ? std::nullopt : std::optional((s.root / "dst").string()));
        peer.pump_to([&job](std::string_view b) { job.feed(b); });
        job.start();
        done = log.wait_done(RUN_LIMIT);
        // The session is over for us here; the peer's own exit is not counted.
        secs = duration<double>(steady_clock::now() - start).count();
        peer.wait_exit(seconds(10));
        peer.stop_pump();
    }
    if (!done || !done->at("ok").get<bool>()) return -1;
    return secs;
}

// Seconds for sz -> rz between two lrzsz processes on the same kind of link, or -1.
double lrzsz(Scratch& s, const fs::path& file, LinkKind link) {
    s.clear_dst();
    auto start = steady_clock::now();
    Fd a, b;
    std::unique_ptr<PtyPair> ptys;
    if (link == LinkKind::SocketPair) {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return -1;
        a.reset(fds[0]);
        b.reset(fds[1]);
    } else {
        ptys = std::make_unique<PtyPair>(s.root / "ptys");
        a = std::move(ptys->first());
        b = std::move(ptys->second());
    }
    ChildProcess rz({"rz", "-b", "-q"}, s.root / "dst", b.get(), s.root / "rz.log");
    ChildProcess sz({"sz", "-b", "-q", file.string()}, s.root / "src", a.get(), s.root / "sz.log");
    // sz exits once rz has closed the session: the same point as our "done". rz
    // sometimes lingers on a pty after that; its exit is not counted.
    auto sz_status = sz.wait(RUN_LIMIT);
    double secs = duration<double>(steady_clock::now() - start).count();
    auto rz_status = rz.wait(RUN_LIMIT);
    if (sz_status != 0 || rz_status != 0) {
        std::fprintf(stderr, "sz|rz failed (sz %d, rz %d): %s %s\n", sz_status.value_or(-1),
                     rz_status.value_or(-1), read_file(s.root / "sz.log").c_str(),
                     read_file(s.root / "rz.log").c_str());
        return -1;
    }
    return secs;
}

double best(std::vector<double> runs) {
    runs.erase(std::remove(runs.begin(), runs.end(), -1.0), runs.end());
    if (runs.empty()) return -1;
    return *std::min_element(runs.begin(), runs.end());
}

}  // namespace

int run(int argc, char** argv) {
    int mib = argc > 1 ? std::max(1, std::atoi(argv[1])) : 8;
    Scratch s;
    fs::path file = s.root / "src" / "payload.bin";
    write_file(file, random_bytes(static_cast<std::size_t>(mib) << 20, 42));
    double mb = static_cast<double>(mib) * 1048576.0 / 1e6;
    std::printf("ZMODEM throughput, %d MiB random file, best of %d runs\n", mib, ROUNDS);
    for (LinkKind link : {LinkKind::SocketPair, LinkKind::PtyPair}) {
        const char* name = link == LinkKind::SocketPair ? "socketpair" : "pty pair (socat)";
        std::vector<double> send, recv, base;
        for (int i = 0; i < ROUNDS; ++i) {
            send.push_back(ours(s, file, true, link));
            recv.push_back(ours(s, file, false, link));
            base.push_back(lrzsz(s, file, link));
        }
        double t_send = best(send), t_recv = best(recv), t_base = best(base);
        if (t_send < 0 || t_recv < 0 || t_base < 0) {
            std::printf("%-18s a run failed (send %.3f s, receive %.3f s, sz|rz %.3f s)\n", name,
                        t_send, t_recv, t_base);
            continue;
        }
        std::printf(
            "%-18s sz|rz %7.1f MB/s | ours->rz %7.1f MB/s ratio %.2f | sz->ours %7.1f MB/s ratio "
            "%.2f\n",
            name, mb / t_base, mb / t_send, t_base / t_send, mb / t_recv, t_base / t_recv);
    }
    return 0;
}

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "transfer_zmodem: %s\n", e.what());
        return 1;
    }
}
