// Telnet tab throughput against raw TCP: `cat` of a file (100 MiB by default) through
// inetutils telnetd and through socat on a pty, both read by our backends as a tab's
// reader does (4096 bytes a call). Wall-clock rates on a shared machine mostly measure the
// peers (telnetd's and socat's relays), so the reading thread's own CPU time per MiB is
// printed as well: that ratio is what IAC scanning and option handling cost us. The
// engine alone on the same bytes in memory is printed for scale.
// Run by hand: build/bench/telnet_throughput [MiB]
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <vector>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>

#include "connect/raw_backend.h"
#include "connect/telnet/telnet_backend.h"
#include "fixtures/peer_process.h"
#include "support/test_support.h"

using namespace termiva;
namespace tt = termiva::testing;
using Clock = std::chrono::steady_clock;

namespace {

double mib_per_s(std::size_t bytes, Clock::duration d) {
    double s = std::chrono::duration<double>(d).count();
    return static_cast<double>(bytes) / (1024.0 * 1024.0) / s;
}

double thread_cpu_seconds() {
    timespec ts{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

struct Run {
    std::size_t bytes = 0;
    double mib_s = 0;      // wall clock
    double cpu_s_mib = 0;  // reading thread's CPU seconds per MiB
};

// Reads until the peer ends the stream.
template <class B>
Run drain(B& backend) {
    auto t0 = Clock::now();
    double c0 = thread_cpu_seconds();
    backend.connect();
    Run r;
    for (;;) {
        std::string chunk = backend.recv(4096);
        if (chunk.empty()) break;
        r.bytes += chunk.size();
    }
    r.mib_s = mib_per_s(r.bytes, Clock::now() - t0);
    r.cpu_s_mib = (thread_cpu_seconds() - c0) / (static_cast<double>(r.bytes) / (1 << 20));
    return r;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 100;
    if (mib == 0) mib = 100;
    auto socat = tt::find_program("socat");
    auto telnetd = tt::find_program("telnetd");
    if (!socat || !telnetd) {
        std::fprintf(stderr, "needs socat and telnetd (inetutils-telnetd)\n");
        return 2;
    }
    tt::TempDir dir;
    auto data = dir.path() / "data.txt";
    {
        std::ofstream out(data, std::ios::binary);
        std::string line;
        for (int i = 0; i < 79; ++i)
            line.push_back(static_cast<char>('!' + (i * 7) % 90));
        line.push_back('\n');
        std::size_t want = mib << 20;
        for (std::size_t n = 0; n < want; n += line.size())
            out << line;
    }
    auto script = dir.path() / "cat.sh";
    {
        std::ofstream out(script);
        out << "#!/bin/sh\nexec /bin/cat '" << data.string() << "'\n";
    }
    ::chmod(script.c_str(), 0755);

    // Both peers copy from a pty to the socket, so both pay the same terminal costs.
    int telnet_port = tt::free_loopback_port();
    tt::PeerProcess telnet_peer(
        tt::socat_inetd(*socat, telnet_port, telnetd->string() + " -h -E " + script.string()),
        dir.path() / "telnetd.log");
    int raw_port = tt::free_loopback_port();
    tt::PeerProcess raw_peer(
        {socat->string(), "-d",
         "TCP-LISTEN:" + std::to_string(raw_port) + ",bind=127.0.0.1,reuseaddr,fork",
         "EXEC:" + script.string() + ",pty,setsid,ctty"},
        dir.path() / "socat.log");
    if (!telnet_peer.wait_port(telnet_port) || !raw_peer.wait_port(raw_port)) {
        std::fprintf(stderr, "peers did not start\n%s%s", telnet_peer.log().c_str(),
                     raw_peer.log().c_str());
        return 1;
    }

    std::vector<double> raw_rate, raw_cpu, telnet_rate, telnet_cpu;
    std::size_t telnet_bytes = 0, raw_bytes = 0;
    for (int round = 0; round < 5; ++round) {
        RawBackend raw(RawBackend::Options{"127.0.0.1", raw_port, 15});
        Run r = drain(raw);
        raw_bytes = r.bytes;
        raw_rate.push_back(r.mib_s);
        raw_cpu.push_back(r.cpu_s_mib);
        TelnetBackend::Options o;
        o.host = "127.0.0.1";
        o.port = telnet_port;
        TelnetBackend telnet(o);
        Run t = drain(telnet);
        telnet_bytes = t.bytes;
        telnet_rate.push_back(t.mib_s);
        telnet_cpu.push_back(t.cpu_s_mib);
    }

    // The engine alone on terminal text in memory.
    telnet::Engine engine(telnet::Options{});
    std::string offers;
    engine.start(offers);
    std::string block;
    {
        std::ifstream in(data, std::ios::binary);
        block.resize(4096);
        in.read(block.data(), 4096);
    }
    std::size_t engine_bytes = 0;
    auto t0 = Clock::now();
    std::string out, reply;
    std::vector<telnet::Event> events;
    while (engine_bytes < (mib << 20)) {
        out.clear();
        engine.receive(block, out, reply, events);
        engine_bytes += block.size();
    }
    double engine_rate = mib_per_s(engine_bytes, Clock::now() - t0);

    // telnetd drops the last few KiB a child writes before exiting; the counts show it.
    std::printf("medians of 5 runs, %zu MiB each\n", mib);
    std::printf("raw    (socat pty): %8.1f MiB/s  %7.2f ms CPU/MiB  (%zu bytes)\n",
                median(raw_rate), median(raw_cpu) * 1e3, raw_bytes);
    std::printf("telnet (telnetd)  : %8.1f MiB/s  %7.2f ms CPU/MiB  (%zu bytes)\n",
                median(telnet_rate), median(telnet_cpu) * 1e3, telnet_bytes);
    std::printf("ratio telnet/raw  : %8.2f (wall clock)   %5.2f (CPU efficiency; goal >= 0.90)\n",
                median(telnet_rate) / median(raw_rate), median(raw_cpu) / median(telnet_cpu));
    std::printf("engine in memory  : %8.1f MiB/s\n", engine_rate);
    return 0;
}
