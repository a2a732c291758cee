// Timing a shell command and a tab's bulk output, shared by the throughput benchmarks.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "app/termiva_app.h"
#include "support/recording_window.h"

namespace termiva::bench {

using clk = std::chrono::steady_clock;

inline double seconds_since(clk::time_point t) {
    return std::chrono::duration<double>(clk::now() - t).count();
}

// Wall time of a shell command, the best of three runs; 0 when it fails.
inline double best_seconds(const std::string& command) {
    double best = 1e9;
    for (int i = 0; i < 3; ++i) {
        const auto t0 = clk::now();
        if (std::system(command.c_str()) != 0) return 0;
        best = std::min(best, seconds_since(t0));
    }
    return best;
}

// Waits up to 20 s for the program to tell the page the tab is connected, then lets the
// login's own output settle for `settle` and drops it.
inline void wait_connected(TermivaApp& app, testing::RecordingWindow& window,
                           const std::string& tab, std::chrono::milliseconds settle) {
    for (int i = 0; i < 1000; ++i) {
        bool connected = false;
        for (auto& s : window.scripts())
            connected |= s.find("terminalConnected") != std::string::npos;
        if (connected) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::this_thread::sleep_for(settle);
    app.tabs().drain_terminal(tab);
}

// Has the tab's shell print `file` and then a mark, and drains the tab as the page does
// until the mark has gone by (at most 300 s). Returns the seconds; `got` the characters.
inline double cat_through_tab(TermivaApp& app, const std::string& tab, const std::string& file,
                              std::size_t& got) {
    // Quoted apart so the echoed command line does not already hold the mark.
    app.tabs().send_input(tab, "stty -echo; cat " + file + "; echo END''MARK\n");
    const auto t0 = clk::now();
    std::string tail;
    got = 0;
    for (;;) {
        std::string part = app.tabs().drain_terminal(tab);
        got += part.size();
        tail += part;
        if (tail.size() > 64) tail.erase(0, tail.size() - 64);
        if (tail.find("ENDMARK") != std::string::npos) break;
        if (part.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        if (seconds_since(t0) > 300) break;
    }
    return seconds_since(t0);
}

}  // namespace termiva::bench
