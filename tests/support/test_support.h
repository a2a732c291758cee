// Small helpers shared by tests: finding peer programs, temporary folders, free ports.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>

namespace termiva::testing {

// The absolute path of an executable on PATH (or in /usr/sbin, /sbin), if any.
std::optional<std::filesystem::path> find_program(const std::string& name);

// True when CI demands every peer program to be present (TERMIVA_REQUIRE_PEERS=1).
bool peers_required();

// A fresh empty folder under the system temp dir, removed on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return m_path; }

private:
    std::filesystem::path m_path;
};

// A TCP port on 127.0.0.1 that was free a moment ago.
int free_loopback_port();
// A listening TCP socket on 127.0.0.1 at a port the kernel chose (close-on-exec), its port
// in `port`; -1 when none can be made.
int listen_on_loopback(int backlog, int& port);

// Polls `pred` until it holds or `limit` passed; the last answer. What a test waits on
// instead of a fixed pause, so a loaded machine only makes it slower, never wrong.
template <class Pred>
bool eventually(Pred pred, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline) return pred();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

}  // namespace termiva::testing

// Skips the test when `name` is missing (fails instead under TERMIVA_REQUIRE_PEERS=1);
// otherwise stores its path in `var`.
#define TERMIVA_REQUIRE_PROGRAM(var, name)                                          \
    std::filesystem::path var;                                                      \
    do {                                                                            \
        auto found_ = ::termiva::testing::find_program(name);                       \
        if (!found_) {                                                              \
            if (::termiva::testing::peers_required()) FAIL() << "missing " << name; \
            GTEST_SKIP() << "peer program " << name << " not installed";            \
        }                                                                           \
        var = *found_;                                                              \
    } while (0)
