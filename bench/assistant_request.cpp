// The assistant's own cost per question: a `claude` stand-in that answers at once is run
// 20 times straight (its own run time) and 20 times through `claude_send` (request text,
// prompt file, command line, child, parsing); the difference of the medians is our
// overhead. Then the time from `claude_reset_session` to the return of a question whose
// child hangs (its process group killed). Prints milliseconds; run it by hand:
// build/bench/assistant_request [runs].
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>
#include <vector>

#include "app/termiva_app.h"
#include "platform/child_process.h"

using namespace termiva;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

namespace {

double ms_since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty()
               ? 0
               : (v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2);
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
    const fs::path dir =
        fs::temp_directory_path() / ("termiva-bench-ai-" + std::to_string(::getpid()));
    fs::create_directories(dir / "bin");
    fs::create_directories(dir / "home");
    fs::create_directories(dir / "data");
    const fs::path fake = dir / "bin" / "claude";
    std::ofstream(fake) << "#!/bin/sh\n"
                           "if [ -f \"$BENCH_DIR/hang\" ]; then sleep 300 & touch "
                           "\"$BENCH_DIR/started\"; wait; fi\n"
                           "cat > /dev/null\n"
                           "echo '{\"is_error\":false,\"result\":\"ok\",\"session_id\":\"s-1\"}'\n";
    ::chmod(fake.c_str(), 0755);
    ::setenv("BENCH_DIR", dir.c_str(), 1);
    ::setenv("HOME", (dir / "home").c_str(), 1);
    ::setenv("PATH", ((dir / "bin").string() + ":" + std::getenv("PATH")).c_str(), 1);

    // The stand-in alone (start, feed, collect, reap) and the same through claude_send,
    // taken in turns so that both see the same machine; one warm-up of each first.
    auto app = std::make_unique<TermivaApp>(nullptr, nullptr, dir / "data");
    std::vector<double> alone, through;
    for (int i = -1; i < runs; ++i) {
        auto start = Clock::now();
        {
            platform::ChildProcess child({fake.string(), "-p"});
            child.communicate("question", std::chrono::seconds(10));
        }
        if (i >= 0) alone.push_back(ms_since(start));
        app->assistant()
            .claude_reset_session();  // a new conversation each time, as the first question
        start = Clock::now();
        const Json r = app->assistant().claude_send("question", "", nullptr, 30, nullptr);
        if (i >= 0) through.push_back(ms_since(start));
        if (r["ok"] != true) {
            std::fprintf(stderr, "unexpected answer: %s\n", r.dump().c_str());
            return 1;
        }
    }

    std::ofstream(dir / "hang") << "1";
    std::vector<double> cancel;
    for (int i = 0; i < runs; ++i) {
        fs::remove(dir / "started");
        auto pending = std::async(std::launch::async, [&] {
            return app->assistant().claude_send("q", "", nullptr, 60, nullptr);
        });
        while (!fs::exists(dir / "started"))
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        const auto start = Clock::now();
        app->assistant().claude_reset_session();
        const Json r = pending.get();
        cancel.push_back(ms_since(start));
        if (r["cancelled"] != true) {
            std::fprintf(stderr, "not cancelled: %s\n", r.dump().c_str());
            return 1;
        }
    }
    app.reset();
    fs::remove_all(dir);

    const double a = median(alone), t = median(through), c = median(cancel);
    std::printf("stand-in alone        median %7.2f ms (%d runs)\n", a, runs);
    std::printf("through claude_send   median %7.2f ms\n", t);
    std::printf("overhead per question        %7.2f ms (goal <= 50 ms)\n", t - a);
    std::printf("cancel to return      median %7.2f ms, max %.2f ms (goal <= 200 ms)\n", c,
                *std::max_element(cancel.begin(), cancel.end()));
    return 0;
}
